#include "buffers/file_loading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "driver/console.h"

namespace zubreca {

namespace {

// The C library ignores the size given to setvbuf when it is to allocate
// the buffer itself, so the buffers are supplied here and remembered with
// their streams until CloseFile.
std::vector<std::pair<FILE*, char*>>& StreamBuffers() {
  static std::vector<std::pair<FILE*, char*>> buffers;
  return buffers;
}

// Forgets the buffer of `file` and returns it (null if there is none).
char* TakeStreamBuffer(FILE* file) {
  auto& buffers = StreamBuffers();
  for (auto it = buffers.begin(); it != buffers.end(); ++it) {
    if (it->first == file) {
      char* buffer = it->second;
      buffers.erase(it);
      return buffer;
    }
  }
  return nullptr;
}

// Gives an open stream its 64 KiB buffer and returns it.
FILE* AttachBuffer(FILE* file) {
  // A FILE record handed out again means that its earlier stream was
  // closed, so a buffer still remembered for it is free.
  free(TakeStreamBuffer(file));
  char* buffer = static_cast<char*>(malloc(kStreamBufferSize));
  if (!buffer) ReportError("out of memory");
  setvbuf(file, buffer, _IOFBF, kStreamBufferSize);
  StreamBuffers().emplace_back(file, buffer);
  return file;
}

}  // namespace

FILE* OpenStream(int fd, const char* mode) {
  FILE* file = fdopen(fd, mode);
  if (!file) {
    close(fd);
    return nullptr;
  }
  return AttachBuffer(file);
}

FILE* OpenRegularFile(const char* name, bool followLinks, struct stat* status) {
  // Non-blocking, so that a FIFO does not hold the open until a writer
  // comes; the type is then checked on what was opened, not on the name.
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) return nullptr;
  struct stat opened;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
    close(fd);
    return nullptr;
  }
  if (status) *status = opened;
  return OpenStream(fd, "rb");
}

FILE* OpenFile(const char* name, const char* mode, bool mustOpen) {
  const bool readOnly = mode[0] == 'r' && !strchr(mode, '+');
  FILE* file = readOnly ? OpenRegularFile(name, true) : fopen(name, mode);
  if (!file) {
    if (mustOpen) ReportError("can`t open file %s", name);
    return nullptr;
  }
  return readOnly ? file : AttachBuffer(file);
}

int CloseFile(FILE* file) {
  // The buffer is looked up while the stream is still open and freed once
  // fclose has written its last contents.
  char* buffer = TakeStreamBuffer(file);
  const int result = fclose(file);
  free(buffer);
  return result;
}

DATA_BUFFER::DATA_BUFFER(FILE* file, int maxOrder_)
    : modelNumber(0), maxOrder(maxOrder_), length(0), avail(0), storage(nullptr), cursor(nullptr), next(nullptr) {
  if (!file) return;
  // The size is checked before anything is allocated, so that a file far
  // beyond the limit (or one whose size cannot be told) is refused without
  // trying to hold it.
  long size = -1;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  if (size < 0 || size > kMaxFileLength) ReportError("out of memory");
  fseek(file, 0, SEEK_SET);
  allocate(static_cast<int>(size));
  const size_t got = size ? fread(data(), 1, static_cast<size_t>(size), file) : 0;
  // A file that shrank while it was read leaves zeros rather than
  // undefined bytes behind what could be read.
  if (got < static_cast<size_t>(size)) memset(data() + got, 0, static_cast<size_t>(size) - got);
}

}  // namespace zubreca
