// The rules by which the driver touches files in the directory.
//
// - A name is looked at, never through: what lies at a name is told with
//   lstat, and a symbolic link is never opened, written through or
//   changed; an output replaces a link in its way (driver/staged_file.h).
// - Only regular files are read or replaced; a directory, FIFO, device or
//   socket at an output name is an error, and nothing waits on a FIFO.
// - A file is removed (-d) only while its name still leads to the very
//   file that was read.
// - Restored modes lose the setuid, setgid and sticky bits, and for users
//   other than root the umask applies, as tar does.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

namespace zubreca {

enum class PATH_KIND { kMissing, kRegular, kLink, kDirectory, kOther };

// What lies at `path`, without following a link. A path that cannot be
// examined for another reason than its absence counts as kOther.
PATH_KIND KindOfPath(const char* path);

// Which file a name led to when it was examined or opened.
struct FILE_IDENTITY {
  dev_t device = 0;
  ino_t inode = 0;

  static FILE_IDENTITY Of(const struct stat& status) { return {status.st_dev, status.st_ino}; }
  bool operator==(const FILE_IDENTITY&) const = default;
};

// Removes `path` if it still leads to the file `identity` (and is not a
// link); returns whether it did.
bool RemoveIfSameFile(const char* path, FILE_IDENTITY identity);

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that no file the program opens later takes its place (an archive opened
// as descriptor 0 would answer the prompts).
void OpenMissingStandardDescriptors();

// The process's umask.
mode_t CreationMask();

// The permission bits a restored file gets from the mode stored in its
// entry: the stored permissions without setuid, setgid and sticky bits,
// and, unless the user is the superuser, without the bits of `mask`.
mode_t RestoredMode(uint32_t storedMode, bool superuser, mode_t mask);

}  // namespace zubreca
