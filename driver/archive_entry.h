// Archive entries: one stored file per entry, entries back to back.
//
// An entry is the 4-byte magic (written raw), the coded header buffer and
// the coded data buffers that the entry's trick produced. The header buffer
// starts with ENTRY_HEADER as it lies in memory (little-endian), then the
// stored name, the trick number, the trick's parameters and the entry's
// checksum (see EntryChecksum). FORMAT.md describes it byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "driver/file_finder.h"
#include "driver/file_safety.h"

namespace zubreca {

class DATA_BUFFER;

inline constexpr uint32_t ENTRY_MAGIC = 0xA09093A4;  // bytes A4 93 90 A0
inline constexpr int kNameBufferSize = 260;          // 259 characters and the terminator
inline constexpr uint16_t kNameFieldMark = 0x8C00;   // bits 9..15 of nameField: 0x46
inline constexpr uint16_t kNameLengthMask = 0x1FF;
inline constexpr int kChecksumBytes = 4;

struct ENTRY_HEADER {
  uint32_t length;     // length of the source file
  uint32_t mode;       // st_mode of the source file
  uint16_t orderMem;   // bits 0..6: order - 2; bits 7..15: (memory - 4) / 4
  uint16_t nameField;  // name length | 0x8C00
  uint16_t mtimeLow;   // modification time, bits 0..15
  uint16_t mtimeHigh;  // modification time, bits 16..31
};
static_assert(sizeof(ENTRY_HEADER) == 16, "the entry header is 16 bytes");

// The memory code of the header, (memory - 4) << 5, with memory a multiple
// of 4 in [4, 2048].
inline uint16_t MemoryCode(int memory) { return static_cast<uint16_t>((memory - 4) << 5); }
inline int OrderFromHeader(uint16_t orderMem) { return (orderMem & 0x7F) + 2; }
inline int MemoryFromHeader(uint16_t orderMem) { return ((orderMem & 0xFF80) >> 5) + 4; }

// Fills the fixed header of an entry for a file of `length` bytes.
ENTRY_HEADER MakeEntryHeader(uint32_t length, uint32_t mode, int64_t mtime, int order, int memory,
                             int nameLength);
// The modification time stored in a header, as the signed 32-bit value it
// was cut to, widened with its sign.
int64_t StoredTime(const ENTRY_HEADER& header);

// Copies `source` into `destination` (kNameBufferSize bytes) with its last
// extension replaced by `extension`: notes.txt -> notes.zbr,
// archive.tar.gz -> archive.tar.zbr, README -> README.zbr. Fatal
// "can`t open file %s" if the result does not fit.
void ComposeName(const char* source, char* destination, const char* extension);
// The same, returning false (and leaving `destination` alone) when the
// result does not fit.
bool TryComposeName(const char* source, char* destination, const char* extension);

// The checksum that ends an entry's header buffer: CRC-32C of the file's
// bytes followed by the header buffer's bytes before the checksum (fixed
// header, name, trick number and parameters), stored big-endian. Decoding
// checks it when the header buffer ends with those 4 bytes; entries
// without it (the header ends after the trick's parameters) still decode.
uint32_t EntryChecksum(const uint8_t* file, size_t fileLength, const uint8_t* header, size_t headerLength);

// How many bytes a sound header buffer can hold, judged from the bytes of
// it decoded so far (a DECODE_LIMIT refinement, model/coded_buffer.h): the
// fixed header, the name it announces and the trick number, then the
// trick's parameters for the length it declares and the checksum, and one
// byte more, so that a longer header shows as damaged.
uint32_t HeaderBound(const DATA_BUFFER& decodedSoFar);

// Handles -f: the value, or a name composed from the current directory when
// it is empty, becomes `archiveName`; an existing file of that name must
// be a regular file (fatal "can`t open file %s" for a link, a directory or
// any other kind) that starts with an entry (fatal "read/write for file
// %s").
void TestArchive(char* archiveName, const char* value);

// Reserves the model memory for an entry (fatal "out of memory" when it
// cannot be had) and prints "name: ".
void PrepareCoding(int memory, const char* name);

// Encodes one found file as one entry, into `archiveName` when it is not
// empty (appending, without a question) or else into the file's name with
// the extension zbr. A new archive is written under a temporary name and
// renamed into place when complete; an entry for an existing -f archive is
// coded aside and appended in one copy, and the archive is cut back to its
// old length if that copy fails. Returns whether the entry was written
// (false when the file was skipped at the overwrite prompt), and in `read`
// the identity of the file that was read.
// Writes one entry for the file in `data` (the head of a chain in the
// reading phase, consumed) to the end of `archive`: the magic, the header
// buffer (with `name`, the trick number and parameters and the checksum)
// and the trick's buffers, each coded.
void WriteEntry(FILE* archive, const ENTRY_HEADER& header, const char* name, const char* trick, DATA_BUFFER* data);

bool EncodeFile(const ENV_FIND_RESULT& file, int memory, const char* trick, const char* archiveName,
                FILE_IDENTITY* read);

// Restores every entry of one archive into the current directory. Each
// file is decoded whole and checked (length, the ends of its coded
// buffers, the checksum) before it is written under a temporary name and
// renamed over the stored name, so a damaged entry leaves the directory as
// it was. Returns whether the archive was read to its end (false when the
// user declined to overwrite a file, which stops the archive), and in
// `read` the identity of the archive.
bool DecodeFile(const ENV_FIND_RESULT& archive, FILE_IDENTITY* read);
// The same for an archive already open, read from its current position to
// its end; `archiveName` names it in messages.
bool DecodeArchive(FILE* archive, const char* archiveName);

}  // namespace zubreca
