// Trick 3 as a whole: the header it writes, its streams in the chain, its
// fall back to trick 4 for what is not code, round trips in process and
// through the program, and the integrity check on damaged markers.
#include "tricks/exe/exe_trick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"
#include "tests/tricks/trick_streams.h"
#include "tricks/wiki/sample_trick.h"

namespace zubreca {
namespace {

using namespace testkit;

// A stretch of libc's code section: enough 32-bit code for the branch
// model to accept it.
std::string LibcCode(size_t size) { return CorpusFile("x86/libc.so.6").substr(0x30000, size); }

// The streams of `code` read as 32-bit code, whether or not it passes.
std::vector<std::string> StreamsOf(const std::string& code) {
  DATA_BUFFER input(static_cast<int>(code.size()), 128);
  input.writeBlock(code.data(), static_cast<int>(code.size()));
  input.flip();
  const EXE_SPLIT split = SplitAnyExe(kExe32, input);
  std::vector<std::string> streams;
  for (const DATA_BUFFER* b = split.head; b; b = b->next) {
    streams.emplace_back(reinterpret_cast<const char*>(b->data()), static_cast<size_t>(b->length));
  }
  delete split.head;
  return streams;
}

TEST(ExeTrick, CodeBecomesTwentyTwoStreamsAndComesBack) {
  NEEDS_CORPUS();
  const std::string code = LibcCode(kUnderSanitizer ? 65536 : 262144);
  const TRICK_OUTPUT out = RunTrickEncoder(EncodeExe, 3, code, "");
  EXPECT_EQ(out.header, Bytes({3, kExe32}) + Be32(static_cast<uint32_t>(code.size())));
  ASSERT_EQ(out.streams.size(), 22u);
  EXPECT_EQ(out.maxOrders, (std::vector<int>{128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 6,
                                             2, 2, 2, 12, 3, 2, 9, 3, 6, 4, 12}));
  // The instruction stream opens with a separator; data and displacements,
  // values and both kinds of branches all occur in this much code.
  EXPECT_EQ(out.streams[0][0], '/');
  for (int k : {2, 4, 8, 12, 15, 16, 18, 21, 22}) EXPECT_FALSE(out.streams[k - 1].empty()) << "stream " << k;
  const TRICK_INPUT_READ back = RunTrickDecoder(DecodeExe, out.header.substr(1), out.streams,
                                                static_cast<uint32_t>(code.size()));
  ASSERT_FALSE(back.refused);
  EXPECT_TRUE(back.sound && back.allRead);
  EXPECT_TRUE(back.bytes == code);
}

TEST(ExeTrick, WhatIsNotCodeGoesToTheSampleTrick) {
  NEEDS_CORPUS();
  IN_DICTIONARY_DIR inDictionary;
  for (const std::string& data : {CorpusFile("canterbury/alice29.txt").substr(0, 20000),
                                  CorpusFile("samples/front_center.wav").substr(0, 20000), std::string("tiny")}) {
    const TRICK_OUTPUT out = RunTrickEncoder(EncodeExe, 3, data, "");
    // No length after the mode byte 2: the sample trick's own bytes follow.
    const TRICK_OUTPUT samples = RunTrickEncoder(EncodeSamples, 3, data, "");
    EXPECT_EQ(out.header, Bytes({3, kExeFallback}) + samples.header.substr(1));
    EXPECT_EQ(out.streams, samples.streams);
    const TRICK_INPUT_READ back =
        RunTrickDecoder(DecodeExe, out.header.substr(1), out.streams, static_cast<uint32_t>(data.size()));
    EXPECT_TRUE(back.bytes == data);
  }
}

TEST(ExeTrick, TooFewBranchesAreNotEnough) {
  // Clean code whose branches the model cannot count: one block of moves
  // with no branch at all passes pass 1 and is still refused.
  std::string code;
  for (int i = 0; i < 4000; ++i) code += Bytes({0x89, 0x45, 0xF8, 0x8B, 0x45, 0xF4});
  DATA_BUFFER input(static_cast<int>(code.size()), 128);
  input.writeBlock(code.data(), static_cast<int>(code.size()));
  input.flip();
  const EXE_SPLIT split = SplitExe(kExe32, input);
  ASSERT_NE(split.head, nullptr) << "all of it is code";
  EXPECT_FALSE(split.accepted);
  delete split.head;
}

TEST(ExeTrick, DamagedHeadersAreRefused) {
  const std::vector<std::string> none(22);
  EXPECT_TRUE(RunTrickDecoder(DecodeExe, "", none, 10).refused) << "no mode byte";
  EXPECT_TRUE(RunTrickDecoder(DecodeExe, Bytes({1, 0, 0}), none, 10).refused) << "a length cut short";
  EXPECT_TRUE(RunTrickDecoder(DecodeExe, Bytes({1}) + Be32(11), none, 10).refused) << "another length than the file's";
}

TEST(ExeTrickProgram, EveryCorpusFileRoundTripsWithT3) { ExpectCorpusRoundTrips("-t3"); }

TEST(ExeTrickProgram, CodeRoundTripsAndShrinks) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  const std::string code = LibcCode(kUnderSanitizer ? 65536 : 524288);
  WriteFile(dir / "c.bin", code);
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t3", "c.bin"}).status, 0);
  const size_t withTrick = ReadFile(dir / "c.zbr").size();
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "c.zbr"}).status, 0);
  ASSERT_TRUE(ReadFile(dir / "c.bin") == code);
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t0", "c.bin"}).status, 0);
  const size_t plain = ReadFile(dir / "c.zbr").size();
  // Half a megabyte codes at least 10% smaller; the sanitizers' 64 KiB,
  // with less for the stream models to learn from, only smaller.
  EXPECT_LT(withTrick, kUnderSanitizer ? plain : plain * 9 / 10);
}

// An entry of trick 3 holding `streams` stored, for a file of `code`.
std::string ExeEntry(const std::string& code, const std::vector<std::string>& streams) {
  HEADER_FIELDS h;
  h.length = static_cast<uint32_t>(code.size());
  h.trick = Bytes({3, kExe32}) + Be32(h.length);
  std::string archive = kMagic + Stored(CheckedHeaderBytes(h, code));
  for (const std::string& stream : streams) archive += Stored(stream);
  return archive;
}

TEST(ExeTrickProgram, WrongMarkersStopTheRun) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  const std::string code = LibcCode(16384);
  const std::vector<std::string> streams = StreamsOf(code);
  WriteFile(dir / "good.zbr", ExeEntry(code, streams));
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "good.zbr"}).status, 0);
  ASSERT_TRUE(ReadFile(dir / "file.bin") == code) << "the hand-made entry is sound";
  std::filesystem::remove(dir / "file.bin");
  // The separator at the start of the instruction stream, the first byte
  // of a long value and of a far branch.
  for (const int k : {1, 20, 21}) {
    SCOPED_TRACE("stream " + std::to_string(k));
    std::vector<std::string> damaged = streams;
    ASSERT_FALSE(damaged[k - 1].empty());
    damaged[k - 1][0] = static_cast<char>(damaged[k - 1][0] ^ 1);
    WriteFile(dir / "bad.zbr", ExeEntry(code, damaged));
    const PROGRAM_RESULT result = RunZubrecaIn(dir.path(), {"d", "bad.zbr"});
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(result.output.ends_with(FatalText(".EXE integrity check"))) << result.output;
    EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"bad.zbr", "good.zbr"}));
  }
}

}  // namespace
}  // namespace zubreca
