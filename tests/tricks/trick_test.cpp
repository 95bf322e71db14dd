// Tests of the trick framework: the trick number in the header buffer, the
// dispatch and the parameter parser.
#include "tricks/trick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"
#include "tests/driver/run_program.h"
#include "tests/model/coding_test_support.h"

namespace zubreca {
namespace {

using testkit::FatalText;
using testkit::PROGRAM_RESULT;
using testkit::RunInChild;

struct Parsed {
  uint32_t value;
  size_t consumed;
  bool operator==(const Parsed&) const = default;
};

Parsed Parse(const char* text, uint32_t low, uint32_t high, uint32_t fallback) {
  const char* position = text;
  const uint32_t value = ParseTrickParam(position, low, high, fallback);
  return {value, static_cast<size_t>(position - text)};
}

TEST(ParseTrickParam, ReadsOneParenthesisedNumber) {
  EXPECT_EQ(Parse("(7)", 0, 9, 5), (Parsed{7, 3}));
  EXPECT_EQ(Parse("( 7 )", 0, 9, 5), (Parsed{7, 3})) << "stops in front of the blank after the digits";
  EXPECT_EQ(Parse("(7))))x", 0, 9, 5), (Parsed{7, 6}));
  EXPECT_EQ(Parse("(0)", 0, 9, 5), (Parsed{0, 3}));
}

TEST(ParseTrickParam, FallsBackWithoutParenthesisOrDigits) {
  EXPECT_EQ(Parse("", 0, 9, 5), (Parsed{5, 0}));
  EXPECT_EQ(Parse("7", 0, 9, 5), (Parsed{5, 0}));
  EXPECT_EQ(Parse("x(7)", 0, 9, 5), (Parsed{5, 0}));
  EXPECT_EQ(Parse("()", 0, 9, 5), (Parsed{5, 2})) << "the position ends at the end of the text";
  EXPECT_EQ(Parse("(x)", 0, 9, 5), (Parsed{5, 3}));
}

TEST(ParseTrickParam, ClampsToTheRange) {
  EXPECT_EQ(Parse("(12)", 0, 9, 5), (Parsed{9, 4}));
  EXPECT_EQ(Parse("(1)", 3, 9, 5), (Parsed{3, 3}));
  EXPECT_EQ(Parse("(4294967295)", 0, 100, 5), (Parsed{100, 12}));
  EXPECT_EQ(Parse("(-3)", 0, 9, 5), (Parsed{3, 4})) << "the sign is skipped like any other non-digit";
}

TEST(ParseTrickParam, ReadsSuccessiveParameters) {
  const char* text = "(3)(4)";
  const char* position = text;
  EXPECT_EQ(ParseTrickParam(position, 0, 9, 5), 3u);
  EXPECT_EQ(ParseTrickParam(position, 0, 9, 5), 4u);
  EXPECT_EQ(ParseTrickParam(position, 0, 9, 5), 5u);
  EXPECT_EQ(position, text + 6);
}

class TrickDispatch : public ::testing::Test {
 protected:
  void SetUp() override { headerBuffer = new DATA_BUFFER(1024, 2, nullptr); }
  void TearDown() override {
    delete headerBuffer;
    headerBuffer = nullptr;
    delete chain;
    chain = nullptr;
  }

  // A chain of one flipped buffer holding `bytes`.
  void Load(const std::string& bytes) {
    chain = new DATA_BUFFER(static_cast<int>(bytes.size()), 128, nullptr);
    chain->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
    chain->flip();
  }

  std::string Header() const {
    return std::string(reinterpret_cast<const char*>(headerBuffer->data()),
                       static_cast<size_t>(headerBuffer->length - headerBuffer->avail));
  }

