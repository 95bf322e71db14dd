// Archive entries: one stored file per entry, entries back to back.
//
// An entry is the 4-byte magic (written raw), the coded header buffer and
// the coded data buffers that the entry's trick produced. The header buffer
// starts with ENTRY_HEADER as it lies in memory (little-endian), then the
// stored name, the trick number and the trick's parameters.
#pragma once

#include <cstdint>

#include "driver/file_finder.h"

namespace zubreca {

inline constexpr uint32_t ENTRY_MAGIC = 0xA09093A4;  // bytes A4 93 90 A0
inline constexpr int kNameBufferSize = 260;          // 259 characters and the terminator
inline constexpr uint16_t kNameFieldMark = 0x8C00;   // bits 9..15 of nameField: 0x46
inline constexpr uint16_t kNameLengthMask = 0x1FF;

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

// Handles -f: the value, or a name composed from the current directory when
// it is empty, becomes `archiveName`; an existing file of that name must
// already start with an entry.
void TestArchive(char* archiveName, const char* value);

// Reserves the model memory for an entry (fatal "out of memory" when it
// cannot be had) and prints "name: ".
void PrepareCoding(int memory, const char* name);

// Encodes one found file as one entry, into `archiveName` when it is not
// empty (appending, without a question) or else into the file's name with
// the extension zbr. Returns whether the entry was written (false when the
// file was skipped at the overwrite prompt).
bool EncodeFile(const ENV_FIND_RESULT& file, int memory, const char* trick, const char* archiveName);

// Restores every entry of one archive into the current directory. Returns
// whether the archive was read to its end (false when the user declined to
// overwrite a file, which stops the archive).
bool DecodeFile(const ENV_FIND_RESULT& archive);

}  // namespace zubreca
