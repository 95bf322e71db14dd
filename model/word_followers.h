// Word followers: the byte that followed the same place in a word the last
// time, where a place is the word so far and the word (or the two words)
// before it, or the word so far alone. Line breaks count as blanks, so in
// wrapped text the first word of a line is predicted as if a blank stood
// before it, which the contexts, seeing the line end, cannot do.
#pragma once

#include <cstdint>

#include "model/used_slot_log.h"

namespace zubreca {

// Words are runs of ASCII letters, case ignored. (Counting bytes of 128 and
// above as letters helps no UTF-8 text here and hurts binaries.)
constexpr bool IsWordByte(int c) { return static_cast<unsigned>((c | 0x20) - 'a') < 26u; }

class WORD_FOLLOWERS {
 public:
  // The word state after a byte, as the symbol coder follows it: hashes of
  // the word under way (0 between words) and of the two last complete ones.
  struct WORDS {
    uint32_t current;
    uint32_t last;
    uint32_t beforeLast;
  };

  void reset();
  // Called once per coded byte c, after the word state took it in;
  // `letter` says whether c belongs to a word (TEXT_STATE::isWordByte).
  void update(int c, const WORDS& words, bool letter);

  // Proposals for the next byte; -1 while the place was never seen. (Byte 0
  // marks an empty slot: text does not hold it, and elsewhere the proposals
  // are not used.) By the last word and the word so far, and by the last
  // two words and the word so far:
  int byLastWord() const { return Proposal(byWords[0][index[0]]); }
  int byLastTwoWords() const { return Proposal(byWords[1][index[1]]); }
  // By the word so far alone, inside a word: the last three different
  // bytes that followed it, the latest first (k = 0 to 2).
  int byWordSoFar(int k) const { return inWord ? Proposal(byPrefix[prefixIndex] >> 8 * k) : -1; }
  // Whether the symbol is one of those three.
  bool followedWordSoFar(int symbol) const {
    if (!inWord || symbol == 0) return false;  // byte 0 marks an empty slot
    const uint32_t slot = byPrefix[prefixIndex];
    const uint32_t s = static_cast<uint32_t>(symbol);
    return (slot & 0xFF) == s || (slot >> 8 & 0xFF) == s || (slot >> 16 & 0xFF) == s;
  }
  bool proposes(int symbol) const {
    return symbol == byLastWord() || symbol == byLastTwoWords() || symbol == byWordSoFar(0);
  }
  // Whether the proposal by the last word (k = 0) or the last two (k = 1)
  // followed the place at least twice in a row.
  bool confirmed(int k) const { return byWords[k][index[k]] >> 8 != 0; }

  // Hands every part of the state that coding depends on to add(pointer,
  // size), for the model digest; the log of written slots is left out, as
  // it only speeds up the next reset.
  template <typename Add>
  void addState(Add&& add) const {
    add(byWords, sizeof byWords);
    add(byPrefix, sizeof byPrefix);
    add(index, sizeof index);
    add(&prefixIndex, sizeof prefixIndex);
    add(&marked, sizeof marked);
    add(&inWord, sizeof inWord);
  }

 private:
  static constexpr int kWordBits = 21, kPrefixBits = 19;
  static constexpr uint32_t kPrefixTag = 1u << 31;
  static constexpr uint16_t kRunStep = 1u << 8, kRunLimit = 3u << 8;

  static int Proposal(uint32_t slot) { return (slot & 0xFF) ? (slot & 0xFF) : -1; }

  // A slot by words holds the byte that last followed the place and, above
  // it, how many times in a row before that the same byte followed (at most
  // 3); a slot by the word so far the last three different bytes that
  // followed, a byte each, the latest lowest.
  uint16_t byWords[2][1u << kWordBits];
  uint32_t byPrefix[1u << kPrefixBits];
  uint32_t index[2] = {0, 0};
  uint32_t prefixIndex = 0;
  bool marked = false;  // a mark other than a blank came since the last word
  bool inWord = false;  // the last byte was a letter
  // The slots written since the last reset. The tables reset to zero and
  // the one instance is static, so they start clean.
  USED_SLOT_LOG<1u << 16, true> used;
};

extern WORD_FOLLOWERS wordFollowers;

}  // namespace zubreca
