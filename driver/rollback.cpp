#include "driver/rollback.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "driver/console.h"

namespace zubreca {

namespace {

// Plain static storage: a signal handler reads it at any moment. A slot's
// path is complete before the slot is marked in use.
struct TEMPORARY_SLOT {
  char path[kMaxRollbackPath];
  volatile sig_atomic_t inUse;
};
TEMPORARY_SLOT temporaries[kMaxTemporaries];

volatile sig_atomic_t truncationFd = -1;
off_t truncationLength = 0;

void RollBackAndResignal(int signalNumber) {
  RollBack();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

void KeepTemporary(const char* path) {
  const size_t length = strlen(path);
  if (length >= static_cast<size_t>(kMaxRollbackPath)) ReportError("can`t open file %s", path);
  for (TEMPORARY_SLOT& slot : temporaries) {
    if (slot.inUse) continue;
    memcpy(slot.path, path, length + 1);
    slot.inUse = 1;
    return;
  }
  ReportError("can`t open file %s", path);  // more files in the making than the design has
}

void ForgetTemporary(const char* path) {
  for (TEMPORARY_SLOT& slot : temporaries) {
    if (slot.inUse && strcmp(slot.path, path) == 0) slot.inUse = 0;
  }
}

void KeepTruncation(int fd, off_t length) {
  truncationLength = length;
  truncationFd = fd;
}

void ForgetTruncation() { truncationFd = -1; }

void RollBack() {
  for (TEMPORARY_SLOT& slot : temporaries) {
    if (!slot.inUse) continue;
    slot.inUse = 0;
    unlink(slot.path);
  }
  const int fd = truncationFd;
  if (fd >= 0) {
    truncationFd = -1;
    if (ftruncate(fd, truncationLength) == 0) fsync(fd);
  }
}

void RollBackOnSignals() {
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = RollBackAndResignal;
    sigemptyset(&action.sa_mask);
    // A signal that was ignored when the program started (nohup, a shell
    // running it in the background) stays ignored.
    struct sigaction previous;
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

}  // namespace zubreca
