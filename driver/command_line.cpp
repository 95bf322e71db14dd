#include "driver/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "driver/console.h"
#include "driver/file_safety.h"
#include "driver/rollback.h"
#include "driver/run_settings.h"
#include "model/model_memory.h"

namespace zubreca {

const char kBanner[] = "ZUBRECA - Compressor/Archiver, v.0.5(QKTV-2)\n";

const char kUsage[] =
    "Usage: ZUBRECA <e|d> [switches] <FileName[s] | Wildcard[s]>\n"
    "Switches (for encoding only):\n"
    "\t-d     - delete file[s] after processing, default: disabled\n"
    "\t-fName - set output file name to Name\n"
    "\t-mN    - use N MB memory - [4,2048], default: %d\n"
    "\t-oN    - set model order to N - [2,128], default: %d\n"
    "\t-tN    - set trick number\n";

namespace {

// A decimal number as atoi reads it (leading blanks, a sign, digits; 0 when
// there are none), saturated instead of wrapped when it does not fit.
long ReadNumber(const char* value) {
  const long n = strtol(value, nullptr, 10);
  if (n > 1000000000L) return 1000000000L;
  if (n < -1000000000L) return -1000000000L;
  return n;
}

int Clamp(long n, int low, int high) {
  if (n < low) return low;
  if (n > high) return high;
  return static_cast<int>(n);
}

bool IsSwitch(const char* argument) { return argument[0] == '-' || argument[0] == '/'; }

}  // namespace

int ParseMemory(const char* value) { return Clamp(ReadNumber(value) & ~3L, kMinMemory, kMaxMemory); }

int ParseOrder(const char* value) { return Clamp(ReadNumber(value), kMinOrder, kMaxOrder); }

COMMAND ParseCommand(const char* argument) {
  switch (toupper(static_cast<unsigned char>(argument[0]))) {
    case 'E':
      return COMMAND::ENCODE;
    case 'D':
      return COMMAND::DECODE;
    default:
      ReportError("unknown command '%s'", argument);
  }
}

void ParseSwitch(const char* argument, RUN_SETTINGS& settings) {
  const char* value = argument[1] ? argument + 2 : argument + 1;
  switch (toupper(static_cast<unsigned char>(argument[1]))) {
    case 'D':
      settings.deleteFiles = true;
      break;
    case 'F':
      TestArchive(settings.archiveName, value);
      break;
    case 'M':
      settings.memory = ParseMemory(value);
      break;
    case 'O':
      modelOrder = ParseOrder(value);
      break;
    case 'T':
      if (settings.trick) ReportError("can`t use two tricks");
      settings.trick = value;
      break;
    default:
      ReportError("unknown switch '%s'", argument);
  }
}

int ParseSwitches(int argc, char** argv, RUN_SETTINGS& settings) {
  int i = 2;
  for (; i < argc && IsSwitch(argv[i]); ++i) ParseSwitch(argv[i], settings);
  return i;
}

namespace {

// Takes out of the list, when encoding, every file that an archive of this
// run would be written to: the -f archive (by name or as the same file),
// and every file named like the archive of a listed file (x.zbr, or
// notes.zbr beside notes.txt). Such a file would be read while it is being
// replaced, or removed by -d as a source after it became an archive.
void LeaveOutArchivesOfTheRun(FOUND_FILE*& list, const char* archiveName) {
  std::unordered_set<std::string> archives;
  FILE_IDENTITY archive;
  bool archiveExists = false;
  if (*archiveName) {
    archives.insert(archiveName);
    struct stat status;
    archiveExists = stat(archiveName, &status) == 0;
    if (archiveExists) archive = FILE_IDENTITY::Of(status);
  } else {
    char composed[kNameBufferSize];
    for (const FOUND_FILE* node = list; node; node = node->next) {
      if (TryComposeName(node->file.name(), composed, "zbr")) archives.insert(composed);
    }
  }
  for (FOUND_FILE** link = &list; *link;) {
    FOUND_FILE* node = *link;
    const bool isArchive = archives.count(node->file.name()) != 0 ||
                           (archiveExists && FILE_IDENTITY::Of(node->file.status) == archive);
    if (!isArchive) {
      link = &node->next;
      continue;
    }
    PrintShown(node->file.name());
    printf(": is an archive of this run, skipped\n");
    *link = node->next;
    delete node;
  }
}

}  // namespace

int RunZubreca(int argc, char** argv) {
  // Files opened later must not take the place of a closed standard
  // stream: an archive opened as descriptor 0 would answer the prompts.
  OpenMissingStandardDescriptors();
  RollBackOnSignals();
  // A file that grows past the process's file size limit must end in a
  // write error that the driver reports, not in a silent kill.
  signal(SIGXFSZ, SIG_IGN);
  modelOrder = kDefaultOrder;
  RUN_SETTINGS settings;
  settings.memory = kDefaultMemory;

  printf("%s", kBanner);
  if (argc < 3) {
    printf(kUsage, kDefaultMemory, kDefaultOrder);
    return -1;
  }
  settings.command = ParseCommand(argv[1]);
  const int firstFile = ParseSwitches(argc, argv, settings);

  FOUND_FILE* list = nullptr;
  FOUND_FILE** tail = &list;
  for (int i = firstFile; i < argc; ++i) tail = AppendMatches(argv[i], tail);

  // Progress marks and prompts must appear at once.
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (settings.command == COMMAND::ENCODE) LeaveOutArchivesOfTheRun(list, settings.archiveName);

  // Files removed by -d: a file listed twice is not looked for again once
  // it is gone.
  std::vector<FILE_IDENTITY> removed;
  while (list) {
    const ENV_FIND_RESULT& file = list->file;
    const FILE_IDENTITY found = FILE_IDENTITY::Of(file.status);
    if (std::find(removed.begin(), removed.end(), found) == removed.end()) {
      FILE_IDENTITY read;
      const bool processed = settings.command == COMMAND::ENCODE
                                 ? EncodeFile(file, settings.memory, settings.trick, settings.archiveName, &read)
                                 : DecodeFile(file, &read);
      // Only the file that was read goes, and only while its name still
      // leads to it: a restored file or an archive that took the name
      // stays.
      if (settings.deleteFiles && processed && RemoveIfSameFile(file.name(), read)) removed.push_back(read);
    }
    FOUND_FILE* done = list;
    list = list->next;
    delete done;
  }
  MODEL_MEMORY::release();
  return 0;
}

}  // namespace zubreca
