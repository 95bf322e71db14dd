// Trick 2 as a whole: every option on both wiki samples, the fallback for
// input the split cannot restore, the order of the first stream, the
// dictionary's absence, and zubreca-dict's output.
#include "tricks/wiki/wiki_trick.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"
#include "tests/tricks/trick_streams.h"
#include "tricks/trick.h"
#include "tricks/wiki/word_dictionary.h"

namespace zubreca {
namespace {

using namespace testkit;

const std::string kSmallDump =
    CorpusRoot() + "/wiki/enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml";
const std::string kLargeDump =
    CorpusRoot() + "/wiki/enwiki-latest-pages-articles1.xml-p000000010p000030302-shortened.xml";

// Runs the trick in this process, in a directory that holds the shipped
// dictionary. The streams travel in the stored form of a coded buffer, so
// that the transforms, the split and the order of the streams are tested
// without the coder's time.
class WikiTrick : public ::testing::Test {
 protected:
  void SetUp() override { savedOrder = modelOrder; }
  void TearDown() override { modelOrder = savedOrder; }

  // The option byte of the header (without the trick number) and the streams.
  struct ENCODED {
    std::string header;
    std::vector<std::string> streams;
    std::vector<int> maxOrders;
    std::vector<TEXT_ALPHABET> alphabets;
  };

  static ENCODED Encode(const std::string& input, const std::string& argument) {
    const TRICK_OUTPUT output = RunTrickEncoder(EncodeWiki, 2, input, argument.c_str());
    return {output.header.substr(1), output.streams, output.maxOrders, output.alphabets};
  }

  // The restored dump, or "<refused>" when the decoder finds the streams
  // damaged.
  static std::string Decode(const ENCODED& encoded, uint32_t fileLength) {
    const TRICK_INPUT_READ read = RunTrickDecoder(DecodeWiki, encoded.header, encoded.streams, fileLength);
    if (read.refused) return "<refused>";
    EXPECT_TRUE(read.sound);
    EXPECT_TRUE(read.allRead) << "every stream is read";
    return read.bytes;
  }

  IN_DICTIONARY_DIR dictionary;
  int savedOrder = 128;
};

TEST_F(WikiTrick, PageExampleWithTheSplitAlone) {
  const std::string page = "<page><title>A&amp;B</title><id>12</id></page>";
  const ENCODED e = Encode(page, "(8)");
  EXPECT_EQ(e.header, std::string(1, '\x08'));
  ASSERT_EQ(e.streams.size(), 5u);
  EXPECT_EQ(e.streams[0], std::string("A&\x02" "B", 4) + std::string(1, '\0'));
  EXPECT_EQ(e.streams[1], std::string("<page><title><id>") + std::string(2, '\0'));
  EXPECT_EQ(e.streams[2], "");
  EXPECT_EQ(e.streams[3], "");
  EXPECT_EQ(e.streams[4], "AB" + std::string(1, '\0'));
  EXPECT_EQ(e.maxOrders, (std::vector<int>{128, 64, 15, 128, 5}));
  EXPECT_EQ(modelOrder, 128);
  EXPECT_EQ(Decode(e, static_cast<uint32_t>(page.size())), page);
}

TEST_F(WikiTrick, EveryOptionRestoresBothSamples) {
  NEEDS_CORPUS();
  for (const std::string& path : {kSmallDump, kLargeDump}) {
    std::string dump = ReadFile(path);
    if (kUnderSanitizer) dump.resize(400000);
    for (int options = 0; options < 32; ++options) {
      SCOPED_TRACE(path.substr(path.rfind('/') + 1) + " option " + std::to_string(options));
      const ENCODED e = Encode(dump, "(" + std::to_string(options) + ")");
      ASSERT_EQ(e.header, std::string(1, static_cast<char>(options))) << "the split is trusted";
      ASSERT_EQ(e.streams.size(), options & kXmlSplit ? 5u : 1u);
      EXPECT_EQ(e.alphabets[0], options & kWordCodes ? TEXT_ALPHABET::kWordCodes : TEXT_ALPHABET::kPlain);
      ASSERT_TRUE(Decode(e, static_cast<uint32_t>(dump.size())) == dump) << "the dump did not come back";
    }
  }
}

// Input that the split cannot give back is coded unsplit: the option byte
// loses its split bit, the other transforms stay, and the file restores.
TEST_F(WikiTrick, InputTheSplitCannotRestoreIsCodedUnsplit) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  deep += "<text>x</text>";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  std::string constructs = "<text>";
  for (int i = 0; i < 2100; ++i) constructs += "(";
  constructs += "x";
  for (int i = 0; i < 2100; ++i) constructs += ")";
  constructs += "</text>";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"byte 0 in text", std::string("<text>a\0b</text>", 16)},
      {"byte 8 in text", "<text>a\x08" "b</text>"},
      {"byte 30 in text", "<text>a\x1e" "b</text>"},
      {"byte 31 in text", "<text>a\x1f" "b</text>"},
      {"a double quote in text", "<text>say \"hi\"</text>"},
      {"an unknown entity", "<text>a &nbsp; b</text>"},
      {"bytes 240 to 242 in a number", "<page><id>1\xf0" "2</id></page>"},
      {"byte 0 in markup", std::string("<page>\0</page>", 14)},
      {"an unclosed interlanguage link", "<text>[[de:Foo"},
      {"random bytes", Pseudorandom(5000, 77)},
  };
  for (const auto& [what, input] : cases) {
    const ENCODED e = Encode(input, "");
    EXPECT_EQ(e.header, std::string(1, kDefaultWikiOptions & ~kXmlSplit)) << what;
    EXPECT_EQ(e.streams.size(), 1u) << what;
    EXPECT_TRUE(Decode(e, static_cast<uint32_t>(input.size())) == input) << what;
  }
  // Past the bounds of the stacks split and merge stop tracking alike:
  // such input restores, split or not, and nothing is written outside them.
  for (const std::string& input : {deep, constructs}) {
    const ENCODED e = Encode(input, "");
    EXPECT_TRUE(Decode(e, static_cast<uint32_t>(input.size())) == input) << input.substr(0, 12);
  }
}

