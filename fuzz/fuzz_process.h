// The process set-up of the fuzz targets that run the program's own
// routines on whole entries: a scratch directory of the target's own as the
// current directory (the files an entry restores land there, and the
// shipped dictionary is linked into it for the wiki trick), progress output
// sent nowhere, and fatal errors thrown as FATAL_ERROR so that one
// long-lived process can go on after "read/write for file ...".
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/console.h"
#include "tricks/wiki/word_dictionary.h"

namespace zubreca::fuzzing {

struct FATAL_ERROR {};

[[noreturn]] inline void ThrowFatal() { throw FATAL_ERROR{}; }

// Sets the process up once; false when it cannot be (the target then
// returns at once). The directory is /tmp/zubreca-fuzz-XXXXXX, left behind
// for a look after a finding.
inline bool EnterScratchDirectory() {
  static const bool ready = [] {
    char directory[] = "/tmp/zubreca-fuzz-XXXXXX";
    if (!mkdtemp(directory) || chdir(directory) != 0) return false;
    if (symlink(ZUBRECA_SOURCE_DIR "/dictionary/EnWiki.fsd", kDictionaryName) != 0) return false;
    if (!freopen("/dev/null", "w", stdout)) return false;
    SetFatalHook(ThrowFatal);
    return true;
  }();
  return ready;
}

// Removes every file of the scratch directory but the dictionary's link.
inline void RemoveScratchFiles() {
  DIR* directory = opendir(".");
  if (!directory) abort();
  while (const dirent* entry = readdir(directory)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strcmp(name, kDictionaryName) == 0) continue;
    if (unlink(name) != 0) abort();
  }
  closedir(directory);
}

// Reads the file `name` of the scratch directory whole; false when it
// cannot be read.
inline bool ReadScratchFile(const char* name, std::string& bytes) {
  FILE* file = fopen(name, "rb");
  if (!file) return false;
  bytes.clear();
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  const bool complete = !ferror(file);
  fclose(file);
  return complete;
}

}  // namespace zubreca::fuzzing
