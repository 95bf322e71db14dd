#include "tests/test_build.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace zubreca::testkit {

std::string CorpusRoot() {
  const char* chosen = getenv("ZUBRECA_CORPUS_DIR");
  return chosen && *chosen ? chosen : ZUBRECA_CORPUS;
}

bool CorpusPresent() { return std::filesystem::is_directory(CorpusRoot()); }

IN_DICTIONARY_DIR::IN_DICTIONARY_DIR() {
  char here[4096];
  if (!getcwd(here, sizeof here)) throw std::runtime_error("getcwd");
  previous = here;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  if (chdir(dir.path().c_str()) != 0) throw std::runtime_error("chdir " + dir.path());
}

IN_DICTIONARY_DIR::~IN_DICTIONARY_DIR() {
  if (chdir(previous.c_str()) != 0) perror("chdir back");
}

// Every corpus file through the program with `trick`: whole in the
// Release build's full sweep (ZUBRECA_FULL_SWEEP=1), else its first 64 KiB
// (16 KiB under the sanitizers).
void ExpectCorpusRoundTrips(const std::string& trick) {
  NEEDS_CORPUS();
  const char* full = getenv("ZUBRECA_FULL_SWEEP");
  const bool whole = !kUnderSanitizer && full && strcmp(full, "1") == 0;
  const size_t head = kUnderSanitizer ? 16384 : 65536;
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  for (const auto& entry : std::filesystem::recursive_directory_iterator(CorpusRoot())) {
    if (!entry.is_regular_file() || entry.path().filename() == "README.md") continue;
    SCOPED_TRACE(trick + " on " + entry.path().string());
    std::string data = ReadFile(entry.path().string());
    if (!whole) data.resize(std::min(data.size(), head));
    WriteFile(dir / "c.bin", data);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", trick, "c.bin"}).status, 0);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "c.zbr"}).status, 0);
    ASSERT_TRUE(ReadFile(dir / "c.bin") == data) << "did not come back";
  }
}

}  // namespace zubreca::testkit
