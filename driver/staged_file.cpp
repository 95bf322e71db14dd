#include "driver/staged_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "buffers/file_loading.h"
#include "driver/console.h"
#include "driver/rollback.h"

namespace zubreca {

namespace {

constexpr char kTemporaryName[] = ".zubreca-XXXXXX";

// Writes out the directory holding `path`, so that a rename in it lasts.
void SyncDirectoryOf(const char* path) {
  const char* slash = strrchr(path, '/');
  char directory[4096] = ".";
  if (slash) {
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    memcpy(directory, path, length);
    directory[length] = '\0';
  }
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

STAGED_FILE::STAGED_FILE(const char* finalPath) {
  const char* slash = strrchr(finalPath, '/');
  const size_t directoryLength = slash ? static_cast<size_t>(slash - finalPath) + 1 : 0;
  if (strlen(finalPath) >= sizeof finalName || directoryLength + sizeof kTemporaryName > sizeof path) {
    ReportError("can`t open file %s", finalPath);
  }
  strcpy(finalName, finalPath);
  memcpy(path, finalPath, directoryLength);
  memcpy(path + directoryLength, kTemporaryName, sizeof kTemporaryName);
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) ReportError("can`t open file %s", finalPath);
  KeepTemporary(path);
  file = OpenStream(fd, "w+b");
  if (!file) ReportError("can`t open file %s", finalPath);
}

STAGED_FILE::~STAGED_FILE() { discard(); }

bool STAGED_FILE::commit(mode_t mode, const struct timespec* times) {
  if (!file) return false;
  bool written = fflush(file) == 0 && !ferror(file);
  const int fd = fileno(file);
  written = written && fchmod(fd, mode) == 0;
  if (times) written = written && futimens(fd, times) == 0;
  written = written && fsync(fd) == 0;
  written = CloseFile(file) == 0 && written;
  file = nullptr;
  if (!written || rename(path, finalName) != 0) {
    discard();
    return false;
  }
  ForgetTemporary(path);
  path[0] = '\0';
  SyncDirectoryOf(finalName);
  return true;
}

void STAGED_FILE::discard() {
  if (file) CloseFile(file);
  file = nullptr;
  if (path[0]) {
    unlink(path);
    ForgetTemporary(path);
    path[0] = '\0';
  }
}

}  // namespace zubreca
