#include "tests/driver/run_program.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zubreca::testkit {

void PrintTo(const PROGRAM_RESULT& result, std::ostream* os) {
  *os << "{status " << result.status << ", output \"";
  for (const char c : result.output) {
    switch (c) {
      case '\n': *os << "\\n"; break;
      case '\t': *os << "\\t"; break;
      case '\b': *os << "\\b"; break;
      case '\r': *os << "\\r"; break;
      case '"': *os << "\\\""; break;
      case '\\': *os << "\\\\"; break;
      default:
        if (static_cast<unsigned char>(c) < 32) {
          *os << "\\x" << std::hex << static_cast<int>(c) << std::dec;
        } else {
          *os << c;
        }
    }
  }
  *os << "\"}";
}

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

// An anonymous in-memory file, so that captured streams never show up in
// the directory a test examines.
int MemoryFile(const char* name, const std::string& contents) {
  const int fd = memfd_create(name, 0);
  if (fd < 0) Fail("memfd_create");
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) Fail("write");
    done += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) Fail("lseek");
  return fd;
}

std::string ReadBack(int fd) {
  std::string text;
  char chunk[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd, chunk, sizeof chunk, offset);
    if (n < 0) Fail("pread");
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

int WaitWithTimeout(pid_t pid, int timeoutSeconds, int signalAfterMs = -1, int signalNumber = 0) {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(timeoutSeconds);
  bool signalled = signalAfterMs < 0;
  for (;;) {
    if (!signalled && std::chrono::steady_clock::now() >= start + std::chrono::milliseconds(signalAfterMs)) {
      kill(pid, signalNumber);
      signalled = true;
    }
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (done < 0 && errno != EINTR) Fail("waitpid");
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// The program as the unprivileged user can run it: wherever the build
// directory lies (perhaps below a home directory that user may not enter),
// a copy in a directory of its own under /tmp, made once and removed when
// the tests end.
class UNPRIVILEGED_COPY {
 public:
  const std::string& path() {
    if (binary.empty()) {
      char pattern[] = "/tmp/zubreca-test-bin-XXXXXX";
      if (!mkdtemp(pattern)) Fail("mkdtemp");
      directory = pattern;
      owner = getpid();
      binary = directory + "/zubreca";
      std::filesystem::copy_file(ZUBRECA_BINARY, binary);
      if (chmod(directory.c_str(), 0755) != 0 || chmod(binary.c_str(), 0755) != 0) Fail("chmod " + binary);
    }
    return binary;
  }
  ~UNPRIVILEGED_COPY() {
    // A child that ends through exit (a fatal error in RunInChild) runs
    // this too; only the process that made the copy removes it.
    std::error_code ignored;
    if (!directory.empty() && getpid() == owner) std::filesystem::remove_all(directory, ignored);
  }

 private:
  std::string directory;
  std::string binary;
  pid_t owner = 0;
};

UNPRIVILEGED_COPY unprivilegedCopy;

}  // namespace

PROGRAM_RESULT RunDictIn(const std::string& cwd, const std::vector<std::string>& args) {
  std::string line = "cd '" + cwd + "' && '" + ZUBRECA_DICT_BINARY + "'";
  for (const std::string& arg : args) line += " '" + arg + "'";
  FILE* pipe = popen((line + " 2>&1").c_str(), "r");
  PROGRAM_RESULT result{-1, ""};
  if (!pipe) return result;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) result.output.append(chunk, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

PROGRAM_RESULT RunZubrecaIn(const std::string& cwd, const std::vector<std::string>& args,
                            const RUN_OPTIONS& options) {
  const int in = MemoryFile("stdin", options.input);
  const int out = MemoryFile("stdout", "");
  std::vector<std::string> words = {"zubreca"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const bool dropPrivileges = options.unprivileged && geteuid() == 0;
  const std::string binary = dropPrivileges ? unprivilegedCopy.path() : std::string(ZUBRECA_BINARY);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(120);
    dup2(in, 0);
    dup2(out, 1);
    if (options.closedInput) close(0);
    if (options.umask >= 0) umask(static_cast<mode_t>(options.umask));
    if (dropPrivileges) {
      if (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedUser) != 0 || setuid(kUnprivilegedUser) != 0) _exit(122);
    }
    if (options.fileSizeLimit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(binary.c_str(), argv.data());
    _exit(121);
  }
  PROGRAM_RESULT result;
  result.status = WaitWithTimeout(pid, options.timeoutSeconds, options.signalAfterMs, options.signal);
  result.output = ReadBack(out);
  close(in);
  close(out);
  return result;
}

PROGRAM_RESULT RunInChild(const std::function<void()>& body, const std::string& input) {
  const int in = MemoryFile("stdin", input);
  const int out = MemoryFile("stdout", "");
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    clearerr(stdin);
    body();
    fflush(nullptr);
    _exit(0);
  }
  PROGRAM_RESULT result;
  result.status = WaitWithTimeout(pid, 600);
  result.output = ReadBack(out);
  close(in);
  close(out);
  return result;
}

void LimitAddressSpace(size_t marginBytes) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t kib = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) kib = std::strtoull(line.c_str() + 7, nullptr, 10);
  }
  const rlim_t cap = static_cast<rlim_t>(kib) * 1024 + marginBytes;
  const rlimit limit = {cap, cap};
  if (setrlimit(RLIMIT_AS, &limit) != 0) Fail("setrlimit");
}

void HandOver(const std::string& path) {
  if (geteuid() != 0) return;
  if (chown(path.c_str(), kUnprivilegedUser, kUnprivilegedUser) != 0) Fail("chown " + path);
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (lchown(it->path().c_str(), kUnprivilegedUser, kUnprivilegedUser) != 0) Fail("chown " + it->path().string());
  }
}

TEMP_DIR::TEMP_DIR() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zubreca-test-XXXXXX";
  if (!mkdtemp(pattern.data())) Fail("mkdtemp");
  root = pattern;
}

TEMP_DIR::~TEMP_DIR() {
  std::error_code ignored;
  // Tests take permissions away; give them back so that everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(root, ignored);
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) Fail("open " + path);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!file) Fail("write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail("open " + path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace zubreca::testkit
