// The word dictionary: loading and refusing files, the code ranges byte
// for byte, and exact word coding on real text.
#include "tricks/wiki/word_dictionary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/driver/run_program.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using namespace testkit;

std::string Section(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += word + std::string(1, '\0');
  return Le32(static_cast<uint32_t>(text.size())) + Le32(static_cast<uint32_t>(words.size())) + text;
}

std::string DictionaryFile(const std::vector<std::string>& text, const std::vector<std::string>& links = {},
                           const std::vector<std::string>& languages = {}) {
  return Section(text) + Section(links) + Section(languages);
}

// `count` distinct words of letters.
std::vector<std::string> ManyWords(size_t count) {
  std::vector<std::string> words;
  words.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    std::string word = "w";
    for (size_t v = i; v; v /= 26) word.push_back(static_cast<char>('a' + v % 26));
    words.push_back(word);
  }
  return words;
}

DICTIONARY_STATUS Load(const std::string& contents, int section, WORD_DICTIONARY& dictionary) {
  TEMP_DIR dir;
  WriteFile(dir / "EnWiki.fsd", contents);
  return LoadDictionaryFrom((dir / "EnWiki.fsd").c_str(), section, dictionary);
}

DATA_BUFFER* Buffer(const std::string& bytes) {
  DATA_BUFFER* buffer = new DATA_BUFFER(static_cast<int>(bytes.size()), 128, nullptr);
  buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
  buffer->flip();
  return buffer;
}

std::string Take(DATA_BUFFER* buffer) {
  std::string bytes(reinterpret_cast<const char*>(buffer->data()), static_cast<size_t>(buffer->length));
  delete buffer;
  return bytes;
}

std::string Encode(const WORD_DICTIONARY& dictionary, const std::string& text) {
  return Take(EncodeWords(dictionary, Buffer(text)));
}

// The decoded text, or "<refused>".
std::string Decode(const WORD_DICTIONARY& dictionary, const std::string& codes) {
  DATA_BUFFER* in = Buffer(codes);
  DATA_BUFFER* out = DecodeWords(dictionary, in);
  if (!out) {
    delete in;
    return "<refused>";
  }
  return Take(out);
}

TEST(WordCodes, OneByteCodeCountsAndTheCodeRangeRule) {
  EXPECT_EQ(OneByteCodes(100), 100);
  EXPECT_EQ(OneByteCodes(191), 191);
  EXPECT_EQ(OneByteCodes(192), 150);
  EXPECT_EQ(OneByteCodes(400000), 139);
  EXPECT_TRUE(CodesFitFor(0));
  EXPECT_TRUE(CodesFitFor(400000));
  EXPECT_FALSE(CodesFitFor(500000));
  EXPECT_FALSE(CodesFitFor(0xFFFFFFFFu));
}

TEST(WordCodes, TheRangesByteForByte) {
  WORD_DICTIONARY dictionary;
  ASSERT_EQ(Load(DictionaryFile(ManyWords(400000)), kTextWords, dictionary), DICTIONARY_STATUS::kLoaded);
  ASSERT_EQ(dictionary.oneByteCodes, 139);
  const std::vector<std::string> words = ManyWords(400000);
  const std::vector<std::pair<int, std::string>> codes = {{0, Bytes({64})},
                                                          {138, Bytes({202})},
                                                          {139, Bytes({203, 64})},
                                                          {7738, Bytes({242, 253})},
                                                          {7739, Bytes({253, 64, 64, 254})},
                                                          {399999, Bytes({243, 228, 164, 254})}};
  for (const auto& [index, code] : codes) {
    EXPECT_EQ(Encode(dictionary, words[index]), code) << index;
    EXPECT_EQ(Decode(dictionary, code), words[index]) << index;
  }
  const std::string text = words[7739] + " " + words[5] + ",\n" + words[399999] + "." + words[139];
  const std::string coded = Encode(dictionary, text);
  EXPECT_EQ(coded, Bytes({253, 64, 64, 254, ' ', 69, ',', '\n', 243, 228, 164, 254, '.', 203, 64}));
  EXPECT_EQ(Decode(dictionary, coded), text);
}

TEST(WordCodes, UnlistedRunsAndBytesBelow64) {
  WORD_DICTIONARY dictionary;
  ASSERT_EQ(Load(DictionaryFile({"the", "zz", "the"}), kTextWords, dictionary), DICTIONARY_STATUS::kLoaded);
  EXPECT_EQ(Encode(dictionary, "zzqx"), "\xFFzzqx\xFE");
  EXPECT_EQ(Decode(dictionary, "\xFFzzqx\xFE"), "zzqx");
  EXPECT_EQ(Encode(dictionary, "12 ?!"), "12 ?!") << "bytes below 64 are never looked up";
  EXPECT_EQ(Encode(dictionary, "the zz zzz"), "@ A \xFFzzz\xFE") << "a word listed twice has its lower index";
  // An unlisted run that holds the end mark and the unlisted mark itself.
  const std::string odd = "a\xFE\xFF\xFE" "b 1";
  EXPECT_EQ(Decode(dictionary, Encode(dictionary, odd)), odd);
}

