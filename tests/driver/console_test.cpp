// Tests of the error routine, the overwrite prompt and the spinner, each run
// in a child process with its standard input given and its output captured.
#include "driver/console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::FatalText;
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

TEST(ReportError, ControlCharactersAreShownEscaped) {
  EXPECT_EQ(RunInChild([] { ReportError("read/write for file %s", "evil\x1b]0;title\x07\n.txt"); }),
            (PROGRAM_RESULT{255, "\nError: read/write for file evil\\x1B]0;title\\x07\\x0A.txt!\n"}));
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

// The prompt only answers; the caller replaces the file as a whole, so the
// old file is still there after a yes.
TEST(AskOverwrite, YesCarriageReturnAndAnEmptyLineAnswerYes) {
  for (const std::string answer : {"y", "Y", "\r", "\n"}) {
    TEMP_DIR dir;
    const std::string path = dir / "old.zbr";
    WriteFile(path, "old");
    EXPECT_EQ(Ask({path}, answer), (PROGRAM_RESULT{0, Prompt(path) + "[yes]"})) << answer;
    EXPECT_EQ(ReadFile(path), "old");
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
}

// Enter on a terminal sends a line feed: on an empty line it answers yes;
// the one that ends a typed answer, or a line of ignored characters, does
// not answer the next question.
TEST(AskOverwrite, LineFeedsAsATerminalSendsThem) {
  TEMP_DIR dir;
  const std::vector<std::string> paths = {dir / "1", dir / "2", dir / "3", dir / "4"};
  for (const std::string& path : paths) WriteFile(path, "old");
  std::string prompts;
  for (const std::string& path : paths) prompts += Prompt(path);
  EXPECT_EQ(Ask(paths, "n\n\nx\nn\r\n\n"),
            (PROGRAM_RESULT{0, Prompt(paths[0]) + "[no]" + Prompt(paths[1]) + "[yes]" + Prompt(paths[2]) + "[no]" +
                                   Prompt(paths[3]) + "[yes]"}));
  // The first question of the run begins a line.
  EXPECT_EQ(Ask({paths[0]}, "\n"), (PROGRAM_RESULT{0, Prompt(paths[0]) + "[yes]"}));
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
}

// A link in the way is asked about like a file, dangling or not, and
// neither it nor what it leads to is changed by the question.
TEST(AskOverwrite, LinksAreAskedAboutAndLeftAlone) {
  TEMP_DIR dir;
  WriteFile(dir / "target", "target");
  ASSERT_EQ(chmod((dir / "target").c_str(), 0644), 0);
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
  EXPECT_EQ(Ask({dir / "link", dir / "dangling"}, "yy"),
            (PROGRAM_RESULT{0, Prompt(dir / "link") + "[yes]" + Prompt(dir / "dangling") + "[yes]"}));
  struct stat status;
  ASSERT_EQ(stat((dir / "target").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u) << "the link's target keeps its mode";
  EXPECT_FALSE(FileExists(dir / "nowhere"));
}

// A writable file that its owner may not read exists all the same.
TEST(AskOverwrite, UnreadableFileIsAskedAbout) {
  TEMP_DIR dir;
  const std::string path = dir / "secret";
  WriteFile(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0200), 0);
  EXPECT_EQ(Ask({path}, "n"), (PROGRAM_RESULT{0, Prompt(path) + "[no]"}));
}

TEST(AskOverwrite, DirectoriesAndFifosAreErrors) {
  TEMP_DIR dir;
  ASSERT_EQ(mkdir((dir / "dir").c_str(), 0755), 0);
  WriteFile(dir / "dir/inside", "x");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  for (const std::string name : {"dir", "fifo"}) {
    EXPECT_EQ(Ask({dir / name}, "y"), (PROGRAM_RESULT{255, FatalText("can`t open file " + (dir / name))})) << name;
  }
  struct stat status;
  ASSERT_EQ(stat((dir / "dir").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u) << "the directory's mode is not touched";
}

TEST(AskOverwrite, ControlCharactersInNamesAreShownEscaped) {
  TEMP_DIR dir;
  const std::string name = dir / "a\x1b[2Jb\tc\x7f";
  WriteFile(name, "old");
  EXPECT_EQ(Ask({name}, "n"),
            (PROGRAM_RESULT{0, Prompt(dir / "a\\x1B[2Jb\\x09c\\x7F") + "[no]"}));
}

TEST(ScrPrint, CyclesThroughFourCharactersEachFollowedByBackspace) {
  EXPECT_EQ(RunInChild([] {
              for (int i = 0; i < 6; ++i) ScrPrint();
            }),
            (PROGRAM_RESULT{0, "|\b/\b-\b\\\b|\b/\b"}));
}

}  // namespace
}  // namespace zubreca
