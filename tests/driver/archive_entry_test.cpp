// Unit tests of the archive entry helpers: names, the fixed header and the
// check of an archive named with -f.
#include "driver/archive_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::FatalText;
using testkit::PROGRAM_RESULT;
using testkit::RunInChild;
using testkit::TEMP_DIR;
using testkit::WriteFile;

std::string Composed(const char* source, const char* extension = "zbr") {
  char destination[kNameBufferSize];
  memset(destination, '#', sizeof destination);
  ComposeName(source, destination, extension);
  return destination;
}

TEST(ComposeName, ReplacesTheLastExtension) {
  EXPECT_EQ(Composed("notes.txt"), "notes.zbr");
  EXPECT_EQ(Composed("archive.tar.gz"), "archive.tar.zbr");
  EXPECT_EQ(Composed("README"), "README.zbr");
  EXPECT_EQ(Composed("my.dir/README"), "my.dir/README.zbr");
  EXPECT_EQ(Composed("my.dir/a.b"), "my.dir/a.zbr");
  EXPECT_EQ(Composed(".profile"), ".zbr");
  EXPECT_EQ(Composed("trailing."), "trailing.zbr");
  EXPECT_EQ(Composed("a.zbr"), "a.zbr");
  EXPECT_EQ(Composed("x.y", "out"), "x.out");
}

TEST(ComposeName, LongestFoundNameFits) {
  const std::string name(255, 'n');
  EXPECT_EQ(Composed(name.c_str()), name + ".zbr");
  const std::string tooLong(256, 'n');
  EXPECT_EQ(RunInChild([&] { Composed(tooLong.c_str()); }),
            (PROGRAM_RESULT{255, FatalText("can`t open file " + tooLong)}));
}

TEST(EntryHeader, FieldsAndLittleEndianLayout) {
  const ENTRY_HEADER header = MakeEntryHeader(0x01020304, 0100644, 1600000000, 128, 2048, 255);
  EXPECT_EQ(header.length, 0x01020304u);
  EXPECT_EQ(header.mode, 0100644u);
  EXPECT_EQ(header.orderMem, 0xFFFE);
  EXPECT_EQ(header.nameField, 0x8CFF);
  EXPECT_EQ(header.mtimeLow, 4096);
  EXPECT_EQ(header.mtimeHigh, 24414);
  uint8_t bytes[16];
  memcpy(bytes, &header, 16);
  const uint8_t expected[16] = {0x04, 0x03, 0x02, 0x01, 0xA4, 0x81, 0x00, 0x00,
                                0xFE, 0xFF, 0xFF, 0x8C, 0x00, 0x10, 0x5E, 0x5F};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
}

TEST(EntryHeader, OrderAndMemoryCodes) {
  EXPECT_EQ(MakeEntryHeader(0, 0, 0, 2, 4, 1).orderMem, 0);
  EXPECT_EQ(MakeEntryHeader(0, 0, 0, 128, 2048, 1).orderMem, 0xFFFE);
  const uint16_t code = MakeEntryHeader(0, 0, 0, 17, 256, 1).orderMem;
  EXPECT_EQ(code, (252 << 5) | 15);
  EXPECT_EQ(OrderFromHeader(code), 17);
  EXPECT_EQ(MemoryFromHeader(code), 256);
  for (int memory = 4; memory <= 2048; memory += 4) {
    for (int order : {2, 3, 64, 127, 128}) {
      const uint16_t orderMem = MakeEntryHeader(0, 0, 0, order, memory, 1).orderMem;
      ASSERT_EQ(OrderFromHeader(orderMem), order);
      ASSERT_EQ(MemoryFromHeader(orderMem), memory);
    }
  }
}

TEST(EntryHeader, NameFieldRange) {
  EXPECT_EQ(MakeEntryHeader(0, 0, 0, 2, 4, 1).nameField, 35841);
  EXPECT_EQ(MakeEntryHeader(0, 0, 0, 2, 4, 511).nameField, 36351);
}

TEST(EntryHeader, TimeKeepsItsLow32BitsWithSign) {
  EXPECT_EQ(StoredTime(MakeEntryHeader(0, 0, 0, 2, 4, 1)), 0);
  EXPECT_EQ(StoredTime(MakeEntryHeader(0, 0, 1600000000, 2, 4, 1)), 1600000000);
  EXPECT_EQ(StoredTime(MakeEntryHeader(0, 0, -86400, 2, 4, 1)), -86400);
  // Past 2038 only the low 32 bits survive, read back as negative.
  EXPECT_EQ(StoredTime(MakeEntryHeader(0, 0, 0x80000000LL, 2, 4, 1)), -2147483648LL);
  EXPECT_EQ(StoredTime(MakeEntryHeader(0, 0, 0x100000005LL, 2, 4, 1)), 5);
}