TEST(WordCodes, CodesOfWordsThatAreNotThereAreRefused) {
  WORD_DICTIONARY dictionary;
  ASSERT_EQ(Load(DictionaryFile({"one", "two"}), kTextWords, dictionary), DICTIONARY_STATUS::kLoaded);
  EXPECT_EQ(Decode(dictionary, "A"), "two");
  EXPECT_EQ(Decode(dictionary, "B"), "<refused>");
  EXPECT_EQ(Decode(dictionary, Bytes({253, 64, 64, 254})), "<refused>");
  EXPECT_EQ(Decode(dictionary, Bytes({253, 64})), "<refused>") << "a code cut short";
  std::mt19937 rng(5);
  for (int trial = 0; trial < 200; ++trial) {
    std::string junk(rng() % 64, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    Decode(dictionary, junk);  // refused or decoded, never a read outside the buffers
  }
}

TEST(WordDictionary, SectionsAndBuckets) {
  WORD_DICTIONARY dictionary;
  const std::string file = DictionaryFile({"alpha", "beta"}, {"http", "www", "org"}, {"de"});
  ASSERT_EQ(Load(file, kLinkWords, dictionary), DICTIONARY_STATUS::kLoaded);
  EXPECT_EQ(dictionary.wordCount, 3);
  EXPECT_EQ(dictionary.oneByteCodes, 3);
  EXPECT_EQ(dictionary.wordLength(1), 3u);
  EXPECT_EQ(Encode(dictionary, "www"), "A");
  ASSERT_EQ(Load(file, kLanguageWords, dictionary), DICTIONARY_STATUS::kLoaded);
  EXPECT_EQ(Encode(dictionary, "de"), "@");
  // The bucket of "de": v = 3 * ('d' - 97) + ('e' - 97) = 13, and 1024 * 2 + 13.
  EXPECT_EQ(WordBucket(reinterpret_cast<const uint8_t*>("de"), 2), 2061u);
  EXPECT_EQ(dictionary.buckets[2061], 0);
}

TEST(WordDictionary, MalformedFilesAreRefused) {
  WORD_DICTIONARY dictionary;
  const std::string good = DictionaryFile({"one", "two"});
  ASSERT_EQ(Load(good, kTextWords, dictionary), DICTIONARY_STATUS::kLoaded);
  const std::string words = std::string("one\0two\0", 8);
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a size past the end", Le32(100) + Le32(2) + words},
      {"too few words", Le32(8) + Le32(3) + words + Section({}) + Section({})},
      {"too many words", Le32(8) + Le32(1) + words + Section({}) + Section({})},
      {"no final zero", Le32(7) + Le32(2) + words.substr(0, 7) + Section({}) + Section({})},
      {"a short header", good.substr(0, 6)},
      {"an empty file", ""},
  };
  for (const auto& [what, contents] : bad) {
    EXPECT_EQ(Load(contents, kTextWords, dictionary), DICTIONARY_STATUS::kMalformed) << what;
  }
  EXPECT_EQ(Load(Section({"a"}), kLinkWords, dictionary), DICTIONARY_STATUS::kMalformed) << "a missing section";
  EXPECT_EQ(Load(DictionaryFile(ManyWords(500000)), kTextWords, dictionary), DICTIONARY_STATUS::kMalformed)
      << "more words than the codes can tell apart";
}

TEST(WordDictionary, MissingOrMalformedDictionaryIsFatal) {
  TEMP_DIR dir;
  const auto load = [&] {
    return RunInChild([&] {
      if (chdir(dir.path().c_str()) != 0) return;
      WORD_DICTIONARY dictionary;
      LoadDictionary(kTextWords, dictionary);
      printf("[%d]", dictionary.wordCount);
    });
  };
  EXPECT_EQ(load(), (PROGRAM_RESULT{255, FatalText("can`t open file EnWiki.fsd")}));
  WriteFile(dir / "EnWiki.fsd", "junk");
  EXPECT_EQ(load(), (PROGRAM_RESULT{255, FatalText("read/write for file EnWiki.fsd")}));
  WriteFile(dir / "EnWiki.fsd", DictionaryFile({"x", "y"}));
  EXPECT_EQ(load(), (PROGRAM_RESULT{0, "[2]"}));
}

// The words of a real text as a dictionary (most frequent first), and the
// text coded with it and back; random bytes too.
TEST(WordCoding, ExactOnRealTextAndRandomBytes) {
  NEEDS_CORPUS();
  std::ifstream file(CorpusRoot() + "/canterbury/alice29.txt", std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  const std::string text = contents.str();
  std::map<std::string, int> counts;
  for (size_t i = 0; i < text.size();) {
    if (static_cast<uint8_t>(text[i]) < 64) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && static_cast<uint8_t>(text[j]) >= 64) ++j;
    ++counts[text.substr(i, j - i)];
    i = j;
  }
  std::vector<std::pair<int, std::string>> ranked;
  for (const auto& [word, count] : counts) ranked.emplace_back(-count, word);
  std::sort(ranked.begin(), ranked.end());
  std::vector<std::string> words;
  for (size_t i = 0; i + 1 < ranked.size(); i += 2) words.push_back(ranked[i].second);  // every other word
  WORD_DICTIONARY dictionary;
  ASSERT_EQ(Load(DictionaryFile(words), kTextWords, dictionary), DICTIONARY_STATUS::kLoaded);
  ASSERT_GT(dictionary.wordCount, 192) << "one- and two-byte codes both occur";
  const std::string coded = Encode(dictionary, text);
  EXPECT_LT(coded.size(), text.size());
  EXPECT_TRUE(Decode(dictionary, coded) == text) << "the text did not come back";

  std::mt19937 rng(8);
  for (int trial = 0; trial < 20; ++trial) {
    std::string bytes(rng() % 5000, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    ASSERT_TRUE(Decode(dictionary, Encode(dictionary, bytes)) == bytes) << "random trial " << trial;
  }
}

}  // namespace
}  // namespace zubreca
