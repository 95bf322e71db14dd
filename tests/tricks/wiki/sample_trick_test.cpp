// The sample trick (4) and the record trick (5): the examples byte for
// byte, the predictions checked against a second transcription of their
// arithmetic and against values pinned for every build, refused mode
// bytes, and round trips of the corpus samples.
#include "tricks/wiki/sample_trick.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <string>
#include <vector>

#include "buffers/checksum.h"
#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"
#include "tests/tricks/trick_streams.h"
#include "tricks/trick.h"
#include "tricks/wiki/record_trick.h"
#include "tricks/wiki/sample_predictor.h"

namespace zubreca {
namespace {

using namespace testkit;

using ENCODED = TRICK_OUTPUT;

ENCODED Encode(const char* (*encoder)(const char*, DATA_BUFFER*&), int trick, const std::string& input,
               const char* argument = "") {
  return RunTrickEncoder(encoder, trick, input, argument);
}

// The decoder run on `header` (after the trick number) and the streams;
// "<refused>" when it returns null.
std::string Decode(DATA_BUFFER* (*decoder)(ENTRY_READER&), const std::string& header,
                   const std::vector<std::string>& streams, uint32_t fileLength) {
  const TRICK_INPUT_READ read = RunTrickDecoder(decoder, header, streams, fileLength);
  return read.refused ? "<refused>" : read.bytes;
}

// --- The predictor ----------------------------------------------------------

// The prediction step typed again from its definition, stage by stage: a
// check on the predictor's own transcription.
struct REFERENCE_CHANNEL {
  double gain1 = 0, power1 = 100000.0, gain2 = 0, power2 = 100000.0;
  double gain3 = 0, power3 = 100000.0, gain4 = 0, power4 = 100000.0;
  double x1 = 0, x2 = 0, x3 = 0, x4 = 0, p0 = 0, p1 = 0, p2 = 0, p3 = 0;
  int P[5] = {};