TEST_F(WikiTrick, StreamsThatDoNotDecodeAreRefused) {
  ENCODED e = Encode("<text>the [[de:Foo]] and http://x.org/y z</text>", "");
  ASSERT_EQ(e.streams.size(), 5u);
  e.streams[0] = "\xFC\xFD\xFD\xFE";  // a word past the end of the dictionary
  EXPECT_EQ(Decode(e, 100), "<refused>");
}

// The first stream is coded at the run's order whatever the options, and
// so decoded: every -o with and without word codes, through the program.
TEST(WikiTrickProgram, RoundTripsAtEveryOrderAndWithTheOptions) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  const std::string dump = ReadFile(kSmallDump).substr(0, kUnderSanitizer ? 20000 : 120000);
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  for (const std::string order : {"-o2", "-o16", "-o128"}) {
    for (const std::string trick : {"-t2", "-t2(8)", "-t2(13)", "-t2(1)", "-t2(0)"}) {
      SCOPED_TRACE(order + " " + trick);
      WriteFile(dir / "w.xml", dump);
      ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-m16", order, trick, "w.xml"}).status, 0);
      const PROGRAM_RESULT decoded = RunZubrecaIn(dir.path(), {"d", "-d", "w.zbr"});
      ASSERT_EQ(decoded.status, 0) << decoded.output;
      ASSERT_TRUE(ReadFile(dir / "w.xml") == dump) << "the dump did not come back";
    }
  }
}

TEST(WikiTrickProgram, WholeSamplesRoundTripAndShrink) {
  const char* full = getenv("ZUBRECA_FULL_SWEEP");
  if (kUnderSanitizer || !full || strcmp(full, "1") != 0) GTEST_SKIP() << "whole dumps in the full sweep only";
  for (const std::string& path : {kSmallDump, kLargeDump}) {
    TEMP_DIR dir;
    const std::string dump = ReadFile(path);
    WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
    WriteFile(dir / "w.xml", dump);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t2", "w.xml"}).status, 0);
    EXPECT_LT(ReadFile(dir / "w.zbr").size(), dump.size() / 5);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "w.zbr"}).status, 0);
    EXPECT_TRUE(ReadFile(dir / "w.xml") == dump) << path;
  }
}

TEST(WikiTrickProgram, AMissingDictionaryEndsTheRun) {
  TEMP_DIR dir;
  WriteFile(dir / "w.xml", "<text>words</text>");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-t2(8)", "w.xml"}),
            (PROGRAM_RESULT{255, Banner() + "w.xml: " + FatalText("can`t open file EnWiki.fsd")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"w.xml"});

  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t2", "w.xml"}).status, 0);
  ASSERT_EQ(unlink((dir / "EnWiki.fsd").c_str()), 0);
  const PROGRAM_RESULT decoded = RunZubrecaIn(dir.path(), {"d", "w.zbr"});
  EXPECT_EQ(decoded.status, 255);
  EXPECT_NE(decoded.output.find(FatalText("can`t open file EnWiki.fsd")), std::string::npos) << decoded.output;
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"w.zbr"});

  // Option 0 needs no dictionary.
  WriteFile(dir / "plain.xml", "<text>words</text>");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-t2(0)", "plain.xml"}).status, 0);
}

