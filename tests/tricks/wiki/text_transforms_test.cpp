// The punctuation and case transforms: the examples byte for byte, and
// exact inverses on real files, random bytes and every short string over
// the bytes that steer them.
#include "tricks/wiki/text_transforms.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using testkit::kUnderSanitizer;

using TRANSFORM = DATA_BUFFER* (*)(DATA_BUFFER*);

std::string Apply(TRANSFORM transform, const std::string& bytes) {
  DATA_BUFFER* in = new DATA_BUFFER(static_cast<int>(bytes.size()), 128, nullptr);
  in->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
  in->flip();
  DATA_BUFFER* out = transform(in);
  std::string result(reinterpret_cast<const char*>(out->data()), static_cast<size_t>(out->length));
  EXPECT_EQ(out->maxOrder, 128);
  EXPECT_EQ(out->avail, out->length) << "the result is ready for reading";
  delete out;
  return result;
}

std::string Space(const std::string& s) { return Apply(SpacePunctuation, s); }
std::string Unspace(const std::string& s) { return Apply(UnspacePunctuation, s); }
std::string Fold(const std::string& s) { return Apply(FoldCase, s); }
std::string Unfold(const std::string& s) { return Apply(UnfoldCase, s); }

void ExpectExactInverses(const std::string& bytes, const std::string& what) {
  ASSERT_EQ(Unspace(Space(bytes)), bytes) << "punctuation, " << what;
  ASSERT_EQ(Unfold(Fold(bytes)), bytes) << "case, " << what;
}

TEST(CharClass, Table) {
  const std::vector<std::pair<std::string, int>> groups = {
      {"09@AZaz\x7f\x80\xff", kWordClass},  {"(<[`{", kOpeningClass},       {"!\")'.:>?]}", kClosingClass},
      {",;", kSeparatorClass},             {std::string("\0\t\n\r\x12\x14\x1f ", 8), kSpaceClass},
      {"#$%&*+-/=\\^|~\x01\x08\x0b\x0c\x0e\x11\x13\x15\x1e", kOtherClass}};
  int counted = 0;
  for (const auto& [bytes, cls] : groups) {
    for (const char c : bytes) EXPECT_EQ(charClass[static_cast<uint8_t>(c)], cls) << static_cast<int>(c);
  }
  for (int c = 0; c < 256; ++c) counted += charClass[c] == kWordClass;
  EXPECT_EQ(counted, 10 + 192 - 9) << "the digits and every byte from 64 up but [ ` { ] } \\ ^ | ~";
}

TEST(SpacePunctuation, Examples) {
  EXPECT_EQ(Space("end. Next"), "end . Next");
  EXPECT_EQ(Space("a, b"), "a , b");
  EXPECT_EQ(Space("x.y"), "x.y");
  EXPECT_EQ(Space("(a)b"), "(a)b");
  EXPECT_EQ(Space("(a)"), "(a )");
  EXPECT_EQ(Space("the end."), "the end .");
  EXPECT_EQ(Space("a .. b"), "a  .. b");
  // The whole run after the first mark goes behind one blank.
  EXPECT_EQ(Space("said: \"no.\"\n"), "said : \"no .\"\n");
  for (const std::string text : {"end. Next", "a, b", "x.y", "(a)b", "(a)", "the end.", "a .. b"}) {
    EXPECT_EQ(Unspace(Space(text)), text);
  }
  EXPECT_EQ(Unspace("a  .. b"), "a .. b");
}

TEST(FoldCase, Examples) {
  EXPECT_EQ(Fold("Hello World"), "\x04hello \x04world");
  EXPECT_EQ(Fold("ABC"), "\x05" "abc");
  EXPECT_EQ(Fold("ABc"), "\x04" "a\x04" "bc");
  EXPECT_EQ(Fold("ABCd"), "\x05" "abc\x03" "d");
  EXPECT_EQ(Fold("A."), "\x05" "a.");
  EXPECT_EQ(Fold("\x04"), "\x03\x04");
  for (const std::string text : {"Hello World", "ABC", "ABc", "ABCd", "A.", "\x04"}) EXPECT_EQ(Unfold(Fold(text)), text);
}

// Every string of up to five bytes over the bytes the rules look at.
TEST(TextTransforms, ExactOnEveryShortString) {
  const std::string alphabet("aAbB .,(\x03\x04\x05\0\n\x12", 14);
  const size_t longest = kUnderSanitizer ? 4 : 5;
  std::vector<size_t> digits;
  for (size_t length = 0; length <= longest; ++length) {
    digits.assign(length, 0);
    for (;;) {
      std::string s;
      for (size_t d : digits) s.push_back(alphabet[d]);
      ExpectExactInverses(s, "short string");
      if (HasFatalFailure()) return;
      size_t i = 0;
      while (i < length && ++digits[i] == alphabet.size()) digits[i++] = 0;
      if (i == length) break;
    }
  }
}

TEST(TextTransforms, ExactOnRandomBytesAndCorpusFiles) {
  NEEDS_CORPUS();
  std::mt19937 rng(99);
  for (int trial = 0; trial < 50; ++trial) {
    std::string bytes(1 + rng() % 3000, '\0');
    // Half the trials draw from a small alphabet, so that the rules meet
    // each other often.
    for (char& c : bytes) c = static_cast<char>(trial % 2 ? rng() : "aZ .,;)(\x03\x04\x05\n"[rng() % 13]);
    ExpectExactInverses(bytes, "random trial " + std::to_string(trial));
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(testkit::CorpusRoot())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    std::string bytes = contents.str();
    if (kUnderSanitizer) bytes.resize(std::min<size_t>(bytes.size(), 200000));
    ExpectExactInverses(bytes, entry.path().string());
  }
}

}  // namespace
}  // namespace zubreca
