// Unit tests of the archive entry helpers: names, the fixed header and the
// check of an archive named with -f.
#include "driver/archive_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/model/coding_test_support.h"

namespace zubreca {
namespace {

using namespace testkit;

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

// A header buffer in the writing phase holding `bytes`, as the decoder
// has it while it decodes.
struct PARTIAL_HEADER {
  explicit PARTIAL_HEADER(const std::string& bytes) : buffer(1024, 2, nullptr) {
    buffer.writeBlock(bytes.data(), static_cast<int>(bytes.size()));
  }
  DATA_BUFFER buffer;
};

uint32_t BoundAfter(const std::string& bytes) { return HeaderBound(PARTIAL_HEADER(bytes).buffer); }

// The bound grows as the header tells more: the fixed part, then the name
// and trick number, then the trick's parameters and the checksum, plus one
// byte that shows a longer header as damaged.
TEST(HeaderBound, FollowsWhatTheHeaderSays) {
  HEADER_FIELDS h;
  h.name = "name.txt";
  const std::string header = HeaderBytes(h);  // 16 + 8 + the trick number 0
  EXPECT_EQ(BoundAfter(""), 16u);
  EXPECT_EQ(BoundAfter(header.substr(0, 15)), 16u);
  EXPECT_EQ(BoundAfter(header.substr(0, 16)), 25u);
  EXPECT_EQ(BoundAfter(header.substr(0, 24)), 25u);
  EXPECT_EQ(BoundAfter(header), 25u + 4 + 1);
  h.name = std::string(511, 'n');
  EXPECT_EQ(BoundAfter(HeaderBytes(h)), 16u + 511 + 1 + 4 + 1);
  // An unknown trick gets no parameters; the dispatch refuses it later.
  h.trick = "\x07";
  EXPECT_EQ(BoundAfter(HeaderBytes(h)), 16u + 511 + 1 + 4 + 1);
  // A fixed part that is no header's ends decoding where it is.
  h.nameField = 0x8E00 | 8;
  EXPECT_EQ(BoundAfter(HeaderBytes(h).substr(0, 20)), 20u);
}

class CodedHeader : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MODEL_MEMORY::reserve(8));
    savedOrder = modelOrder;
    modelOrder = 128;
  }
  void TearDown() override { modelOrder = savedOrder; }

  // `bytes` coded as a header buffer is: order 2, no stored model.
  static std::string CodedAsHeader(const std::string& bytes) {
    DATA_BUFFER* buffer = new DATA_BUFFER(static_cast<int>(bytes.size()), 2, nullptr);
    buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
    buffer->flip();
    FILE* stream = tmpfile();
    {
      QUIET_STDOUT quiet;
      EncodeBuffer(stream, buffer);
    }
    delete buffer;
    const std::vector<uint8_t> coded = WholeStream(stream);
    fclose(stream);
    return std::string(coded.begin(), coded.end());
  }

  // Decodes `coded` as the driver decodes a header buffer; returns its
  // bytes and whether it ended soundly.
  static std::pair<std::string, bool> DecodeHeader(const std::string& coded) {
    FILE* stream = fmemopen(const_cast<char*>(coded.data()), coded.size(), "rb");
    DATA_BUFFER header(1024, 2, nullptr);
    bool sound;
    {
      QUIET_STDOUT quiet;
      sound = DecodeBuffer(&header, stream, DECODE_LIMIT{16, HeaderBound});
    }
    fclose(stream);
    return {std::string(reinterpret_cast<const char*>(header.data()), static_cast<size_t>(header.length)), sound};
  }

  int savedOrder = 128;
};

// A coded header that runs on past what its own fields allow (here a sound
// header followed by a megabyte of zeros, which codes into a few hundred
// bytes) is cut one byte past the bound, and seen as damaged.
TEST_F(CodedHeader, ARunawayHeaderIsCutShort) {
  HEADER_FIELDS h;
  h.name = "x";
  const std::string header = CheckedHeaderBytes(h, "");
  const std::string runaway = header + std::string(1 << 20, '\0');
  const std::string coded = CodedAsHeader(runaway);
  ASSERT_LT(coded.size(), 4096u);
  const auto [decoded, sound] = DecodeHeader(coded);
  EXPECT_EQ(decoded, runaway.substr(0, header.size() + 1));
  EXPECT_FALSE(sound);
  EXPECT_EQ(DecodeHeader(CodedAsHeader(header)), std::make_pair(header, true));

  TEMP_DIR dir;
  WriteFile(dir / "bad.zbr", kMagic + coded + Stored(""));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "bad.zbr"}),
            (PROGRAM_RESULT{255, Banner() + "|" + FatalText("read/write for file bad.zbr")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"bad.zbr"});
}

// What the encoder writes: the header buffer ends with the checksum of the
// file's bytes and the header's own, big-endian.
TEST_F(CodedHeader, TheEncoderEndsTheHeaderWithTheChecksum) {
  TEMP_DIR dir;
  const std::string data = "checked contents, checked contents";
  WriteFile(dir / "c.txt", data);
  ASSERT_EQ(chmod((dir / "c.txt").c_str(), 0640), 0);
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-m16", "-o7", "c.txt"}).status, 0);
  const std::string archive = ReadFile(dir / "c.zbr");
  ASSERT_EQ(archive.substr(0, 4), kMagic);
  const auto [header, sound] = DecodeHeader(archive.substr(4));
  ASSERT_TRUE(sound);
  HEADER_FIELDS h;
  h.name = "c.txt";
  h.length = static_cast<uint32_t>(data.size());
  h.mode = 0100640;
  h.orderMem = (12 << 5) | 5;  // 16 MB, order 7
  ASSERT_EQ(header.size(), 16u + 5 + 1 + 4);
  h.mtime = static_cast<uint32_t>(static_cast<uint8_t>(header[12]) | static_cast<uint8_t>(header[13]) << 8 |
                                  static_cast<uint8_t>(header[14]) << 16 | static_cast<uint8_t>(header[15]) << 24);
  EXPECT_EQ(header, CheckedHeaderBytes(h, data));
  EXPECT_EQ(header.substr(22), Be32(EntryChecksum(reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                                                  reinterpret_cast<const uint8_t*>(header.data()), 22)));
}

TEST(RestoredMode, SpecialBitsNeverAndTheUmaskForOtherUsers) {
  EXPECT_EQ(RestoredMode(0104755, true, 022), 0755u);
  EXPECT_EQ(RestoredMode(0106777, true, 077), 0777u) << "the superuser keeps the stored permissions";
  EXPECT_EQ(RestoredMode(0101777, false, 022), 0755u);
  EXPECT_EQ(RestoredMode(0100666, false, 027), 0640u);
  EXPECT_EQ(RestoredMode(0100400, false, 0), 0400u);
}

}  // namespace
}  // namespace zubreca
