// The word lists of the wiki dump trick and the word codes they give.
//
// "EnWiki.fsd" holds three sections: words of running text (0), of
// external links (1) and of interlanguage links (2). Each section is a
// 32-bit little-endian byte count, a 32-bit little-endian word count and
// the words, each ended by a byte 0. A word's index is its place in its
// section. EncodeWords replaces every run of bytes of value 64 or more
// that is a listed word by a code of one, two or four bytes; the most
// frequent words belong first, where the codes are shortest:
//
//   index i < K                 i + 64
//   K <= i < K + 7600           j / 190 + K + 64, j % 190 + 64        (j = i - K)
//   i >= K + 7600               253 - j / 36100, h / 190 + 64, h % 190 + 64, 254
//                               (j = i - K - 7600, h = j % 36100)
//   an unlisted run             255, the run's bytes, 254
//
// with K (oneByteCodes) the word count when it is below 192, else
// 150 - count / 36100. The first byte tells the kinds apart, as long as
// the four-byte codes' first bytes stay above K + 103: a section whose
// count breaks that is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zubreca {

class DATA_BUFFER;

inline constexpr char kDictionaryName[] = "EnWiki.fsd";
inline constexpr int kDictionarySections = 3;
inline constexpr int kTextWords = 0;
inline constexpr int kLinkWords = 1;
inline constexpr int kLanguageWords = 2;

struct WORD_DICTIONARY {
  static constexpr int kBuckets = 32768;
  static constexpr int kNoEntry = -1;

  int32_t oneByteCodes = 0;  // K
  int32_t wordCount = 0;
  std::vector<uint8_t> wordText;      // the section's words, each ended by 0
  std::vector<uint32_t> wordStart;    // per index: offset of its first byte
  std::vector<int32_t> nextInBucket;  // per index: the next index of its bucket
  std::vector<int32_t> buckets = std::vector<int32_t>(kBuckets, kNoEntry);

  // The length of word `index`.
  uint32_t wordLength(int32_t index) const;
};

// The one-byte code count K of a section of `count` words, and whether
// every index of such a section has a code of its own.
int32_t OneByteCodes(uint32_t count);
bool CodesFitFor(uint32_t count);

// The bucket of a run of bytes: v = 3v + (byte - 97) over the run, in
// 32-bit arithmetic; the bucket is (1024 * length + v) & 32767.
uint32_t WordBucket(const uint8_t* run, uint32_t length);

enum class DICTIONARY_STATUS { kLoaded, kMissing, kMalformed };

// Reads section `section` of the dictionary file at `path` into
// `dictionary`. A file whose sizes run past its end, whose word count does
// not match the words, or whose count breaks the code ranges is
// kMalformed.
DICTIONARY_STATUS LoadDictionaryFrom(const char* path, int section, WORD_DICTIONARY& dictionary);

// The dictionary "EnWiki.fsd" of the current directory, or else the one
// installed with the program (ZUBRECA_DICTIONARY_DIR/EnWiki.fsd). Fatal
// "can`t open file EnWiki.fsd" when neither opens, "read/write for file
// EnWiki.fsd" when the one found is malformed.
void LoadDictionary(int section, WORD_DICTIONARY& dictionary);

// Replaces the words of `buffer` by their codes (see above); the new
// buffer takes its place in the chain and is returned. Its maxOrder is the
// run's model order.
DATA_BUFFER* EncodeWords(const WORD_DICTIONARY& dictionary, DATA_BUFFER* buffer);

// The inverse. Returns null (and leaves `buffer` as it was) when the codes
// name a word the dictionary does not have: a damaged stream, or another
// dictionary than the encoder's.
DATA_BUFFER* DecodeWords(const WORD_DICTIONARY& dictionary, DATA_BUFFER* buffer);

}  // namespace zubreca
