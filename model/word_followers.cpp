#include "model/word_followers.h"

#include <algorithm>
#include <cstring>

namespace zubreca {

WORD_FOLLOWERS wordFollowers;

void WORD_FOLLOWERS::reset() {
  used.replay(
      [&](uint32_t tagged) {
        if (tagged & kPrefixTag)
          byPrefix[tagged & ~kPrefixTag] = 0;
        else
          byWords[tagged >> kWordBits][tagged & ((1u << kWordBits) - 1)] = 0;
      },
      [&] {
        std::memset(byWords, 0, sizeof byWords);
        std::memset(byPrefix, 0, sizeof byPrefix);
      });
  index[0] = index[1] = prefixIndex = 0;
  marked = inWord = false;
}

void WORD_FOLLOWERS::update(int c, const WORDS& words, bool letter) {
  for (uint32_t k = 0; k < 2; ++k) {
    uint16_t& slot = byWords[k][index[k]];
    const uint16_t run = (slot & 0xFF) == c ? std::min<uint16_t>((slot & 0xFF00) + kRunStep, kRunLimit) : 0;
    slot = static_cast<uint16_t>(run | c);
    used.note(k << kWordBits | index[k]);
  }
  uint32_t& prefixSlot = byPrefix[prefixIndex];
  const uint32_t latest = prefixSlot & 0xFF, before = prefixSlot >> 8 & 0xFF;
  const uint32_t byte = static_cast<uint32_t>(c);
  if (byte == before)
    prefixSlot = (prefixSlot & 0xFF0000) | latest << 8 | byte;  // the two latest change places
  else if (byte != latest)
    prefixSlot = (prefixSlot << 8 | byte) & 0xFFFFFF;
  used.note(kPrefixTag | prefixIndex);

  const bool blank = c == ' ' || c == '\r' || c == '\n';
  if (!letter) {
    if (inWord) marked = false;  // the word just ended
    if (!blank) marked = true;
  }
  inWord = letter;
  // The place: the word so far, the last word, whether a mark came between
  // them, and a mark just coded. A carriage return is told apart from the
  // other blanks: a line feed follows it, not a word.
  uint32_t key = (words.last + 0x1234567u) * 0x9E3779B1u + words.current * 0x85EBCA6Bu;
  if (marked) key ^= 0x5BD1E995u;
  if (!letter && !blank) key ^= static_cast<uint32_t>(c) * 0x27D4EB2Du;
  if (c == '\r') key ^= 0x3C6EF372u;
  const uint32_t pairKey = key + (words.beforeLast + 0x7654321u) * 0xC2B2AE35u;
  index[0] = (key * 0x9E3779B1u) >> (32 - kWordBits);
  index[1] = (pairKey * 0x9E3779B1u) >> (32 - kWordBits);
  prefixIndex = ((words.current * 0x85EBCA6Bu + 0x2545F491u) * 0x9E3779B1u) >> (32 - kPrefixBits);
  // Read only when the next byte is coded.
  __builtin_prefetch(&byWords[0][index[0]], 1);
  __builtin_prefetch(&byWords[1][index[1]], 1);
  __builtin_prefetch(&byPrefix[prefixIndex], 1);
}

}  // namespace zubreca
