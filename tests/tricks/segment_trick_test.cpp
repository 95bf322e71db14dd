// Trick 1: the cost model's figures, the analysis on files whose classes
// are known, the header format byte for byte, the decoder's checks of the
// descriptions against the data, the -t text, and round trips.
#include "tricks/segment_trick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"
#include "tests/tricks/trick_streams.h"
#include "tricks/exe/exe_trick.h"
#include "tricks/segment_cost.h"
#include "tricks/segment_search.h"

namespace zubreca {
namespace {

using namespace testkit;

// The analysis of `data`, with the two bytes before it 0 as in a buffer.
std::vector<SEGMENT_CLASS> Analyse(const std::string& data, int level = 5) {
  const std::string padded = std::string(2, '\0') + data;
  return AnalyseSegments(reinterpret_cast<const uint8_t*>(padded.data()) + 2, static_cast<uint32_t>(data.size()),
                         level);
}

std::string Text(size_t size) {
  const std::string alice = CorpusFile("canterbury/alice29.txt");
  return alice.substr(0, size);
}

std::string Noise(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(SegmentCost, TablesOfTheSmallestAndLargestFiles) {
  const COST_TABLE small(100);  // as small as 67584 counts
  EXPECT_NEAR(small.unitsPerBit, 14.58, 0.01);
  EXPECT_EQ(small.segmentOverhead, 10615);
  EXPECT_EQ(small(0), 0u);
  EXPECT_EQ(small(1), 0u);
  EXPECT_EQ(small.slope(67584), 255u) << "the slope at N is 255 units";
  EXPECT_GE(small.largestCount(), 67584u + 64) << "the model term can count 64 past N";
  // C grows like t n ln n.
  EXPECT_NEAR(small(60000), 21.04 * 60000 * std::log(60000.0), 21.04 * 60000 * std::log(60000.0) * 0.001);
  if (!kUnderSanitizer) {
    const COST_TABLE large(2000000000);  // cut to 50 MiB
    EXPECT_NEAR(large.unitsPerBit, 9.41, 0.01);
    EXPECT_EQ(large.segmentOverhead, 6853);
  }
}

TEST(SegmentCost, OneRepeatedByteCostsNoData) {
  const std::string same(5000, 'x');
  std::unique_ptr<CONTEXT_STATS> stats(new CONTEXT_STATS);
  stats->clear();
  const std::string padded = std::string(2, '\0') + same;
  stats->count(reinterpret_cast<const uint8_t*>(padded.data()) + 2, 5000);
  const COST_TABLE c(5000);
  const CLASS_COST cost = SegmentCost(c, *stats);
  EXPECT_EQ(cost.dataCost, 0u);
  EXPECT_GT(cost.cost, static_cast<uint32_t>(c.segmentOverhead));
}

TEST(SegmentSearch, OneRepeatedByteIsNeverCut) {
  const std::vector<SEGMENT_CLASS> classes = Analyse(std::string(200000, 'x'));
  ASSERT_EQ(classes.size(), 1u);
  EXPECT_EQ(classes[0].pieces.size(), 1u);
  EXPECT_EQ(classes[0].length(), 200000u);
}

TEST(SegmentSearch, ChunksOf50MiBMergeUntestedAndTheRestStaysApart) {
  if (kUnderSanitizer) GTEST_SKIP() << "120 MiB: the Release build covers it";
  const uint32_t mib = 1048576;
  const std::vector<SEGMENT_CLASS> classes = Analyse(std::string(120 * mib, 'z'));
  ASSERT_EQ(classes.size(), 2u);
  ASSERT_EQ(classes[0].pieces.size(), 1u) << "the two full chunks fuse";
  EXPECT_EQ(classes[0].pieces[0].offset, 0u);
  EXPECT_EQ(classes[0].pieces[0].length, 100 * mib);
  ASSERT_EQ(classes[1].pieces.size(), 1u);
  EXPECT_EQ(classes[1].pieces[0].offset, 100 * mib);
  EXPECT_EQ(classes[1].pieces[0].length, 20 * mib);
}

TEST(SegmentSearch, TextAndNoiseFallApartAndLikeJoinsLike) {
  NEEDS_CORPUS();
  // text | noise | text: two classes, the text's pieces in one. (Pieces
  // must be long enough to pay for a class of their own: 30 KB of noise
  // amid text are not cut out.)
  const std::string text = Text(150000);
  const std::string data = text.substr(0, 75000) + Noise(100000, 1) + text.substr(75000);
  const std::vector<SEGMENT_CLASS> classes = Analyse(data);
  ASSERT_EQ(classes.size(), 2u);
  ASSERT_EQ(classes[0].pieces.size(), 2u);
  EXPECT_EQ(classes[0].length() + classes[1].length(), data.size());
  EXPECT_NEAR(classes[0].pieces[0].end(), 75000.0, 500.0);
  EXPECT_NEAR(classes[1].pieces[0].offset, 75000.0, 500.0);
  EXPECT_EQ(classes[1].pieces[0].end(), classes[0].pieces[1].offset);
}

TEST(SegmentSearch, PiecesCoverTheFileInOrderAndStayWithinTheLimit) {
  // Runs of many narrow alphabets: as many pieces as the analysis will cut.
  std::mt19937 random(5);
  std::string data;
  for (int run = 0; data.size() < (kUnderSanitizer ? 300000u : 2000000u); ++run) {
    for (int j = 0; j < 3000; ++j) data.push_back(static_cast<char>((run % 40) * 6 + random() % 6));
  }
  for (const int level : {0, 5, 9}) {
    const std::vector<SEGMENT_CLASS> classes = Analyse(data, level);
    std::vector<PIECE> all;
    for (size_t k = 0; k < classes.size(); ++k) {
      EXPECT_TRUE(k == 0 || classes[k - 1].pieces.front().offset < classes[k].pieces.front().offset);
      for (size_t i = 0; i < classes[k].pieces.size(); ++i) {
        const PIECE& p = classes[k].pieces[i];
        EXPECT_GT(p.length, 0u);
        if (i > 0) {
          EXPECT_LT(classes[k].pieces[i - 1].end(), p.offset) << "touching pieces are fused";
        }
        all.push_back(p);
      }
    }
    EXPECT_LE(all.size(), SegmentLimit(static_cast<uint32_t>(data.size())));
    std::sort(all.begin(), all.end(), [](const PIECE& p, const PIECE& q) { return p.offset < q.offset; });
    uint32_t at = 0;
    for (const PIECE& p : all) {
      EXPECT_EQ(p.offset, at);
      at = p.end();
    }
    EXPECT_EQ(at, data.size());
  }
}

TEST(SegmentSearch, LowerLevelsMergeMoreReadily) {
  NEEDS_CORPUS();
  // Prose, a spreadsheet and a fax image: alike enough that only a
  // tolerant level merges them.
  const std::string data = Text(150000) + CorpusFile("canterbury/kennedy.xls").substr(0, 150000) +
                           CorpusFile("canterbury/ptt5").substr(0, 150000) + CorpusFile("canterbury/lcet10.txt").substr(0, 150000);
  const size_t tolerant = Analyse(data, 0).size(), strict = Analyse(data, 9).size();
  EXPECT_LT(tolerant, strict) << tolerant << " classes at level 0, " << strict << " at level 9";
}

TEST(SegmentTrick, OneClassHeaderByteForByte) {
  IN_DICTIONARY_DIR inDictionary;  // trick 3 hands what is not code to trick 4
  const std::string data(3000, 'x');
  const TRICK_OUTPUT out = RunTrickEncoder(EncodeSegments, 1, data, "");
  const TRICK_OUTPUT classTrick = RunTrickEncoder(EncodeExe, 3, data, "");
  EXPECT_EQ(out.header, Bytes({1}) + Be32(3000) + Be32(3000) + Be32(0) + Bytes({0}) + classTrick.header + Bytes({0}));
  EXPECT_EQ(out.streams, classTrick.streams);
  const TRICK_INPUT_READ back = RunTrickDecoder(DecodeSegments, out.header.substr(1), out.streams, 3000);
  EXPECT_TRUE(back.bytes == data);
}

// The header of trick 1 for classes of trick 0, as a decoder reads it.
struct CLASS_DESCRIPTION {
  std::vector<std::pair<uint32_t, uint32_t>> pieces;  // length, offset from the base
};
std::string SegmentHeader(uint32_t length, const std::vector<CLASS_DESCRIPTION>& classes) {
  std::string header = Be32(length);
  for (size_t k = 0; k < classes.size(); ++k) {
    for (size_t i = 0; i < classes[k].pieces.size(); ++i) {
      header += Be32(classes[k].pieces[i].first) + Be32(classes[k].pieces[i].second);
      header.push_back(i + 1 < classes[k].pieces.size() ? 1 : 0);
    }
    header += Bytes({0, k + 1 < classes.size() ? 1 : 0});
  }
  return header;
}

TEST(SegmentTrick, PiecesAreCountedFromTheirBases) {
  std::string data(400, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  // Class 1 [0, 100) and [300, 400); class 2 [100, 300) from the base 100.
  const std::string header = SegmentHeader(400, {{{{100, 0}, {100, 200}}}, {{{200, 0}}}});
  EXPECT_EQ(header.substr(4, 18), Be32(100) + Be32(0) + Bytes({1}) + Be32(100) + Be32(200) + Bytes({0}));
  TRICK_INPUT_READ back =
      RunTrickDecoder(DecodeSegments, header, {data.substr(0, 100) + data.substr(300), data.substr(100, 200)}, 400);
  EXPECT_TRUE(back.bytes == data);
  // Class 1 [200, 300); class 2 [0, 200) and [300, 400): its first piece
  // lies 300 bytes before its base.
  back = RunTrickDecoder(DecodeSegments, SegmentHeader(400, {{{{100, 200}}}, {{{200, 0u - 300u}, {100, 100}}}}),
                         {data.substr(200, 100), data.substr(0, 200) + data.substr(300)}, 400);
  EXPECT_TRUE(back.bytes == data);
}

TEST(SegmentTrick, DescriptionsThatDoNotFitTheDataAreRefused) {
  const std::string data(400, 'd');
  struct CASE {
    const char* what;
    std::string header;
    std::vector<std::string> streams;
  };
  const std::vector<CASE> cases = {
      {"a piece past the end", SegmentHeader(400, {{{{400, 1}}}}), {data}},
      {"an offset that wraps", SegmentHeader(400, {{{{100, 0}}}, {{{300, 0u - 200u}}}}), {data.substr(0, 100), data.substr(0, 300)}},
      {"overlapping pieces", SegmentHeader(400, {{{{200, 0}}}, {{{200, 0u - 100u}}}}), {data.substr(0, 200), data.substr(0, 200)}},
      {"a gap", SegmentHeader(400, {{{{200, 0}}}, {{{100, 100}}}}), {data.substr(0, 200), data.substr(0, 100)}},
      {"a class buffer too short", SegmentHeader(400, {{{{400, 0}}}}), {data.substr(0, 399)}},
      {"a class buffer too long", SegmentHeader(400, {{{{400, 0}}}}), {data + "x"}},
      {"another length than the file's", SegmentHeader(401, {{{{400, 0}}}}), {data}},
      {"an empty piece", SegmentHeader(400, {{{{0, 0}, {400, 0}}}}), {data}},
      {"a header cut short", SegmentHeader(400, {{{{400, 0}}}}).substr(0, 10), {data}},
      {"a class cut again", Be32(400) + Be32(400) + Be32(0) + Bytes({0, 1}) + Be32(400), {data}},
  };
  for (const CASE& c : cases) {
    EXPECT_TRUE(RunTrickDecoder(DecodeSegments, c.header, c.streams, 400).refused) << c.what;
  }
  // More classes than bytes.
  std::vector<CLASS_DESCRIPTION> many(5, CLASS_DESCRIPTION{{{1, 0}}});
  EXPECT_TRUE(RunTrickDecoder(DecodeSegments, SegmentHeader(4, many), std::vector<std::string>(5, "a"), 4).refused);
}

TEST(SegmentTrick, ClassAssignments) {
  NEEDS_CORPUS();
  IN_DICTIONARY_DIR inDictionary;
  const std::string text = Text(150000);
  const std::string data = text.substr(0, 75000) + Noise(100000, 3) + text.substr(75000);
  // Two classes here: the second (noise) with trick 0, every class with
  // trick 0, and a nested trick 1 taken as 0.
  const TRICK_OUTPUT defaults = RunTrickEncoder(EncodeSegments, 1, data, "");
  const TRICK_OUTPUT second = RunTrickEncoder(EncodeSegments, 1, data, ",(2)=0");
  const TRICK_OUTPUT every = RunTrickEncoder(EncodeSegments, 1, data, ",(0)=0");
  const TRICK_OUTPUT nested = RunTrickEncoder(EncodeSegments, 1, data, ",(0)=1(3)");
  ASSERT_EQ(every.streams.size(), 2u);
  EXPECT_EQ(every.streams[0].size() + every.streams[1].size(), data.size());
  EXPECT_EQ(nested.header, every.header);
  EXPECT_NE(second.header, defaults.header);
  EXPECT_EQ(second.streams.back(), every.streams.back()) << "the noise class is coded as it is";
  // No class 3: nothing changes; a cut-short assignment ends the parse.
  EXPECT_EQ(RunTrickEncoder(EncodeSegments, 1, data, ",(3)=0").header, defaults.header);
  EXPECT_EQ(RunTrickEncoder(EncodeSegments, 1, data, ",(2)").header, defaults.header);
  EXPECT_EQ(RunTrickEncoder(EncodeSegments, 1, data, "(12)").header, RunTrickEncoder(EncodeSegments, 1, data, "(9)").header);
  for (const TRICK_OUTPUT* out : {&defaults, &second, &every, &nested}) {
    EXPECT_TRUE(RunTrickDecoder(DecodeSegments, out->header.substr(1), out->streams, static_cast<uint32_t>(data.size()))
                    .bytes == data);
  }
}

TEST(SegmentTrickProgram, EveryCorpusFileRoundTripsWithT1) { ExpectCorpusRoundTrips("-t1"); }
TEST(SegmentTrickProgram, EveryCorpusFileRoundTripsWithT1AndTrick0) { ExpectCorpusRoundTrips("-t1,(0)=0"); }

TEST(SegmentTrickProgram, MixedFilesRoundTripWithEveryClassTrick) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  std::string data = CorpusFile("mixed/canterbury.tar");
  data.resize(kUnderSanitizer ? 60000 : 600000);
  WriteFile(dir / "m.bin", data);
  for (const std::string trick : {"-t1", "-t1(0),(0)=0", "-t1(9),(2)=4(1),(3)=5", "-t1,(0)=2"}) {
    SCOPED_TRACE(trick);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", trick, "m.bin"}).status, 0);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "m.zbr"}).status, 0);
    ASSERT_TRUE(ReadFile(dir / "m.bin") == data);
  }
}

}  // namespace
}  // namespace zubreca
