// The coder prints progress marks on standard output; tests that code
// buffers send them to /dev/null for the lifetime of a QUIET_STDOUT, so that
// test logs stay readable.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace zubreca {

class QUIET_STDOUT {
 public:
  QUIET_STDOUT() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
  ~QUIET_STDOUT() {
    fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  QUIET_STDOUT(const QUIET_STDOUT&) = delete;
  QUIET_STDOUT& operator=(const QUIET_STDOUT&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace zubreca
