// Tests of the command letter and of switch parsing with its clamping.
#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/run_settings.h"
#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::FatalText;
using testkit::PROGRAM_RESULT;
using testkit::RunInChild;

TEST(SwitchValues, MemoryIsTruncatedToMultiplesOfFourAndClamped) {
  struct Case {
    const char* value;
    int memory;
  };
  for (const Case c : {Case{"7", 4}, Case{"1000", 1000}, Case{"1001", 1000}, Case{"1003", 1000},
                       Case{"1004", 1004}, Case{"3000", 2048}, Case{"2048", 2048}, Case{"2051", 2048},
                       Case{"-8", 4}, Case{"", 4}, Case{"x", 4}, Case{"0", 4}, Case{"4", 4}, Case{"12abc", 12},
                       Case{" 64", 64}, Case{"99999999999999999999", 2048}, Case{"-99999999999999999999", 4}}) {
    EXPECT_EQ(ParseMemory(c.value), c.memory) << "-m" << c.value;
  }
}

TEST(SwitchValues, OrderIsClamped) {
  struct Case {
    const char* value;
    int order;
  };
  for (const Case c : {Case{"1", 2}, Case{"2", 2}, Case{"64", 64}, Case{"127", 127}, Case{"128", 128},
                       Case{"200", 128}, Case{"", 2}, Case{"-5", 2}, Case{"9999999999999", 128}}) {
    EXPECT_EQ(ParseOrder(c.value), c.order) << "-o" << c.value;
  }
}

TEST(CommandLetter, OnlyTheFirstCharacterCounts) {
  for (const char* word : {"e", "E", "encode", "eXtra"}) EXPECT_EQ(ParseCommand(word), COMMAND::ENCODE) << word;
  for (const char* word : {"d", "D", "decode", "delete"}) EXPECT_EQ(ParseCommand(word), COMMAND::DECODE) << word;
  EXPECT_EQ(RunInChild([] { ParseCommand("x"); }), (PROGRAM_RESULT{255, FatalText("unknown command 'x'")}));
  EXPECT_EQ(RunInChild([] { ParseCommand("-e"); }), (PROGRAM_RESULT{255, FatalText("unknown command '-e'")}));
}

class SwitchParsing : public ::testing::Test {
 protected:
  void SetUp() override { modelOrder = kDefaultOrder; }
  void TearDown() override { modelOrder = kDefaultOrder; }

  // Parses the switches of a command line given as the words after the
  // command. The words are kept, as the trick setting points into them.
  int Parse(const std::vector<std::string>& given, RUN_SETTINGS& target) {
    words = {"zubreca", "e"};
    words.insert(words.end(), given.begin(), given.end());
    argv.clear();
    for (std::string& word : words) argv.push_back(word.data());
    return ParseSwitches(static_cast<int>(argv.size()), argv.data(), target);
  }

  RUN_SETTINGS settings;
  std::vector<std::string> words;
  std::vector<char*> argv;
};

TEST_F(SwitchParsing, DefaultsWithoutSwitches) {
  EXPECT_EQ(Parse({"a.txt"}, settings), 2);
  EXPECT_FALSE(settings.deleteFiles);
  EXPECT_EQ(settings.memory, 256);
  EXPECT_EQ(settings.trick, nullptr);
  EXPECT_STREQ(settings.archiveName, "");
  EXPECT_EQ(modelOrder, 128);
}

TEST_F(SwitchParsing, EachSwitchSetsItsSetting) {
  EXPECT_EQ(Parse({"-d", "-m64", "-o16", "-t1(7)", "a.txt", "b.txt"}, settings), 6);
  EXPECT_TRUE(settings.deleteFiles);
  EXPECT_EQ(settings.memory, 64);
  EXPECT_EQ(modelOrder, 16);
  EXPECT_STREQ(settings.trick, "1(7)");
}

TEST_F(SwitchParsing, LettersAreCaseInsensitiveAndSlashWorksLikeDash) {
  EXPECT_EQ(Parse({"-O64", "/M12", "/D", "/t3"}, settings), 6);
  EXPECT_EQ(modelOrder, 64);
  EXPECT_EQ(settings.memory, 12);
  EXPECT_TRUE(settings.deleteFiles);
  EXPECT_STREQ(settings.trick, "3");
  modelOrder = 128;
  Parse({"/o64"}, settings);
  EXPECT_EQ(modelOrder, 64);
}

TEST_F(SwitchParsing, SwitchesEndAtTheFirstFileName) {
  EXPECT_EQ(Parse({"-d", "a.txt", "-m64"}, settings), 3);
  EXPECT_EQ(settings.memory, 256) << "-m64 after a file name is a file pattern";
}

TEST_F(SwitchParsing, LaterValuesReplaceEarlierOnes) {
  Parse({"-m8", "-m16", "-o3", "-o4"}, settings);
  EXPECT_EQ(settings.memory, 16);
  EXPECT_EQ(modelOrder, 4);
}

TEST_F(SwitchParsing, ArchiveNameSwitchTakesTheName) {
  testkit::TEMP_DIR dir;
  const std::string name = dir / "new.zbr";
  Parse({"-f" + name}, settings);
  EXPECT_EQ(std::string(settings.archiveName), name);
}

TEST_F(SwitchParsing, Refusals) {
  EXPECT_EQ(RunInChild([this] { Parse({"-t1", "-t2"}, settings); }),
            (PROGRAM_RESULT{255, FatalText("can`t use two tricks")}));
  EXPECT_EQ(RunInChild([this] { Parse({"-t", "-t"}, settings); }),
            (PROGRAM_RESULT{255, FatalText("can`t use two tricks")}));
  EXPECT_EQ(RunInChild([this] { Parse({"-x"}, settings); }),
            (PROGRAM_RESULT{255, FatalText("unknown switch '-x'")}));
  EXPECT_EQ(RunInChild([this] { Parse({"-d", "/quiet"}, settings); }),
            (PROGRAM_RESULT{255, FatalText("unknown switch '/quiet'")}));
  EXPECT_EQ(RunInChild([this] { Parse({"-"}, settings); }), (PROGRAM_RESULT{255, FatalText("unknown switch '-'")}));
}

}  // namespace
}  // namespace zubreca
