#include "driver/archive_entry.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstring>

#include "buffers/file_loading.h"
#include "driver/console.h"
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

void ComposeName(const char* source, char* destination, const char* extension) {
  const char* dot = strrchr(source, '.');
  if (dot && strchr(dot, '/')) dot = nullptr;
  const size_t stem = dot ? static_cast<size_t>(dot - source) : strlen(source);
  const size_t extensionLength = strlen(extension);
  if (stem + 1 + extensionLength >= static_cast<size_t>(kNameBufferSize)) ReportError("can`t open file %s", source);
  memcpy(destination, source, stem);
  destination[stem] = '.';
  memcpy(destination + stem + 1, extension, extensionLength + 1);
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
  FILE* existing = fopen(archiveName, "rb");
  if (!existing) return;
  uint8_t magic[4];
  const size_t got = fread(magic, 1, 4, existing);
  fclose(existing);
  uint32_t value32 = 0;
  memcpy(&value32, magic, got);
  if (got != 4 || value32 != ENTRY_MAGIC) ReportError("read/write for file %s", archiveName);
}

void PrepareCoding(int memory, const char* name) {
  if (!MODEL_MEMORY::reserve(static_cast<uint32_t>(memory))) ReportError("out of memory");
  printf("%s: ", name);
}

namespace {

constexpr int kHeaderMemory = 8;        // MB of model memory for a header buffer
constexpr int kHeaderCapacity = 1024;   // first capacity of a header buffer
constexpr int kHeaderOrder = 2;         // order limit of a header buffer
constexpr int kDataOrder = 128;         // order limit of a loaded file

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

}  // namespace

bool EncodeFile(const ENV_FIND_RESULT& file, int memory, const char* trick, const char* archiveName) {
  char composed[kNameBufferSize];
  const char* archivePath = archiveName;
  if (!*archivePath) {
    ComposeName(file.name(), composed, "zbr");
    if (!AskOverwrite(composed)) return false;
    archivePath = composed;
  }
  FILE* source = OpenFile(file.name(), "rb", true);
  FILE* archive = OpenFile(archivePath, "a+b", true);
  DATA_BUFFER* data = new DATA_BUFFER(source, kDataOrder);

  const char* slash = strrchr(file.name(), '/');
  const char* name = slash ? slash + 1 : file.name();
  const int nameLength = static_cast<int>(strlen(name));
  const ENTRY_HEADER header = MakeEntryHeader(static_cast<uint32_t>(data->length), file.status.st_mode,
                                              file.status.st_mtime, modelOrder, memory, nameLength);
  const uint32_t magic = ENTRY_MAGIC;
  fwrite(&magic, sizeof magic, 1, archive);
  PrepareCoding(memory, name);

  headerBuffer = new DATA_BUFFER(kHeaderCapacity, kHeaderOrder, nullptr);
  headerBuffer->writeBlock(&header, sizeof header);
  headerBuffer->writeBlock(name, header.nameField & kNameLengthMask);
  EncodeTrick(trick, data);
  headerBuffer->flip();
  DATA_BUFFER* chain = AppendChain(data, headerBuffer);
  while (chain) {
    EncodeBuffer(archive, chain);
    chain = PopBuffer(chain);
  }
  headerBuffer = nullptr;
  putchar('\n');

  if (!WrittenCleanly(archive)) ReportError("read/write for file %s", archivePath);
  CloseFile(source);
  if (CloseFile(archive) != 0) ReportError("read/write for file %s", archivePath);
  return true;
}

bool DecodeFile(const ENV_FIND_RESULT& found) {
  const char* archiveName = found.name();
  FILE* archive = OpenFile(archiveName, "rb", true);
  for (;;) {
    uint8_t magic[4];
    const size_t got = fread(magic, 1, sizeof magic, archive);
    if (got == 0) break;
    uint32_t magicValue = 0;
    memcpy(&magicValue, magic, got);
    if (got != sizeof magic || magicValue != ENTRY_MAGIC) ReportError("read/write for file %s", archiveName);

    if (!MODEL_MEMORY::reserve(kHeaderMemory)) ReportError("out of memory");
    headerBuffer = new DATA_BUFFER(kHeaderCapacity, kHeaderOrder, nullptr);
    DecodeBuffer(headerBuffer, archive);

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
    putchar(8);

    if (!AskOverwrite(name)) {
      delete headerBuffer;
      headerBuffer = nullptr;
      CloseFile(archive);
      return false;
    }
    FILE* output = OpenFile(name, "wb", true);
    modelOrder = OrderFromHeader(header.orderMem);
    PrepareCoding(MemoryFromHeader(header.orderMem), name);
    printf("|");

    DATA_BUFFER* restored = DecodeTrick(archive, header.length);
    const size_t length = static_cast<size_t>(restored->length);
    const size_t written = length ? fwrite(restored->data(), 1, length, output) : 0;
    putchar('\n');
    if (length != header.length || written != length || !WrittenCleanly(output) || feof(archive) ||
        CloseFile(output) != 0) {
      ReportError("read/write for file %s", name);
    }
    delete restored;
    delete headerBuffer;
    headerBuffer = nullptr;

    const time_t stamp = static_cast<time_t>(StoredTime(header));
    const utimbuf times = {stamp, stamp};
    utime(name, &times);
    chmod(name, static_cast<mode_t>(header.mode & 07777));
  }
  CloseFile(archive);
  return true;
}

}  // namespace zubreca
