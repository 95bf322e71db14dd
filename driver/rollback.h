// What must be undone when the run ends before a file is complete.
//
// Files are written under temporary names and put in place only when
// complete (driver/staged_file.h), and an entry is appended to an existing
// archive in one short copy at the end. Until then, the temporary files and
// the archive's length before the copy are kept here, so that a fatal
// error, the user's break at a prompt or a signal that ends the process
// removes the one and cuts the other back: no partial file or entry is
// left behind. (A process killed outright, by SIGKILL or a power cut, can
// leave a temporary file, never a damaged archive or a half-restored file
// in place.)
#pragma once

#include <sys/types.h>

namespace zubreca {

// Remembers a temporary file (a path of at most kMaxRollbackPath bytes) to
// remove on a rollback, until it is forgotten again. At most
// kMaxTemporaries at once.
inline constexpr int kMaxTemporaries = 2;
inline constexpr int kMaxRollbackPath = 4096;
void KeepTemporary(const char* path);
void ForgetTemporary(const char* path);

// Remembers that the file open as `fd` is being appended to and must be
// cut back to `length` on a rollback.
void KeepTruncation(int fd, off_t length);
void ForgetTruncation();

// Removes the remembered temporary files and cuts the remembered file
// back. Async-signal-safe.
void RollBack();

// Makes SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE roll back before they
// end the process the way they would have.
void RollBackOnSignals();

}  // namespace zubreca