  DATA_BUFFER* chain = nullptr;
};

TEST_F(TrickDispatch, NoTrickStringWritesTrickZeroAndKeepsTheChain) {
  Load("some data");
  DATA_BUFFER* const before = chain;
  EXPECT_EQ(EncodeTrick(nullptr, chain), nullptr);
  EXPECT_EQ(Header(), std::string(1, '\0'));
  EXPECT_EQ(chain, before);
  EXPECT_EQ(chain->next, nullptr);
  EXPECT_EQ(chain->length, 9);
}

TEST_F(TrickDispatch, TrickZeroIsTakenFromTheString) {
  for (const char* trick : {"0", "0(5)", "x", ""}) {
    headerBuffer->reset(1024);
    Load("data");
    EncodeTrick(trick, chain);
    EXPECT_EQ(Header(), std::string(1, '\0')) << trick;
    delete chain;
    chain = nullptr;
  }
}

TEST_F(TrickDispatch, EmptyFileAlwaysGetsTrickZero) {
  Load("");
  const char* trick = "1(7)";
  EXPECT_EQ(EncodeTrick(trick, chain), trick) << "the string is not looked at";
  EXPECT_EQ(Header(), std::string(1, '\0'));
}

TEST_F(TrickDispatch, NumbersOutsideTheTableAreUnknown) {
  for (const char* trick : {"6", "7", "12", "-1", "255", "99999999999999999999"}) {
    EXPECT_EQ(RunInChild([&] {
                Load("data");
                EncodeTrick(trick, chain);
              }),
              (PROGRAM_RESULT{255, FatalText("unknown trick")}))
        << trick;
  }
}

TEST_F(TrickDispatch, TricksMissingFromTheTableAreUnknown) {
  for (int number = 1; number < kTrickCount; ++number) {
    if (trickTable[number].encode) continue;
    const std::string trick = std::to_string(number);
    EXPECT_EQ(RunInChild([&] {
                Load("data");
                EncodeTrick(trick.c_str(), chain);
              }),
              (PROGRAM_RESULT{255, FatalText("unknown trick")}))
        << trick;
  }
}

TEST_F(TrickDispatch, DecodingNeedsAKnownTrickNumber) {
  // A header that ends right after the name has no trick number.
  headerBuffer->flip();
  ENTRY_READER none;
  EXPECT_EQ(RunInChild([&] { DecodeTrick(none); }), (PROGRAM_RESULT{255, FatalText("unknown trick")}));
  for (int number : {6, 200, 255}) {
    headerBuffer->reset(8);
    headerBuffer->putByte(number);
    headerBuffer->flip();
    EXPECT_EQ(RunInChild([&] { DecodeTrick(none); }), (PROGRAM_RESULT{255, FatalText("unknown trick")}))
        << number;
  }
}

// Trick 0 decodes at most one byte more than the entry gives the file: a
// damaged stream that would run on for megabytes is cut short, and the
// surplus byte shows the damage as a wrong length.
TEST_F(TrickDispatch, PlainDecodingStopsOneBytePastTheFileLength) {
  ASSERT_TRUE(MODEL_MEMORY::reserve(8));
  Load(std::string(200000, 'z'));
  FILE* stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  {
    QUIET_STDOUT quiet;
    EncodeBuffer(stream, chain);
  }
  const long size = ftell(stream);
  for (const uint32_t fileLength : {0u, 10u, 199999u, 200000u, 300000u, kDecodeLimit, 0xFFFFFFFFu}) {
    SCOPED_TRACE("file length " + std::to_string(fileLength));
    headerBuffer->reset(8);
    headerBuffer->putByte(0);
    headerBuffer->flip();
    ASSERT_EQ(fseek(stream, 0, SEEK_SET), 0);
    DATA_BUFFER* restored;
    ENTRY_READER entry{stream, fileLength};
    {
      QUIET_STDOUT quiet;
      restored = DecodeTrick(entry);
    }
    EXPECT_EQ(restored->length, static_cast<int>(std::min<uint64_t>(uint64_t{fileLength} + 1, 200000)));
    EXPECT_EQ(entry.sound, fileLength >= 200000) << "a stream cut short by the limit is not sound";
    if (fileLength >= 200000) {
      EXPECT_EQ(ftell(stream), size) << "the stream is read to its end";
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(restored->data()), static_cast<size_t>(restored->length)),
              std::string(static_cast<size_t>(restored->length), 'z'));
    delete restored;
  }
  fclose(stream);
}

TEST(TrickTable, TrickZeroIsComplete) {
  EXPECT_NE(trickTable[0].encode, nullptr);
  EXPECT_NE(trickTable[0].decode, nullptr);
  EXPECT_EQ(TrickParameterBound(0, kDecodeLimit), 0) << "trick 0 has no parameters";
  for (int number = 0; number < kTrickCount; ++number) {
    EXPECT_EQ(trickTable[number].encode == nullptr, trickTable[number].decode == nullptr)
        << "trick " << number << " needs both halves";
    EXPECT_EQ(trickTable[number].encode == nullptr, trickTable[number].parameterBound == nullptr)
        << "trick " << number << " needs a bound on its parameters";
  }
  EXPECT_EQ(TrickParameterBound(-1, 0), -1);
  EXPECT_EQ(TrickParameterBound(kTrickCount, 0), -1);
}

}  // namespace
}  // namespace zubreca
