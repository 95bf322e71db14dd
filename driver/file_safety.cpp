#include "driver/file_safety.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zubreca {

PATH_KIND KindOfPath(const char* path) {
  struct stat status;
  if (lstat(path, &status) != 0) return errno == ENOENT ? PATH_KIND::kMissing : PATH_KIND::kOther;
  if (S_ISREG(status.st_mode)) return PATH_KIND::kRegular;
  if (S_ISLNK(status.st_mode)) return PATH_KIND::kLink;
  if (S_ISDIR(status.st_mode)) return PATH_KIND::kDirectory;
  return PATH_KIND::kOther;
}

bool RemoveIfSameFile(const char* path, FILE_IDENTITY identity) {
  struct stat status;
  if (lstat(path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  if (FILE_IDENTITY::Of(status) != identity) return false;
  return unlink(path) == 0;
}

void OpenMissingStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is the one that is missing.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

mode_t CreationMask() {
  // umask can only be read by setting it; the program has one thread that
  // creates files, so putting it back at once is safe.
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

mode_t RestoredMode(uint32_t storedMode, bool superuser, mode_t mask) {
  const mode_t permissions = static_cast<mode_t>(storedMode) & 0777;
  return superuser ? permissions : permissions & ~mask;
}

}  // namespace zubreca
