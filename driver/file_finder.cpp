#include "driver/file_finder.h"

#include <fnmatch.h>

#include <cstring>
#include <new>

#include "driver/console.h"

namespace zubreca {

ENV_FILE_FINDER::~ENV_FILE_FINDER() {
  if (directory) closedir(directory);
}

const ENV_FIND_RESULT* ENV_FILE_FINDER::findFirst(const char* pattern_) {
  if (directory) closedir(directory);
  pattern = pattern_;
  directory = opendir(".");
  return findNext();
}

const ENV_FIND_RESULT* ENV_FILE_FINDER::findNext() {
  if (!directory) return nullptr;
  while (const struct dirent* entry = readdir(directory)) {
    // The tests run in this order: name, status, regular file, owner read,
    // single link. The status is the name's own: a symbolic link is not
    // followed, and it is no regular file.
    if (fnmatch(pattern, entry->d_name, FNM_NOESCAPE) != 0) continue;
    if (lstat(entry->d_name, &result.status) != 0) continue;
    if (!S_ISREG(result.status.st_mode)) continue;
    if ((result.status.st_mode & S_IRUSR) == 0) continue;
    if (result.status.st_nlink != 1) continue;
    // The record readdir hands out may be shorter than struct dirent, so it
    // is copied field by field rather than whole.
    result.entry.d_ino = entry->d_ino;
    result.entry.d_off = entry->d_off;
    result.entry.d_reclen = entry->d_reclen;
    result.entry.d_type = entry->d_type;
    strncpy(result.entry.d_name, entry->d_name, sizeof result.entry.d_name - 1);
    result.entry.d_name[sizeof result.entry.d_name - 1] = '\0';
    return &result;
  }
  closedir(directory);
  directory = nullptr;
  return nullptr;
}

FOUND_FILE** AppendMatches(const char* pattern, FOUND_FILE** tail) {
  ENV_FILE_FINDER finder;
  for (const ENV_FIND_RESULT* found = finder.findFirst(pattern); found; found = finder.findNext()) {
    FOUND_FILE* node = new (std::nothrow) FOUND_FILE{nullptr, *found};
    if (!node) ReportError("out of memory");
    *tail = node;
    tail = &node->next;
  }
  return tail;
}

}  // namespace zubreca
