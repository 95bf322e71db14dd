#include "driver/archive_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "buffers/checksum.h"
#include "buffers/file_loading.h"
#include "driver/console.h"
#include "driver/rollback.h"
#include "driver/staged_file.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"
#include "tricks/trick.h"

namespace zubreca {

ENTRY_HEADER MakeEntryHeader(uint32_t length, uint32_t mode, int64_t mtime, int order, int memory,
                             int nameLength) {
  ENTRY_HEADER header;
  header.length = length;
  header.mode = mode;
  header.orderMem = static_cast<uint16_t>(MemoryCode(memory) | (order - 2));
  header.nameField = static_cast<uint16_t>(nameLength | kNameFieldMark);
  const uint32_t time = static_cast<uint32_t>(mtime);
  header.mtimeLow = static_cast<uint16_t>(time & 0xFFFF);
  header.mtimeHigh = static_cast<uint16_t>(time >> 16);
  return header;
}

int64_t StoredTime(const ENTRY_HEADER& header) {
  const uint32_t time = (static_cast<uint32_t>(header.mtimeHigh) << 16) + header.mtimeLow;
  return static_cast<int32_t>(time);
}

bool TryComposeName(const char* source, char* destination, const char* extension) {
  const char* dot = strrchr(source, '.');
  if (dot && strchr(dot, '/')) dot = nullptr;
  const size_t stem = dot ? static_cast<size_t>(dot - source) : strlen(source);
  const size_t extensionLength = strlen(extension);
  if (stem + 1 + extensionLength >= static_cast<size_t>(kNameBufferSize)) return false;
  memcpy(destination, source, stem);
  destination[stem] = '.';
  memcpy(destination + stem + 1, extension, extensionLength + 1);
  return true;
}

void ComposeName(const char* source, char* destination, const char* extension) {
  if (!TryComposeName(source, destination, extension)) ReportError("can`t open file %s", source);
}

uint32_t EntryChecksum(const uint8_t* file, size_t fileLength, const uint8_t* header, size_t headerLength) {
  return Crc32c(header, headerLength, Crc32c(file, fileLength));
}

void TestArchive(char* archiveName, const char* value) {
  if (*value) {
    if (strlen(value) >= static_cast<size_t>(kNameBufferSize)) ReportError("can`t open file %s", value);
    strcpy(archiveName, value);
  } else {
    char directory[kNameBufferSize] = {};
    if (!getcwd(directory, sizeof directory)) directory[0] = '\0';
    const char* slash = strrchr(directory, '/');
    const char* base = slash && slash[1] ? slash + 1 : "ZubrFile";
    ComposeName(base, archiveName, "zbr");
  }
  switch (KindOfPath(archiveName)) {
    case PATH_KIND::kMissing:
      return;  // it will be created
    case PATH_KIND::kRegular:
      break;
    default:
      ReportError("can`t open file %s", archiveName);
  }
  FILE* existing = OpenRegularFile(archiveName, false);
  if (!existing) ReportError("can`t open file %s", archiveName);
  uint8_t magic[4];
  const size_t got = fread(magic, 1, 4, existing);
  CloseFile(existing);
  uint32_t value32 = 0;
  memcpy(&value32, magic, got);
  if (got != 4 || value32 != ENTRY_MAGIC) ReportError("read/write for file %s", archiveName);
}

void PrepareCoding(int memory, const char* name) {
  if (!MODEL_MEMORY::reserve(static_cast<uint32_t>(memory))) ReportError("out of memory");
  PrintShown(name);
  printf(": ");
}

namespace {

constexpr int kHeaderMemory = 8;        // MB of model memory for a header buffer
constexpr int kHeaderCapacity = 1024;   // first capacity of a header buffer
constexpr int kHeaderOrder = 2;         // order limit of a header buffer
constexpr int kDataOrder = 128;         // order limit of a loaded file
constexpr mode_t kNewFileMode = 0666;   // an archive's mode before the umask

// Flushes a stream that has been written and tells whether everything
// written so far reached the file.
bool WrittenCleanly(FILE* file) { return fflush(file) == 0 && !ferror(file); }

// A stored name is used as a file name in the current directory. A damaged
// or foreign archive could hold one that leads elsewhere; such names are
// refused.
bool IsPlainName(const char* name, int length) {
  if (static_cast<int>(strlen(name)) != length) return false;  // an embedded zero byte
  if (strchr(name, '/')) return false;
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Copies what is left of `from` to the descriptor `to`.
bool CopyRest(FILE* from, int to) {
  char chunk[65536];
  for (;;) {
    const size_t got = fread(chunk, 1, sizeof chunk, from);
    for (size_t done = 0; done < got;) {
      const ssize_t n = write(to, chunk + done, got - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    if (got < sizeof chunk) return !ferror(from);
  }
}

// Appends the entry coded in `staged` to the existing archive at
// `archivePath` in one copy, and removes the staged file. A copy that
// fails is cut back, so the archive ends where it ended before; so does a
// fatal error or a signal during the copy (driver/rollback.h).
void AppendEntry(STAGED_FILE& staged, const char* archivePath) {
  FILE* entry = staged.stream();
  if (!WrittenCleanly(entry) || fseeko(entry, 0, SEEK_SET) != 0) ReportError("read/write for file %s", archivePath);
  const int fd = open(archivePath, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    if (fd >= 0) close(fd);
    ReportError("can`t open file %s", archivePath);
  }
  KeepTruncation(fd, status.st_size);
  // A failed copy is cut back by the rollback of the fatal error.
  if (!CopyRest(entry, fd) || fsync(fd) != 0) ReportError("read/write for file %s", archivePath);
  ForgetTruncation();
  if (close(fd) != 0) ReportError("read/write for file %s", archivePath);
  staged.discard();
}

// Whether the checksum at the end of the header buffer, if there is one,
// matches the restored file. The header has been read up to the checksum:
// either nothing is left (an entry without one) or exactly its 4 bytes.
bool ChecksumHolds(DATA_BUFFER& header, const DATA_BUFFER& restored) {
  if (header.avail == 0) return true;
  if (header.avail != kChecksumBytes) return false;
  const uint32_t stored = header.getU32();
  const size_t covered = static_cast<size_t>(header.length - kChecksumBytes);
  return stored == EntryChecksum(restored.data(), static_cast<size_t>(restored.length), header.data(), covered);
}

}  // namespace

uint32_t HeaderBound(const DATA_BUFFER& decodedSoFar) {
  const uint32_t decoded = static_cast<uint32_t>(decodedSoFar.length - decodedSoFar.avail);
  const uint8_t* bytes = decodedSoFar.data();
  if (decoded < sizeof(ENTRY_HEADER)) return sizeof(ENTRY_HEADER);
  ENTRY_HEADER header;
  memcpy(&header, bytes, sizeof header);
  if ((header.nameField & ~kNameLengthMask) != kNameFieldMark) return decoded;  // refused when it is read
  const uint32_t trickAt = sizeof header + (header.nameField & kNameLengthMask);
  if (decoded <= trickAt) return trickAt + 1;
  // An unknown trick has no parameters here; the trick dispatch refuses it
  // once the header is read.
  const int64_t parameters = std::max<int64_t>(TrickParameterBound(bytes[trickAt], header.length), 0);
  return static_cast<uint32_t>(
      std::min<int64_t>(trickAt + 1 + parameters + kChecksumBytes + 1, int64_t{kDecodeLimit} + 1));
}

void WriteEntry(FILE* archive, const ENTRY_HEADER& header, const char* name, const char* trick, DATA_BUFFER* data) {
  // The trick may consume the file's buffer, so its share of the checksum
  // is taken first.
  const uint32_t fileChecksum = EntryChecksum(data->data(), header.length, nullptr, 0);
  const uint32_t magic = ENTRY_MAGIC;
  fwrite(&magic, sizeof magic, 1, archive);
  headerBuffer = new DATA_BUFFER(kHeaderCapacity, kHeaderOrder, nullptr);
  headerBuffer->writeBlock(&header, sizeof header);
  headerBuffer->writeBlock(name, header.nameField & kNameLengthMask);
  EncodeTrick(trick, data);
  const size_t headerLength = static_cast<size_t>(headerBuffer->length - headerBuffer->avail);
  headerBuffer->putU32(Crc32c(headerBuffer->data(), headerLength, fileChecksum));
  headerBuffer->flip();
  DATA_BUFFER* chain = AppendChain(data, headerBuffer);
  while (chain) {
    EncodeBuffer(archive, chain);
    chain = PopBuffer(chain);
  }
  headerBuffer = nullptr;
}

bool EncodeFile(const ENV_FIND_RESULT& file, int memory, const char* trick, const char* archiveName,
                FILE_IDENTITY* read) {
  char composed[kNameBufferSize];
  const char* archivePath = archiveName;
  const bool appending = *archiveName != '\0';
  if (!appending) {
    ComposeName(file.name(), composed, "zbr");
    if (!AskOverwrite(composed)) return false;
    archivePath = composed;
  }
  struct stat status;
  FILE* source = OpenRegularFile(file.name(), false, &status);
  if (!source) ReportError("can`t open file %s", file.name());
  STAGED_FILE staged(archivePath);
  FILE* archive = staged.stream();
  DATA_BUFFER* data = new DATA_BUFFER(source, kDataOrder);
  CloseFile(source);

  const char* slash = strrchr(file.name(), '/');
  const char* name = slash ? slash + 1 : file.name();
  const ENTRY_HEADER header = MakeEntryHeader(static_cast<uint32_t>(data->length), status.st_mode, status.st_mtime,
                                              modelOrder, memory, static_cast<int>(strlen(name)));
  PrepareCoding(memory, name);
  WriteEntry(archive, header, name, trick, data);
  putchar('\n');

  if (!WrittenCleanly(archive)) ReportError("read/write for file %s", archivePath);
  if (appending && KindOfPath(archivePath) != PATH_KIND::kMissing) {
    AppendEntry(staged, archivePath);
  } else if (!staged.commit(kNewFileMode & ~CreationMask(), nullptr)) {
    ReportError("read/write for file %s", archivePath);
  }
  *read = FILE_IDENTITY::Of(status);
  return true;
}

bool DecodeArchive(FILE* archive, const char* archiveName) {
  const bool superuser = geteuid() == 0;
  const mode_t mask = CreationMask();
  for (;;) {
    uint8_t magic[4];
    const size_t got = fread(magic, 1, sizeof magic, archive);
    if (got == 0) return true;
    uint32_t magicValue = 0;
    memcpy(&magicValue, magic, got);
    if (got != sizeof magic || magicValue != ENTRY_MAGIC) ReportError("read/write for file %s", archiveName);

    if (!MODEL_MEMORY::reserve(kHeaderMemory)) ReportError("out of memory");
    headerBuffer = new DATA_BUFFER(kHeaderCapacity, kHeaderOrder, nullptr);
    if (!DecodeBuffer(headerBuffer, archive, DECODE_LIMIT{sizeof(ENTRY_HEADER), HeaderBound})) {
      ReportError("read/write for file %s", archiveName);
    }

    ENTRY_HEADER header;
    char name[kNameBufferSize];
    if (headerBuffer->readBlock(&header, sizeof header) != sizeof header) {
      ReportError("read/write for file %s", archiveName);
    }
    const int nameLength = header.nameField & kNameLengthMask;
    if ((header.nameField & ~kNameLengthMask) != kNameFieldMark || nameLength == 0 ||
        nameLength >= kNameBufferSize || headerBuffer->readBlock(name, nameLength) != nameLength) {
      ReportError("read/write for file %s", archiveName);
    }
    name[nameLength] = '\0';
    if (!IsPlainName(name, nameLength)) ReportError("read/write for file %s", archiveName);
    // No encoder writes an entry longer than it can load; a longer one is
    // damaged, and refused before its buffers are decoded toward it.
    if (header.length > entryLengthLimit) ReportError("read/write for file %s", archiveName);
    putchar(8);

    if (!AskOverwrite(name)) {
      delete headerBuffer;
      headerBuffer = nullptr;
      return false;
    }
    modelOrder = OrderFromHeader(header.orderMem);
    PrepareCoding(MemoryFromHeader(header.orderMem), name);
    printf("|");

    ENTRY_READER entry{archive, header.length};
    const std::unique_ptr<DATA_BUFFER> restored(DecodeTrick(entry));
    if (!restored) ReportError("read/write for file %s", archiveName);
    const size_t length = static_cast<size_t>(restored->length);
    putchar('\n');
    if (length != header.length || feof(archive)) ReportError("read/write for file %s", name);
    if (!entry.sound || !ChecksumHolds(*headerBuffer, *restored)) ReportError("read/write for file %s", archiveName);

    // Only a file that passed every check is written, under a temporary
    // name, and put in place with its mode and time.
    STAGED_FILE output(name);
    const size_t written = length ? fwrite(restored->data(), 1, length, output.stream()) : 0;
    const time_t stamp = static_cast<time_t>(StoredTime(header));
    const struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
    if (written != length || !output.commit(RestoredMode(header.mode, superuser, mask), times)) {
      ReportError("read/write for file %s", name);
    }
    delete headerBuffer;
    headerBuffer = nullptr;
  }
}

bool DecodeFile(const ENV_FIND_RESULT& found, FILE_IDENTITY* read) {
  const char* archiveName = found.name();
  struct stat archiveStatus;
  FILE* archive = OpenRegularFile(archiveName, false, &archiveStatus);
  if (!archive) ReportError("can`t open file %s", archiveName);
  const bool complete = DecodeArchive(archive, archiveName);
  CloseFile(archive);
  if (complete) *read = FILE_IDENTITY::Of(archiveStatus);
  return complete;
}

}  // namespace zubreca
