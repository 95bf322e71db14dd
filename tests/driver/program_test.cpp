// Behaviour of the zubreca program that needs no coding: banner, usage,
// the command line's errors and what the file arguments match.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::Banner;
using testkit::FatalText;
using testkit::ListDirectory;
using testkit::PROGRAM_RESULT;
using testkit::RunZubrecaIn;
using testkit::TEMP_DIR;
using testkit::WriteFile;

const std::string kUsageText =
    "Usage: ZUBRECA <e|d> [switches] <FileName[s] | Wildcard[s]>\n"
    "Switches (for encoding only):\n"
    "\t-d     - delete file[s] after processing, default: disabled\n"
    "\t-fName - set output file name to Name\n"
    "\t-mN    - use N MB memory - [4,2048], default: 256\n"
    "\t-oN    - set model order to N - [2,128], default: 128\n"
    "\t-tN    - set trick number\n";

TEST(ProgramUsage, FewerThanTwoArgumentsPrintUsage) {
  TEMP_DIR dir;
  const PROGRAM_RESULT usage{255, Banner() + kUsageText};
  EXPECT_EQ(RunZubrecaIn(dir.path(), {}), usage);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e"}), usage);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d"}), usage);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"x"}), usage) << "usage comes before the command is read";
}

TEST(ProgramErrors, UnknownCommand) {
  TEMP_DIR dir;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"x", "file"}), (PROGRAM_RESULT{255, Banner() + FatalText("unknown command 'x'")}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"extract?", "file"}).status, 0) << "only the first letter counts";
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"-e", "file"}),
            (PROGRAM_RESULT{255, Banner() + FatalText("unknown command '-e'")}));
}

TEST(ProgramErrors, SwitchErrors) {
  TEMP_DIR dir;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-x", "a"}), (PROGRAM_RESULT{255, Banner() + FatalText("unknown switch '-x'")}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "/Q", "a"}), (PROGRAM_RESULT{255, Banner() + FatalText("unknown switch '/Q'")}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-t1", "-t2", "a"}),
            (PROGRAM_RESULT{255, Banner() + FatalText("can`t use two tricks")}));
  // Switches are read before any file is looked at.
  WriteFile(dir / "a", "data");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-x", "a"}),
            (PROGRAM_RESULT{255, Banner() + FatalText("unknown switch '-x'")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"a"});
}

TEST(ProgramErrors, ArchiveSwitchRefusesAFileThatIsNoArchive) {
  TEMP_DIR dir;
  WriteFile(dir / "notes", "not an archive");
  WriteFile(dir / "a.txt", "data");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-fnotes", "a.txt"}),
            (PROGRAM_RESULT{255, Banner() + FatalText("read/write for file notes")}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "-fnotes", "a.txt"}),
            (PROGRAM_RESULT{255, Banner() + FatalText("read/write for file notes")}))
      << "-f is examined when decoding too";
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"a.txt", "notes"}));
}

TEST(ProgramFiles, NothingMatchedIsASilentSuccess) {
  TEMP_DIR dir;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "nosuchfile"}), (PROGRAM_RESULT{0, Banner()}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "nosuch.zbr", "*.zbr"}), (PROGRAM_RESULT{0, Banner()}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-m64", "-o3", "-t1", "none*"}), (PROGRAM_RESULT{0, Banner()}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{});
}

TEST(ProgramFiles, SwitchAfterAFileNameIsAPattern) {
  TEMP_DIR dir;
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "nothing", "-m64", "-x"}), (PROGRAM_RESULT{0, Banner()}));
}

TEST(ProgramFiles, ExcludedFilesAreNotProcessed) {
  TEMP_DIR dir;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteFile(dir / "sub/a.txt", "a");
  WriteFile(dir / "linked.txt", "l");
  ASSERT_EQ(link((dir / "linked.txt").c_str(), (dir / "linked2.txt").c_str()), 0);
  WriteFile(dir / "secret.txt", "s");
  ASSERT_EQ(chmod((dir / "secret.txt").c_str(), 0200), 0);
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "sub/a.txt", "sub", "linked.txt", "secret.txt", "linked*"}),
            (PROGRAM_RESULT{0, Banner()}));
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"linked.txt", "linked2.txt", "secret.txt", "sub"}));
  EXPECT_EQ(ListDirectory(dir / "sub"), std::vector<std::string>{"a.txt"});
}

}  // namespace
}  // namespace zubreca
