// The manual pages against the programs: every switch a program accepts
// is described in its page, and the page describes no switch that the
// program refuses. Which switches a program accepts is found by trying
// every letter on it.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "tests/driver/run_program.h"

namespace zubreca::testkit {
namespace {

// The letters X of the ".B \-X" and ".BI \-X" lines in the OPTIONS section
// of a page.
std::set<char> DescribedSwitches(const std::string& page) {
  std::set<char> letters;
  const size_t from = page.find("\n.SH OPTIONS\n");
  const size_t to = page.find("\n.SH ", from + 1);
  if (from == std::string::npos) return letters;
  const std::string options = page.substr(from, to - from);
  for (size_t at = options.find("\n.TP\n"); at != std::string::npos; at = options.find("\n.TP\n", at + 1)) {
    const size_t line = at + 5;
    for (const char* mark : {".B \\-", ".BI \\-"}) {
      const std::string prefix = mark;
      if (options.compare(line, prefix.size(), prefix) == 0) letters.insert(options[line + prefix.size()]);
    }
  }
  return letters;
}

std::string Page(const char* name) { return ReadFile(std::string(ZUBRECA_MAN_DIR) + "/" + name + ".1"); }

// Whether the page renders without a warning from groff, when groff is
// there to ask.
void ExpectCleanRendering(const char* name) {
  if (system("command -v groff >/dev/null 2>&1") != 0) return;
  const std::string command =
      "groff -man -ww -z '" + std::string(ZUBRECA_MAN_DIR) + "/" + name + ".1' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string warnings;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) warnings.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(warnings, "") << name << ".1";
}

TEST(ManualPage, ZubrecaDescribesEverySwitchItTakes) {
  TEMP_DIR dir;
  std::set<char> accepted;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    // A switch is taken when the run gets past the switches: the file
    // named after them matches nothing, and the run ends cleanly.
    const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"e", std::string("-") + letter + "1", "nothing"});
    if (result.output.find("unknown switch") == std::string::npos) accepted.insert(letter);
  }
  EXPECT_EQ(accepted, (std::set<char>{'d', 'f', 'm', 'o', 't'})) << "the program's switches changed";
  const std::string page = Page("zubreca");
  EXPECT_EQ(DescribedSwitches(page), accepted);
  // The ranges and defaults that the program clamps to.
  for (const char* fact : {"4 to 2048", "Default: 256", "2 to 128", "Default: 128", "EnWiki.fsd", "!Mdl-Lib.mdl"}) {
    EXPECT_NE(page.find(fact), std::string::npos) << fact;
  }
  ExpectCleanRendering("zubreca");
}

TEST(ManualPage, ZubrecaDictDescribesEverySwitchItTakes) {
  TEMP_DIR dir;
  std::set<char> accepted;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    // With no input after the switches a taken switch ends in the usage.
    const PROGRAM_RESULT result = RunDictIn(dir.path(), {std::string("-") + letter + "1"});
    if (result.output.find("unknown switch") == std::string::npos) accepted.insert(letter);
  }
  EXPECT_EQ(accepted, (std::set<char>{'c', 'o', 'w'})) << "the program's switches changed";
  EXPECT_EQ(DescribedSwitches(Page("zubreca-dict")), accepted);
  ExpectCleanRendering("zubreca-dict");
}

}  // namespace
}  // namespace zubreca::testkit
