// The compression ratio is the product: the archive size of every shared
// corpus file at default settings, with -t0 and with each trick made for
// its kind of data, is pinned in tests/size_regression.txt. A file whose
// archive grows by more than 0.5% fails the test, which then prints the
// table with the sizes measured now, so that a change meant to move sizes
// updates the table in the same commit. Smaller archives pass and are
// listed.
//
// Release build only: the sanitizers code the same bytes, only slower.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/driver/run_program.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using namespace testkit;

constexpr char kTable[] = ZUBRECA_SOURCE_DIR "/tests/size_regression.txt";
constexpr double kGrowthAllowed = 1.005;
constexpr time_t kFixedTime = 1600000000;  // 2020-09-13

struct ROW {
  std::string file;  // below the corpus
  std::string trick;
  uint64_t bytes = 0;
};

// The table's header comments and rows, in their order.
struct TABLE {
  std::vector<std::string> comments;
  std::vector<ROW> rows;
};

TABLE ReadTable() {
  TABLE table;
  std::ifstream in(kTable);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') {
      table.comments.push_back(line);
      continue;
    }
    std::istringstream fields(line);
    ROW row;
    fields >> row.file >> row.trick >> row.bytes;
    table.rows.push_back(row);
  }
  return table;
}

std::string Print(const TABLE& table) {
  std::string text;
  for (const std::string& line : table.comments) text += line + "\n";
  for (const ROW& row : table.rows) text += row.file + " " + row.trick + " " + std::to_string(row.bytes) + "\n";
  return text;
}

// The archive of one corpus file with `trick`, in bytes.
uint64_t ArchiveSize(const std::string& file, const std::string& trick) {
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  WriteFile(dir / "f.bin", CorpusFile(file));
  // The entry header holds the file's time, and its coded size depends on
  // it: a fixed time keeps small archives from moving by a byte.
  const struct timespec times[2] = {{kFixedTime, 0}, {kFixedTime, 0}};
  if (utimensat(AT_FDCWD, (dir / "f.bin").c_str(), times, 0) != 0) return 0;
  const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"e", trick, "f.bin"});
  if (result.status != 0) return 0;
  return std::filesystem::file_size(dir / "f.zbr");
}

// Measures the rows whose switch `plain` says -t0 (or every other one),
// fails on growth and prints the table as measured.
void CheckSizes(bool plain) {
  if (kUnderSanitizer) GTEST_SKIP() << "sizes are pinned in the Release build";
  NEEDS_CORPUS();
  TABLE table = ReadTable();
  ASSERT_FALSE(table.rows.empty()) << kTable;
  bool grew = false;
  std::string smaller;
  for (ROW& row : table.rows) {
    if ((row.trick == "-t0") != plain) continue;
    const uint64_t now = ArchiveSize(row.file, row.trick);
    ASSERT_NE(now, 0u) << row.file << " " << row.trick << " did not encode";
    if (now > row.bytes * kGrowthAllowed) {
      ADD_FAILURE() << row.file << " " << row.trick << ": " << row.bytes << " -> " << now << " bytes ("
                    << 100.0 * (static_cast<double>(now) / row.bytes - 1) << "% larger)";
      grew = true;
    } else if (now < row.bytes) {
      smaller += row.file + " " + row.trick + ": " + std::to_string(row.bytes) + " -> " + std::to_string(now) + "\n";
    }
    row.bytes = now;
  }
  if (!smaller.empty()) printf("Smaller than the table:\n%s", smaller.c_str());
  if (grew || !smaller.empty()) printf("The table with these sizes (%s):\n%s", kTable, Print(table).c_str());
}

TEST(SizeRegression, PlainCoding) { CheckSizes(true); }
TEST(SizeRegression, Tricks) { CheckSizes(false); }

}  // namespace
}  // namespace zubreca
