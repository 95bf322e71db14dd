#include "model/word_followers.h"

#include <algorithm>
#include <cstring>

namespace zubreca {

WORD_FOLLOWERS wordFollowers;

void WORD_FOLLOWERS::reset() {
  if (logOverflowed) {
    std::memset(table, 0, sizeof table);
  } else {
    for (uint32_t k = 0; k < usedCount; ++k) table[used[k] >> kIndexBits][used[k] & ((1u << kIndexBits) - 1)] = 0;
  }
  usedCount = 0;
  logOverflowed = false;
  index[0] = index[1] = index[2] = 0;
  marked = inWord = false;
}

void WORD_FOLLOWERS::update(int c, const WORDS& words) {
  for (uint32_t k = 0; k < kTables; ++k) {
    uint16_t& slot = table[k][index[k]];
    const uint16_t run = (slot & 0xFF) == c ? std::min<uint16_t>((slot & 0xFF00) + kRunStep, kRunLimit) : 0;
    slot = static_cast<uint16_t>(run | c);
    if (usedCount < kLogCapacity)
      used[usedCount++] = k << kIndexBits | index[k];
    else
      logOverflowed = true;
  }
  const bool blank = c == ' ' || c == '\r' || c == '\n';
  const bool letter = static_cast<unsigned>((c | 0x20) - 'a') < 26u;
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
  index[0] = (key * 0x9E3779B1u) >> (32 - kIndexBits);
  index[1] = (pairKey * 0x9E3779B1u) >> (32 - kIndexBits);
  index[2] = ((words.current * 0x85EBCA6Bu + 0x2545F491u) * 0x9E3779B1u) >> (32 - kIndexBits);
  // Read only when the next byte is coded.
  __builtin_prefetch(&table[0][index[0]], 1);
  __builtin_prefetch(&table[1][index[1]], 1);
  __builtin_prefetch(&table[2][index[2]], 1);
}

}  // namespace zubreca
