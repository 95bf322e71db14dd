// Tests of the error routine, the overwrite prompt and the spinner, each run
// in a child process with its standard input given and its output captured.
#include "driver/console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::FileExists;
using testkit::PROGRAM_RESULT;
using testkit::ReadFile;
using testkit::RunInChild;
using testkit::TEMP_DIR;
using testkit::WriteFile;

TEST(ReportError, PrintsTheMessageAndExitsWith255) {
  EXPECT_EQ(RunInChild([] { ReportError("unknown trick"); }), (PROGRAM_RESULT{255, "\nError: unknown trick!\n"}));
  EXPECT_EQ(RunInChild([] { ReportError("read/write for file %s", "a b.zbr"); }),
            (PROGRAM_RESULT{255, "\nError: read/write for file a b.zbr!\n"}));
}

TEST(ReportError, FlushesWhatWasPrintedBefore) {
  EXPECT_EQ(RunInChild([] {
              printf("name: ");
              ReportError("out of memory");
            }),
            (PROGRAM_RESULT{255, "name: \nError: out of memory!\n"}));
}

std::string Prompt(const std::string& path) {
  return path + " already exists, overwrite?: <Y>es, <N>o, <A>ll, <Q>uit?";
}

// Runs AskOverwrite once for each path in a child and prints each answer
// as "[yes]" or "[no]".
PROGRAM_RESULT Ask(const std::vector<std::string>& paths, const std::string& input) {
  return RunInChild(
      [&] {
        for (const std::string& path : paths) printf(AskOverwrite(path.c_str()) ? "[yes]" : "[no]");
      },
      input);
}

TEST(AskOverwrite, MissingFileNeedsNoQuestion) {
  TEMP_DIR dir;
  EXPECT_EQ(Ask({dir / "new.zbr"}, ""), (PROGRAM_RESULT{0, "[yes]"}));
}

TEST(AskOverwrite, YesAndCarriageReturnReplace) {
  for (const std::string answer : {"y", "Y", "\r"}) {
    TEMP_DIR dir;
    const std::string path = dir / "old.zbr";
    WriteFile(path, "old");
    EXPECT_EQ(Ask({path}, answer), (PROGRAM_RESULT{0, Prompt(path) + "[yes]"})) << answer;
    EXPECT_FALSE(FileExists(path)) << "the old file is removed after a yes";
  }
}

TEST(AskOverwrite, NoKeepsTheFile) {
  for (const std::string answer : {"n", "N"}) {
    TEMP_DIR dir;
    const std::string path = dir / "old.zbr";
    WriteFile(path, "old");
    EXPECT_EQ(Ask({path}, answer), (PROGRAM_RESULT{0, Prompt(path) + "[no]"}));
    EXPECT_EQ(ReadFile(path), "old");
  }
}

TEST(AskOverwrite, QuitEscapeAndEndOfInputBreak) {
  for (const std::string answer : {"q", "Q", "\x1b", "", "zz\n"}) {
    TEMP_DIR dir;
    const std::string path = dir / "old.zbr";
    WriteFile(path, "old");
    EXPECT_EQ(Ask({path}, answer), (PROGRAM_RESULT{255, Prompt(path) + "User break!\n"})) << answer;
    EXPECT_EQ(ReadFile(path), "old");
  }
}

TEST(AskOverwrite, OtherCharactersAreIgnoredAndTheRestStaysForTheNextPrompt) {
  TEMP_DIR dir;
  const std::string first = dir / "first.zbr";
  const std::string second = dir / "second.zbr";
  WriteFile(first, "1");
  WriteFile(second, "2");
  // "x" is ignored, "n" answers; the newline is left for the next prompt,
  // which ignores it and takes "y".
  EXPECT_EQ(Ask({first, second}, "xn\ny"), (PROGRAM_RESULT{0, Prompt(first) + "[no]" + Prompt(second) + "[yes]"}));
  EXPECT_TRUE(FileExists(first));
  EXPECT_FALSE(FileExists(second));
}

TEST(AskOverwrite, AllAnswersEveryLaterQuestion) {
  TEMP_DIR dir;
  const std::string first = dir / "first.zbr";
  const std::string second = dir / "second.zbr";
  const std::string third = dir / "third.zbr";
  WriteFile(first, "1");
  WriteFile(second, "2");
  WriteFile(third, "3");
  ASSERT_EQ(chmod(third.c_str(), 0444), 0);
  EXPECT_EQ(Ask({first, dir / "missing.zbr", second, third}, "a"),
            (PROGRAM_RESULT{0, Prompt(first) + "[yes][yes][yes][yes]"}));
  EXPECT_FALSE(FileExists(first));
  EXPECT_FALSE(FileExists(second));
  EXPECT_FALSE(FileExists(third));
}

TEST(AskOverwrite, ReadOnlyFileIsReplaced) {
  TEMP_DIR dir;
  const std::string path = dir / "locked.zbr";
  WriteFile(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0400), 0);
  EXPECT_EQ(Ask({path}, "y"), (PROGRAM_RESULT{0, Prompt(path) + "[yes]"}));
  EXPECT_FALSE(FileExists(path));
}

TEST(AskOverwrite, FailedRemovalAnswersNoAfterMakingTheFileWritable) {
  if (geteuid() == 0) GTEST_SKIP() << "the superuser removes files from read-only directories";
  TEMP_DIR dir;
  const std::string path = dir / "locked.zbr";
  WriteFile(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0400), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
  const PROGRAM_RESULT result = Ask({path}, "y");
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
  EXPECT_EQ(result, (PROGRAM_RESULT{0, Prompt(path) + "[no]"}));
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(ScrPrint, CyclesThroughFourCharactersEachFollowedByBackspace) {
  EXPECT_EQ(RunInChild([] {
              for (int i = 0; i < 6; ++i) ScrPrint();
            }),
            (PROGRAM_RESULT{0, "|\b/\b-\b\\\b|\b/\b"}));
}

}  // namespace
}  // namespace zubreca