  void step(double u) {
    p0 = x1;
    p1 = p0 + (x1 - x2) * gain1 / power1;
    p2 = p1 + (2 * x2 - x1 - x3) * gain2 / power2;
    p3 = p2 + (x1 - x3) * gain3 / power3;
    const double p4 = p3 + (x3 - x4) * gain4 / power4;
    P[0] = static_cast<int>(p0), P[1] = static_cast<int>(p1), P[2] = static_cast<int>(p2);
    P[3] = static_cast<int>(p3), P[4] = static_cast<int>(p4);
    const double f1 = x1 - x2, f2 = 2 * x2 - x1 - x3, f3 = x1 - x3, f4 = x3 - x4;
    gain1 = gain1 - 0.004 * gain1 + (u - p0) * f1;
    power1 = power1 + 4 + f1 * f1 - 0.004 * power1;
    gain2 = gain2 - 0.011 * gain2 + (u - p1) * f2;
    power2 = power2 + 3 + f2 * f2 - 0.011 * power2;
    gain3 = gain3 - 0.022 * gain3 + (u - p2) * f3;
    power3 = power3 + 2 + f3 * f3 - 0.022 * power3;
    gain4 = gain4 - 0.008 * gain4 + (u - p3) * f4;
    power4 = power4 + 1 + f4 * f4 - 0.008 * power4;
    x4 = x3, x3 = x2, x2 = x1, x1 = u;
  }
};

TEST(SamplePredictor, AgreesWithASecondTranscription) {
  NEEDS_CORPUS();
  const std::string audio = CorpusFile("samples/front_center.wav").substr(44, 40000);
  SAMPLE_PREDICTOR predictor;
  REFERENCE_CHANNEL reference;
  for (size_t i = 0; i + 1 < audio.size(); i += 2) {
    const double u = static_cast<int16_t>(static_cast<uint8_t>(audio[i]) | static_cast<uint8_t>(audio[i + 1]) << 8);
    predictor.predict();
    reference.step(u);
    for (int k = 0; k < 5; ++k) ASSERT_EQ(predictor.predictions[k], reference.P[k]) << "sample " << i / 2;
    predictor.update(u);
  }
}

TEST(HistogramCost, BitsUnderTheHistogramsOwnFrequencies) {
  uint32_t h[256] = {};
  EXPECT_EQ(HistogramCost(h), 0.0);
  h[7] = 4;
  EXPECT_EQ(HistogramCost(h), 0.0);
  h[7] = 1;
  h[9] = 1;
  EXPECT_NEAR(HistogramCost(h), 2.0, 1e-12);
  h[7] = 2;
  h[200] = 1;
  EXPECT_NEAR(HistogramCost(h), 6.0, 1e-12);
}

// --- Sample trick -----------------------------------------------------------

TEST(SampleTrick, RampIsCodedInModeZeroWithThePlainDifference) {
  std::string ramp;
  for (int i = 0; i < 4000; ++i) ramp.push_back(static_cast<char>(i));
  const ENCODED e = Encode(EncodeSamples, 4, ramp);
  EXPECT_EQ(e.header, Bytes({4, 0}));
  ASSERT_EQ(e.streams.size(), 1u);
  EXPECT_EQ(e.streams[0], Bytes({32}) + std::string(3999, 33));
  EXPECT_EQ(Decode(DecodeSamples, e.header.substr(1), e.streams, 4000), ramp);
}

TEST(SampleTrick, TinyDataGoesToTheWikiTrickOrMode7) {
  IN_DICTIONARY_DIR dictionary;
  const ENCODED wiki = Encode(EncodeSamples, 4, "12345678");
  EXPECT_EQ(wiki.header, Bytes({4, 8, 31})) << "the wiki trick (its split holds: all is markup)";
  const ENCODED seven = Encode(EncodeSamples, 4, "12345678", "(1)");
  EXPECT_EQ(seven.header.substr(0, 2), Bytes({4, 7}));
}

// The mode byte 0x43: four interleaved 8-bit channels, unsigned, residuals
// against prediction 2; checked against the second transcription.
TEST(SampleTrick, ModeByte0x43DecodesFourChannelsAgainstPrediction2) {
  const std::string residuals = Pseudorandom(3000, 19);
  std::string expected;
  REFERENCE_CHANNEL channels[4];
  for (size_t i = 0; i < residuals.size(); ++i) {
    REFERENCE_CHANNEL& c = channels[i % 4];
    REFERENCE_CHANNEL probe = c;
    probe.step(0);  // the predictions do not depend on the sample to come
    const int raw = (static_cast<uint8_t>(residuals[i]) + probe.P[2] - 32) & 0xFF;
    expected.push_back(static_cast<char>(raw));
    c.step(raw);
  }
  EXPECT_TRUE(Decode(DecodeSamples, Bytes({0x43}), {residuals}, 3000) == expected);
}

TEST(SampleTrick, PackedWordsExample) {
  EXPECT_EQ(Decode(DecodeSamples, Bytes({9}), {Bytes({243, 5, 0, 243, 2, 0})}, 4), Bytes({0x05, 0x30, 0x07, 0x30}));
  // Mode 10 keeps byte 0 as it is; a byte left over at the end is copied.
  EXPECT_EQ(Decode(DecodeSamples, Bytes({10}), {Bytes({7, 241, 5, 0, 9})}, 4), Bytes({7, 0x05, 0x10, 9}));
  // 12-bit readings held in words 0x18xx..0x1Fxx are packed.
  std::string words;
  for (int i = 0; i < 3000; ++i) {
    const int w = 0x1800 + (i * 37 % 2048);
    words.push_back(static_cast<char>(w & 0xFF));
    words.push_back(static_cast<char>(w >> 8));
  }
  const ENCODED e = Encode(EncodeSamples, 4, words);
  ASSERT_EQ(e.header, Bytes({4, 9}));
  EXPECT_EQ(e.streams[0].substr(0, 6), Bytes({241, 0x00, 0x08, 241, 0x25, 0x08}));
  EXPECT_EQ(Decode(DecodeSamples, e.header.substr(1), e.streams, 6000), words);
}

TEST(SampleTrick, ModeBytesNoEncoderWritesAreRefused) {
  for (const int mode : {11, 12, 13, 14, 15, 8 + 16, 8 + 32, 0xA0, 0xE4, 0x100 - 1}) {
    EXPECT_EQ(Decode(DecodeSamples, Bytes({mode}), {"data"}, 4), "<refused>") << mode;
  }
  EXPECT_EQ(Decode(DecodeSamples, "", {"data"}, 4), "<refused>") << "no mode byte";
}

// The predictions behind these archives must come out the same on every
// build: these values were taken from the Release build, and the sanitizer
// build (unoptimised) checks them too.
TEST(SampleTrick, TheSameResidualsOnEveryBuild) {
  NEEDS_CORPUS();
  struct CASE {
    const char* file;
    size_t length;
    const char* header;
    uint32_t checksum;
  };
  // Stereo 16-bit, signed, prediction 4; three 8-bit channels, prediction
  // 0; 16-bit from byte 1, prediction 4.
  for (const CASE& c : {CASE{"samples/front_stereo.wav", 120000, "\x04\x96", 0x0b8e85f9},
                        CASE{"samples/grace_hopper.ppm", 120000, "\x04\x02", 0x0589a6f8},
                        CASE{"samples/mri_s1045.ima", 60000, "\x04\x85", 0xbcf5a4a1}}) {
    const std::string data = CorpusFile(c.file).substr(0, c.length);
    const ENCODED e = Encode(EncodeSamples, 4, data, "(1)");
    EXPECT_EQ(e.header, c.header) << c.file;
    EXPECT_EQ(Crc32c(e.streams[0].data(), e.streams[0].size()), c.checksum) << c.file;
    EXPECT_TRUE(Decode(DecodeSamples, e.header.substr(1), e.streams, static_cast<uint32_t>(data.size())) == data)
        << c.file;
  }
}

TEST(SampleTrick, EveryModeForcedOnTheSameData) {
  NEEDS_CORPUS();
  IN_DICTIONARY_DIR dictionary;
  // Stereo audio whose words from byte 0 mostly carry the top bits 00011,
  // so that mode 4 packs them.
  std::string data = CorpusFile("samples/front_stereo.wav").substr(0, 20000);
  std::string tagged = data;
  for (size_t i = 1; i < tagged.size(); i += 2) tagged[i] = static_cast<char>(0x18 | (tagged[i] & 7));
  for (const std::string* input : {&data, &tagged}) {
    for (int mode = 0; mode <= kWikiMode; ++mode) {
      SCOPED_TRACE("mode " + std::to_string(mode) + (input == &tagged ? " on tagged words" : ""));
      ForceSampleModeForTesting(mode);
      const ENCODED e = Encode(EncodeSamples, 4, *input);
      ForceSampleModeForTesting(-1);
      const int written = static_cast<uint8_t>(e.header[1]);
      if (mode == kWikiMode) {
        EXPECT_EQ(written, kWikiMode);
      } else if (input == &tagged && mode == 4) {
        EXPECT_EQ(written, mode + 5) << "packed";
      } else {
        EXPECT_EQ(written & 15, mode);
      }
      EXPECT_TRUE(Decode(DecodeSamples, e.header.substr(1), e.streams, static_cast<uint32_t>(input->size())) ==
                  *input);
    }
  }
}

TEST(SampleTrickProgram, CorpusSamplesRoundTripAndShrink) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  for (const char* file : {"samples/front_center.wav", "samples/front_stereo.wav", "samples/mri_s1045.ima",
                           "samples/grace_hopper.ppm", "canterbury/ptt5", "x86/notepad.exe"}) {
    SCOPED_TRACE(file);
    std::string data = CorpusFile(file);
    if (kUnderSanitizer) data.resize(std::min<size_t>(data.size(), 30000));
    WriteFile(dir / "s.bin", data);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t4", "s.bin"}).status, 0);
    const size_t coded = ReadFile(dir / "s.zbr").size();
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "s.zbr"}).status, 0);
    ASSERT_TRUE(ReadFile(dir / "s.bin") == data) << "did not come back";
    if (!kUnderSanitizer && std::string(file).find(".wav") != std::string::npos) {
      EXPECT_LT(coded, data.size() * 4 / 10);
    }
  }
}