// Runs TestArchive in a child inside `dir` and prints the chosen name.
PROGRAM_RESULT ChooseArchive(const TEMP_DIR& dir, const std::string& value) {
  return RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0) return;
    char name[kNameBufferSize] = {};
    TestArchive(name, value.c_str());
    printf("[%s]", name);
  });
}

TEST(TestArchive, NewNameIsAccepted) {
  TEMP_DIR dir;
  EXPECT_EQ(ChooseArchive(dir, "arch"), (PROGRAM_RESULT{0, "[arch]"}));
}

TEST(TestArchive, ExistingArchiveIsAccepted) {
  TEMP_DIR dir;
  WriteFile(dir / "arch", std::string("\xA4\x93\x90\xA0 and more", 13));
  EXPECT_EQ(ChooseArchive(dir, "arch"), (PROGRAM_RESULT{0, "[arch]"}));
}

TEST(TestArchive, ExistingFileThatIsNoArchiveIsRefused) {
  TEMP_DIR dir;
  WriteFile(dir / "text", "plain text");
  WriteFile(dir / "short", std::string("\xA4\x93\x90", 3));
  WriteFile(dir / "empty", "");
  EXPECT_EQ(ChooseArchive(dir, "text"), (PROGRAM_RESULT{255, FatalText("read/write for file text")}));
  EXPECT_EQ(ChooseArchive(dir, "short"), (PROGRAM_RESULT{255, FatalText("read/write for file short")}));
  EXPECT_EQ(ChooseArchive(dir, "empty"), (PROGRAM_RESULT{255, FatalText("read/write for file empty")}));
}

TEST(TestArchive, LinksDirectoriesAndFifosAreNoArchives) {
  TEMP_DIR dir;
  WriteFile(dir / "real.zbr", std::string("\xA4\x93\x90\xA0", 4));
  ASSERT_EQ(symlink("real.zbr", (dir / "link.zbr").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling.zbr").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "dir.zbr").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir / "fifo.zbr").c_str(), 0644), 0);
  for (const std::string name : {"link.zbr", "dangling.zbr", "dir.zbr", "fifo.zbr"}) {
    EXPECT_EQ(ChooseArchive(dir, name), (PROGRAM_RESULT{255, FatalText("can`t open file " + name)})) << name;
  }
}

TEST(TestArchive, EmptyValueNamesTheArchiveAfterTheDirectory) {
  TEMP_DIR parent;
  ASSERT_EQ(mkdir((parent / "my.project").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((parent / "plain").c_str(), 0755), 0);
  const auto choose = [](const std::string& where) {
    return RunInChild([&] {
      if (chdir(where.c_str()) != 0) return;
      char name[kNameBufferSize] = {};
      TestArchive(name, "");
      printf("[%s]", name);
    });
  };
  EXPECT_EQ(choose(parent / "my.project"), (PROGRAM_RESULT{0, "[my.zbr]"}));
  EXPECT_EQ(choose(parent / "plain"), (PROGRAM_RESULT{0, "[plain.zbr]"}));
  EXPECT_EQ(choose("/"), (PROGRAM_RESULT{0, "[ZubrFile.zbr]"}));
}

TEST(TestArchive, OverlongNameIsRefused) {
  TEMP_DIR dir;
  const std::string name(260, 'a');
  EXPECT_EQ(ChooseArchive(dir, name), (PROGRAM_RESULT{255, FatalText("can`t open file " + name)}));
  // The longest name that fits: a directory and the longest file name.
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  const std::string longest = "sub/" + std::string(255, 'a');
  EXPECT_EQ(ChooseArchive(dir, longest), (PROGRAM_RESULT{0, "[" + longest + "]"}));
  // A name no directory can hold cannot name an archive to append to.
  const std::string unusable(259, 'a');
  EXPECT_EQ(ChooseArchive(dir, unusable), (PROGRAM_RESULT{255, FatalText("can`t open file " + unusable)}));
}

}  // namespace
}  // namespace zubreca
