// The command line and the run of the program.
//
//   zubreca <e|d> [switches] <FileName[s] | Wildcard[s]>
//
// Switches start with '-' or '/'; the letter after it (any case) selects
// the switch and the rest of the argument is its value: -d delete processed
// files, -fName archive name, -mN model memory in MB, -oN model order,
// -tN trick. The first argument that is not a switch and all after it are
// file names or wildcards.
#pragma once

#include "driver/archive_entry.h"

namespace zubreca {

enum class COMMAND { ENCODE, DECODE };

// Settings of the run, fixed once the switches are parsed. The model order
// is the global modelOrder (driver/run_settings.h).
struct RUN_SETTINGS {
  COMMAND command = COMMAND::ENCODE;
  bool deleteFiles = false;
  char archiveName[kNameBufferSize] = {};
  int memory = 256;
  const char* trick = nullptr;
};

extern const char kBanner[];
extern const char kUsage[];  // with two %d: default memory and order

// -m: the number with its two low bits cleared, clamped to [4, 2048].
int ParseMemory(const char* value);
// -o: the number clamped to [2, 128].
int ParseOrder(const char* value);

// The command letter of the first argument; fatal "unknown command '%s'".
COMMAND ParseCommand(const char* argument);

// Applies one switch argument ("-x..." or "/x..."); fatal
// "unknown switch '%s'" or "can`t use two tricks".
void ParseSwitch(const char* argument, RUN_SETTINGS& settings);

// Parses the switches from argv[2] on; returns the index of the first file
// argument.
int ParseSwitches(int argc, char** argv, RUN_SETTINGS& settings);

// The whole run; returns the exit status of main.
int RunZubreca(int argc, char** argv);

}  // namespace zubreca
