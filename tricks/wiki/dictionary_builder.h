// Building a word dictionary ("EnWiki.fsd") from sample text.
//
// Each input is split as the wiki trick splits a dump; its running text is
// spaced and case folded as the trick does before it codes words, its
// external links case folded, its interlanguage links left as they are.
// The runs of bytes of value 64 or more in these are the words of
// sections 0, 1 and 2. Input that is no dump counts as running text whole.
// Each section lists its most frequent words first, so that they get the
// one-byte codes, and the rest by how they end; ties in byte order, so that
// the same inputs always give the same file.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "tricks/wiki/word_dictionary.h"

namespace zubreca {

struct DICTIONARY_LIMITS {
  uint64_t minCount = 1;       // a word seen fewer times is left out
  uint32_t maxWords = 400000;  // per section; never more than the codes tell apart
};

class DICTIONARY_BUILDER {
 public:
  // Counts the words of one input of `length` bytes at `data`, which must
  // have the zero guards of a DATA_BUFFER around it.
  void addInput(const uint8_t* data, int32_t length);

  // The dictionary file's bytes.
  std::string build(const DICTIONARY_LIMITS& limits) const;

  // Words counted so far in section `section`.
  size_t distinctWords(int section) const { return counts[section].size(); }

 private:
  void countRuns(int section, const uint8_t* data, int32_t length);

  std::unordered_map<std::string, uint64_t> counts[kDictionarySections];
};

}  // namespace zubreca