TEST(SampleTrickProgram, EveryCorpusFileRoundTripsWithT4) { ExpectCorpusRoundTrips("-t4"); }
TEST(SampleTrickProgram, EveryCorpusFileRoundTripsWithT4NoWiki) { ExpectCorpusRoundTrips("-t4(1)"); }
TEST(RecordTrickProgram, EveryCorpusFileRoundTripsWithT5) { ExpectCorpusRoundTrips("-t5"); }

TEST(SampleTrickProgram, RefusedModeByteIsAReadWriteError) {
  TEMP_DIR dir;
  HEADER_FIELDS h;
  h.length = 4;
  h.trick = Bytes({4, 12});
  WriteFile(dir / "bad.zbr", kMagic + Stored(CheckedHeaderBytes(h, "data")) + Stored("data"));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "bad.zbr"}),
            (PROGRAM_RESULT{255, Banner() + "|\bfile.bin: |" + FatalText("read/write for file bad.zbr")}));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"bad.zbr"});
}

TEST(SampleTrickProgram, FilesOfZeroToNineBytesAndRandomData) {
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  std::vector<std::string> inputs;
  for (size_t n = 0; n <= 9; ++n) inputs.push_back(Pseudorandom(n, 31 + static_cast<uint32_t>(n)));
  inputs.push_back(Pseudorandom(kUnderSanitizer ? 5000 : 50000, 3));
  for (const std::string& input : inputs) {
    for (const std::string trick : {"-t4", "-t4(1)", "-t5"}) {
      SCOPED_TRACE(trick + " on " + std::to_string(input.size()) + " bytes");
      WriteFile(dir / "f.bin", input);
      ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", trick, "f.bin"}).status, 0);
      ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "f.zbr"}).status, 0);
      ASSERT_TRUE(ReadFile(dir / "f.bin") == input);
    }
  }
}

