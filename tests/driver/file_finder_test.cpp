// Tests of the file finder's matching rules in a directory of its own.
#include "driver/file_finder.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::TEMP_DIR;
using testkit::WriteFile;

// Runs the finder in `dir` (it searches the current directory) and returns
// the names found for each pattern in order of discovery.
class FileFinder : public ::testing::Test {
 protected:
  void SetUp() override {
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous = here;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(previous.c_str()), 0); }

  std::vector<std::string> Find(const std::vector<std::string>& patterns) {
    FOUND_FILE* list = nullptr;
    FOUND_FILE** tail = &list;
    for (const std::string& pattern : patterns) tail = AppendMatches(pattern.c_str(), tail);
    std::vector<std::string> names;
    while (list) {
      names.push_back(list->file.name());
      FOUND_FILE* done = list;
      list = list->next;
      delete done;
    }
    return names;
  }

  static std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  }

  TEMP_DIR dir;
  std::string previous;
};

TEST_F(FileFinder, StarListsReadableSingleLinkFilesIncludingDotFiles) {
  WriteFile(dir / "a.txt", "a");
  WriteFile(dir / "b.bin", "bb");
  WriteFile(dir / ".profile", "p");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteFile(dir / "sub/inner.txt", "i");
  EXPECT_EQ(Sorted(Find({"*"})), (std::vector<std::string>{".profile", "a.txt", "b.bin"}));
}

TEST_F(FileFinder, ResultCarriesTheFileStatus) {
  WriteFile(dir / "data.bin", "12345");
  ASSERT_EQ(chmod((dir / "data.bin").c_str(), 0640), 0);
  ENV_FILE_FINDER finder;
  const ENV_FIND_RESULT* found = finder.findFirst("data.bin");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(found->name(), "data.bin");
  EXPECT_EQ(found->status.st_size, 5);
  EXPECT_EQ(found->status.st_mode, static_cast<mode_t>(S_IFREG | 0640));
  EXPECT_EQ(found->status.st_nlink, 1u);
  EXPECT_EQ(found->entry.d_type, DT_REG);
  EXPECT_EQ(finder.findNext(), nullptr);
  EXPECT_EQ(finder.findNext(), nullptr);
}

TEST_F(FileFinder, WildcardsAndNoEscapes) {
  for (const char* name : {"a1.txt", "a2.txt", "b1.txt", "a10.txt", "a\\b", "ab"}) WriteFile(dir / name, "x");
  EXPECT_EQ(Sorted(Find({"a?.txt"})), (std::vector<std::string>{"a1.txt", "a2.txt"}));
  EXPECT_EQ(Sorted(Find({"[ab]1.*"})), (std::vector<std::string>{"a1.txt", "b1.txt"}));
  // A backslash is an ordinary character, not an escape.
  EXPECT_EQ(Find({"a\\b"}), (std::vector<std::string>{"a\\b"}));
  EXPECT_EQ(Find({"a\\*"}), (std::vector<std::string>{"a\\b"}));
}

TEST_F(FileFinder, DirectoryPartsMatchNothing) {
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteFile(dir / "sub/a.txt", "a");
  EXPECT_EQ(Find({"sub/a.txt"}), std::vector<std::string>{});
  EXPECT_EQ(Find({"./sub"}), std::vector<std::string>{});
  EXPECT_EQ(Find({"sub"}), std::vector<std::string>{}) << "a directory has more than one link";
}

TEST_F(FileFinder, HardLinkedFilesAreLeftOut) {
  WriteFile(dir / "one.txt", "1");
  WriteFile(dir / "two.txt", "2");
  ASSERT_EQ(link((dir / "two.txt").c_str(), (dir / "two-again.txt").c_str()), 0);
  EXPECT_EQ(Find({"two.txt"}), std::vector<std::string>{});
  EXPECT_EQ(Find({"*.txt"}), (std::vector<std::string>{"one.txt"}));
}

TEST_F(FileFinder, FilesWithoutOwnerReadAreLeftOut) {
  // The rule looks at the mode bits, so it holds for the superuser too.
  WriteFile(dir / "secret.txt", "s");
  WriteFile(dir / "open.txt", "o");
  ASSERT_EQ(chmod((dir / "secret.txt").c_str(), 0044), 0);
  EXPECT_EQ(Find({"secret.txt"}), std::vector<std::string>{});
  EXPECT_EQ(Find({"*.txt"}), (std::vector<std::string>{"open.txt"}));
}

// Only regular files are listed: a link is not followed even to a regular
// file, and a FIFO (which would block the reader), a socket or a directory
// is no file to store.
TEST_F(FileFinder, OnlyRegularFilesAreListed) {
  WriteFile(dir / "plain", "p");
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
  ASSERT_EQ(symlink("plain", (dir / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir / "socket";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(Find({"*"}), std::vector<std::string>{"plain"});
  EXPECT_EQ(Find({"link", "fifo", "socket", "dangling"}), std::vector<std::string>{});
  close(listener);
}

TEST_F(FileFinder, ListsKeepArgumentOrderAndRepeats) {
  WriteFile(dir / "a.txt", "a");
  WriteFile(dir / "b.txt", "b");
  EXPECT_EQ(Find({"b.txt", "a.txt", "a.txt", "missing", "b.*"}),
            (std::vector<std::string>{"b.txt", "a.txt", "a.txt", "b.txt"}));
}

TEST_F(FileFinder, LongestNamesAreCopiedWhole) {
  const std::string name(255, 'n');
  WriteFile(dir / name, "x");
  EXPECT_EQ(Find({"n*"}), (std::vector<std::string>{name}));
}

}  // namespace
}  // namespace zubreca
