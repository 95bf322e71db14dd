// Helpers for tests that run code in a child process: the built zubreca
// program in a directory of its own with a given standard input, or a piece
// of library code that is expected to end the process.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace zubreca::testkit {

// How a child process ended and what it printed.
struct PROGRAM_RESULT {
  int status = 0;      // exit status 0..255; 128 + signal when killed; -1 on timeout
  std::string output;  // everything written to standard output

  bool operator==(const PROGRAM_RESULT& other) const {
    return status == other.status && output == other.output;
  }
};
void PrintTo(const PROGRAM_RESULT& result, std::ostream* os);

struct RUN_OPTIONS {
  std::string input;          // standard input, then end of file
  long fileSizeLimit = -1;    // RLIMIT_FSIZE in bytes, -1 for none
  int timeoutSeconds = 600;   // the child is killed after this
  bool closedInput = false;   // start the program with descriptor 0 closed
  int umask = -1;             // the program's umask, -1 for the test's own
  bool unprivileged = false;  // run as kUnprivilegedUser when the test is root
  int signalAfterMs = -1;     // send `signal` this long after the start
  int signal = 15;            // SIGTERM
};

// The user that unprivileged runs take when the tests run as root, and the
// tests that hand a directory over to that user.
inline constexpr unsigned kUnprivilegedUser = 65534;
// Gives `path` and everything in it to the user the program runs as with
// `unprivileged` (nothing when the test is not root).
void HandOver(const std::string& path);

// Runs the built zubreca with `args` (without the program name) in the
// directory `cwd`. Standard error is passed through to the test's own, so
// that sanitizer reports show in the test log.
PROGRAM_RESULT RunZubrecaIn(const std::string& cwd, const std::vector<std::string>& args,
                            const RUN_OPTIONS& options = {});
inline PROGRAM_RESULT RunZubrecaIn(const std::string& cwd, const std::vector<std::string>& args,
                                   const std::string& input) {
  RUN_OPTIONS options;
  options.input = input;
  return RunZubrecaIn(cwd, args, options);
}

// Runs the built zubreca-dict with `args` in the directory `cwd`, as a user
// would from a shell; its standard error is part of the output.
PROGRAM_RESULT RunDictIn(const std::string& cwd, const std::vector<std::string>& args);

// Runs `body` in a forked child with its standard output captured. If the
// body returns, the child exits with status 0.
PROGRAM_RESULT RunInChild(const std::function<void()>& body, const std::string& input = "");

// Caps the address space of the calling process at its current size plus
// `marginBytes`, so that larger allocations fail. For use inside RunInChild.
void LimitAddressSpace(size_t marginBytes = 16u << 20);

// The exact output of a fatal error with `message`.
inline std::string FatalText(const std::string& message) { return "\nError: " + message + "!\n"; }
inline std::string Banner() { return "ZUBRECA - Compressor/Archiver, v.0.5(QKTV-2)\n"; }

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TEMP_DIR {
 public:
  TEMP_DIR();
  ~TEMP_DIR();
  TEMP_DIR(const TEMP_DIR&) = delete;
  TEMP_DIR& operator=(const TEMP_DIR&) = delete;

  const std::string& path() const { return root; }
  std::string operator/(const std::string& name) const { return root + "/" + name; }

 private:
  std::string root;
};

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& path);

}  // namespace zubreca::testkit
