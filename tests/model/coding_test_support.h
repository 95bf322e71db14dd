// Helpers shared by the tests that code buffers into streams.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace zubreca {

// Every byte of a stream from its start (after flushing what was written).
inline std::vector<uint8_t> WholeStream(FILE* f) {
  fflush(f);
  std::vector<uint8_t> bytes;
  if (fseeko(f, 0, SEEK_SET) != 0) return bytes;
  int c;
  while ((c = getc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  return bytes;
}

// The coder prints progress marks on standard output; tests that code
// buffers send them to /dev/null for the lifetime of a QUIET_STDOUT, so that
// test logs stay readable.
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