// Every corpus file, whatever it holds, comes back through the wiki trick:
// each option value in this process, and the default through the program
// (whole files in the full sweep, heads otherwise).
TEST_F(WikiTrick, EveryCorpusFileWithEveryOption) {
  NEEDS_CORPUS();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(CorpusRoot())) {
    if (!entry.is_regular_file() || entry.path().filename() == "README.md") continue;
    std::string data = ReadFile(entry.path().string());
    if (kUnderSanitizer || data.size() > 1500000) data.resize(std::min<size_t>(data.size(), 200000));
    for (int options = 0; options < 32; options += kUnderSanitizer ? 5 : 1) {
      SCOPED_TRACE(entry.path().filename().string() + " option " + std::to_string(options));
      const ENCODED e = Encode(data, "(" + std::to_string(options) + ")");
      ASSERT_TRUE(Decode(e, static_cast<uint32_t>(data.size())) == data) << "did not come back";
    }
  }
}

TEST(WikiTrickProgram, EveryCorpusFileRoundTrips) {
  NEEDS_CORPUS();
  const char* full = getenv("ZUBRECA_FULL_SWEEP");
  const bool whole = !kUnderSanitizer && full && strcmp(full, "1") == 0;
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  for (const auto& entry : std::filesystem::recursive_directory_iterator(CorpusRoot())) {
    if (!entry.is_regular_file() || entry.path().filename() == "README.md") continue;
    SCOPED_TRACE(entry.path().string());
    std::string data = ReadFile(entry.path().string());
    if (!whole) data.resize(std::min<size_t>(data.size(), kUnderSanitizer ? 16384 : 65536));
    WriteFile(dir / "c.bin", data);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t2", "c.bin"}).status, 0);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "c.zbr"}).status, 0);
    ASSERT_TRUE(ReadFile(dir / "c.bin") == data) << "did not come back";
  }
}

TEST(ZubrecaDict, WritesALoadableDictionaryTheSameEachTime) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  ASSERT_EQ(RunDictIn(dir.path(), {kSmallDump}).status, 0);
  const std::string first = ReadFile(dir / "EnWiki.fsd");
  ASSERT_EQ(RunDictIn(dir.path(), {"-oagain.fsd", kSmallDump}).status, 0);
  EXPECT_TRUE(ReadFile(dir / "again.fsd") == first) << "the same input gives the same dictionary";
  for (int section = 0; section < kDictionarySections; ++section) {
    WORD_DICTIONARY words;
    ASSERT_EQ(LoadDictionaryFrom((dir / "EnWiki.fsd").c_str(), section, words), DICTIONARY_STATUS::kLoaded);
    EXPECT_GT(words.wordCount, section == kLanguageWords ? 10 : 1000) << section;
  }
  // A limit on the words per section, and plain text as input.
  WriteFile(dir / "plain.txt", ReadFile(CorpusRoot() + "/canterbury/alice29.txt"));
  ASSERT_EQ(RunDictIn(dir.path(), {"-olimited.fsd", "-w300", "-c2", "plain.txt"}).status, 0);
  WORD_DICTIONARY words;
  ASSERT_EQ(LoadDictionaryFrom((dir / "limited.fsd").c_str(), kTextWords, words), DICTIONARY_STATUS::kLoaded);
  EXPECT_EQ(words.wordCount, 300);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(words.wordText.data())), "the") << "most frequent first";
  ASSERT_EQ(LoadDictionaryFrom((dir / "limited.fsd").c_str(), kLinkWords, words), DICTIONARY_STATUS::kLoaded);
  EXPECT_EQ(words.wordCount, 0);

  EXPECT_EQ(RunDictIn(dir.path(), {"missing.xml"}).status, 255);
}

TEST(ZubrecaDict, TheShippedDictionaryIsWhatTheBuilderWrites) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  ASSERT_EQ(RunDictIn(dir.path(), {kSmallDump, kLargeDump}).status, 0);
  EXPECT_TRUE(ReadFile(dir / "EnWiki.fsd") == ShippedDictionary())
      << "dictionary/EnWiki.fsd is out of date: run dictionary/build.sh";
}

}  // namespace
}  // namespace zubreca
