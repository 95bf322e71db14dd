#include "buffers/file_loading.h"

#include <cstring>

#include "driver/console.h"

namespace zubreca {

FILE* OpenFile(const char* name, const char* mode, bool mustOpen) {
  FILE* file = fopen(name, mode);
  if (!file) {
    if (mustOpen) ReportError("can`t open file %s", name);
    return nullptr;
  }
  setvbuf(file, nullptr, _IOFBF, kStreamBufferSize);
  return file;
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
