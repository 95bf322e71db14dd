// A file written under a temporary name and put in place when complete.
//
// The temporary file lies in the directory of the final name (so that the
// rename that puts it in place is atomic), is created new (O_EXCL, mode
// 0600) and is kept for a rollback (driver/rollback.h) until it is
// committed or discarded. The final name therefore holds either what it
// held before or the whole new file, never a part of it; whatever was at
// the final name, a link included, is replaced and never written through.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>

namespace zubreca {

class STAGED_FILE {
 public:
  // Creates the temporary file beside `finalPath`; fatal
  // "can`t open file %s" with `finalPath` when that fails.
  explicit STAGED_FILE(const char* finalPath);
  ~STAGED_FILE();  // discards the file unless it was committed
  STAGED_FILE(const STAGED_FILE&) = delete;
  STAGED_FILE& operator=(const STAGED_FILE&) = delete;

  FILE* stream() const { return file; }
  const char* temporaryPath() const { return path; }

  // Gives the file `mode` and, when `times` is not null, the access and
  // modification times times[0] and times[1]; writes it out to the disk,
  // closes it and renames it to the final name. False when any step
  // fails; the temporary file is then removed.
  bool commit(mode_t mode, const struct timespec* times);

  // Closes and removes the temporary file.
  void discard();

 private:
  char path[4096] = {};
  char finalName[4096] = {};
  FILE* file = nullptr;
};

}  // namespace zubreca
