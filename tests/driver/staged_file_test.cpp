// Files written under a temporary name and put in place when complete, and
// the rollback that removes them (or cuts an append back) when the program
// ends early.
#include "driver/staged_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/rollback.h"
#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using namespace testkit;

TEST(StagedFile, CommitReplacesWhatIsThereWithModeAndTimes) {
  TEMP_DIR outside;
  WriteFile(outside / "target", "target");
  TEMP_DIR dir;
  ASSERT_EQ(symlink((outside / "target").c_str(), (dir / "out").c_str()), 0);
  const std::string final = dir / "out";
  {
    STAGED_FILE staged(final.c_str());
    const std::string temporary = staged.temporaryPath();
    EXPECT_EQ(temporary.rfind(dir / ".zubreca-", 0), 0u) << temporary;
    fputs("complete", staged.stream());
    EXPECT_EQ(ReadFile(final), "target") << "nothing reaches the final name before the commit";
    const struct timespec times[2] = {{1500000000, 0}, {1600000000, 0}};
    ASSERT_TRUE(staged.commit(0640, times));
    EXPECT_FALSE(FileExists(temporary));
  }
  struct stat status;
  ASSERT_EQ(lstat(final.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(status.st_mtime, 1600000000);
  EXPECT_EQ(status.st_atime, 1500000000);
  EXPECT_EQ(ReadFile(final), "complete");
  EXPECT_EQ(ReadFile(outside / "target"), "target");
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"out"});
}

TEST(StagedFile, UncommittedOrFailedFilesLeaveNothing) {
  TEMP_DIR dir;
  WriteFile(dir / "kept", "old");
  {
    STAGED_FILE staged((dir / "kept").c_str());
    fputs("never", staged.stream());
  }
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"kept"});
  EXPECT_EQ(ReadFile(dir / "kept"), "old");

  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
  WriteFile(dir / "folder/inside", "x");
  STAGED_FILE staged((dir / "folder").c_str());
  EXPECT_FALSE(staged.commit(0644, nullptr)) << "a file cannot replace a directory";
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"folder", "kept"}));
}

TEST(StagedFile, AFatalErrorRemovesTheTemporaryFile) {
  TEMP_DIR dir;
  const std::string final = dir / "out";
  EXPECT_EQ(RunInChild([&] {
              STAGED_FILE staged(final.c_str());
              fputs("partial", staged.stream());
              fflush(staged.stream());
              ReportError("out of memory");
            }),
            (PROGRAM_RESULT{255, FatalText("out of memory")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{});
}

TEST(StagedFile, ADirectoryThatCannotTakeItIsFatal) {
  EXPECT_EQ(RunInChild([] { STAGED_FILE staged("/nonexistent/dir/out"); }),
            (PROGRAM_RESULT{255, FatalText("can`t open file /nonexistent/dir/out")}));
}

TEST(Rollback, AnAppendIsCutBackToItsOldLength) {
  TEMP_DIR dir;
  const std::string path = dir / "archive";
  WriteFile(path, "sound entries");
  EXPECT_EQ(RunInChild([&] {
              const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
              KeepTruncation(fd, 13);
              if (write(fd, " and half an entr", 17) != 17) return;
              ReportError("read/write for file %s", "archive");
            }),
            (PROGRAM_RESULT{255, FatalText("read/write for file archive")}));
  EXPECT_EQ(ReadFile(path), "sound entries");

  // Once forgotten, a completed append stays.
  EXPECT_EQ(RunInChild([&] {
              const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
              KeepTruncation(fd, 13);
              if (write(fd, ", one more", 10) != 10) return;
              ForgetTruncation();
              ReportError("unknown trick");
            }).status,
            255);
  EXPECT_EQ(ReadFile(path), "sound entries, one more");
}

}  // namespace
}  // namespace zubreca
