// Expansion of file names and wildcards in the current directory.
//
// The program matches patterns itself: ENV_FILE_FINDER walks the entries of
// "." and yields those that match one pattern, are regular files (not
// symbolic links, directories, FIFOs, devices or sockets), are readable by
// their owner and have exactly one link (which keeps hard-linked files
// out). Patterns are matched against bare entry names, so a pattern with a
// directory part matches nothing.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

namespace zubreca {

// One found file: its directory entry and its status (lstat of the name),
// both copied at the time of the search.
struct ENV_FIND_RESULT {
  struct dirent entry;
  struct stat status;

  const char* name() const { return entry.d_name; }
};

// A node of the run's list of found files.
struct FOUND_FILE {
  FOUND_FILE* next;
  ENV_FIND_RESULT file;
};

class ENV_FILE_FINDER {
 public:
  ENV_FILE_FINDER() = default;
  ~ENV_FILE_FINDER();
  ENV_FILE_FINDER(const ENV_FILE_FINDER&) = delete;
  ENV_FILE_FINDER& operator=(const ENV_FILE_FINDER&) = delete;

  // Starts a search of "." for `pattern` (which must outlive the search)
  // and returns the first match, or null. The result stays valid until the
  // next call.
  const ENV_FIND_RESULT* findFirst(const char* pattern);
  // The next match, or null after the last one (the directory is then
  // closed).
  const ENV_FIND_RESULT* findNext();

 private:
  DIR* directory = nullptr;
  const char* pattern = nullptr;
  ENV_FIND_RESULT result{};
};

// Appends every match of `pattern` to the list whose last link is `*tail`
// and returns the new last link; keeps the order of discovery.
FOUND_FILE** AppendMatches(const char* pattern, FOUND_FILE** tail);

}  // namespace zubreca