// An archive written by the Release build is kept in tests/data; every
// build must read it back and write the very same bytes, so that encoder
// and decoder agree across builds. (When the coder's output changes on
// purpose, rewrite it: zubreca e -t4(1) on the first 16000 bytes of
// samples/front_stereo.wav saved as s.wav, mode 0644, time 1600000000.)
TEST(SampleTrickProgram, AnArchiveOfTheReleaseBuildOnEveryBuild) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  const std::string head = CorpusFile("samples/front_stereo.wav").substr(0, 16000);
  const std::string fixture = ReadFile(std::string(ZUBRECA_SOURCE_DIR) + "/tests/data/stereo_head_t4.zbr");
  WriteFile(dir / "s.zbr", fixture);
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "s.zbr"}).status, 0);
  EXPECT_TRUE(ReadFile(dir / "s.wav") == head) << "the archive of the Release build did not decode here";
  ASSERT_EQ(chmod((dir / "s.wav").c_str(), 0644), 0);
  const utimbuf times = {1600000000, 1600000000};
  ASSERT_EQ(utime((dir / "s.wav").c_str(), &times), 0);
  ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-t4(1)", "s.wav"}).status, 0);
  EXPECT_TRUE(ReadFile(dir / "s.zbr") == fixture) << "this build writes another archive than the Release build";
}

TEST(SampleTrickProgram, TinyDataNeedsTheDictionary) {
  TEMP_DIR dir;
  WriteFile(dir / "t.bin", "12345678");
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-t4", "t.bin"}),
            (PROGRAM_RESULT{255, Banner() + "t.bin: " + FatalText("can`t open file EnWiki.fsd")}));
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t4(1)", "t.bin"}).status, 0) << "mode 7 needs none";
  EXPECT_EQ(RunZubrecaIn(dir.path(), {"d", "t.zbr"}).status, 0);
  EXPECT_EQ(ReadFile(dir / "t.bin"), "12345678");
}

// --- Record trick -----------------------------------------------------------

std::string Separator() { return Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}); }

TEST(RecordTrick, Examples) {
  const std::string records("abc\0de\0", 7);
  const ENCODED e = Encode(EncodeRecords, 5, records);
  EXPECT_EQ(e.header, Bytes({5}));
  EXPECT_EQ(e.streams[0], "cba" + Separator() + "ed" + Separator());
  EXPECT_EQ(Decode(DecodeRecords, "", e.streams, 7), records);

  const ENCODED zeros = Encode(EncodeRecords, 5, std::string(2, '\0'));
  EXPECT_EQ(zeros.streams[0], Separator() + Separator());
  EXPECT_EQ(Decode(DecodeRecords, "", zeros.streams, 2), std::string(2, '\0'));

  EXPECT_EQ(Encode(EncodeRecords, 5, "").streams[0], "");
  EXPECT_EQ(Decode(DecodeRecords, "", {""}, 0), "");
}

// The coded form cannot say that the last record had no 0: such a file is
// coded with trick 0, and its trick number says so.
TEST(RecordTrick, DataWithoutAFinalZeroIsCodedAsItIs) {
  const ENCODED e = Encode(EncodeRecords, 5, std::string("abc\0de", 6));
  EXPECT_EQ(e.header, Bytes({0}));
  EXPECT_EQ(e.streams[0], std::string("abc\0de", 6));
}

TEST(RecordTrick, DamagedStreamsStayInsideTheirBuffers) {
  EXPECT_EQ(Decode(DecodeRecords, "", {"no separator at all"}, 100), "lla ta rotarapes on" + std::string(1, '\0'));
  EXPECT_EQ(Decode(DecodeRecords, "", {"ab" + Separator().substr(0, 5)}, 100), Bytes({'b', 'a', 0}));
}

TEST(RecordTrickProgram, RecordFilesRoundTrip) {
  NEEDS_CORPUS();
  TEMP_DIR dir;
  for (const char* file : {"records/include_paths.bin", "records/libstdcxx_dynstr.bin", "canterbury/alice29.txt"}) {
    SCOPED_TRACE(file);
    std::string data = CorpusFile(file);
    if (kUnderSanitizer) data.resize(std::min<size_t>(data.size(), 30000));
    WriteFile(dir / "r.bin", data);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"e", "-d", "-t5", "r.bin"}).status, 0);
    ASSERT_EQ(RunZubrecaIn(dir.path(), {"d", "-d", "r.zbr"}).status, 0);
    ASSERT_TRUE(ReadFile(dir / "r.bin") == data) << "did not come back";
  }
}

}  // namespace
}  // namespace zubreca
