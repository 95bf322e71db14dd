#include "driver/command_line.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/console.h"
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

int RunZubreca(int argc, char** argv) {
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

  while (list) {
    const ENV_FIND_RESULT& file = list->file;
    const bool processed = settings.command == COMMAND::ENCODE
                               ? EncodeFile(file, settings.memory, settings.trick, settings.archiveName)
                               : DecodeFile(file);
    if (settings.deleteFiles && processed) remove(file.name());
    FOUND_FILE* done = list;
    list = list->next;
    delete done;
  }
  MODEL_MEMORY::release();
  return 0;
}

}  // namespace zubreca
