#include "model/match_model.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zubreca {

MATCH_MODEL matchModel;

namespace {

// The windows' hashes roll: each byte multiplies the hash by kMultiplier
// and adds itself, and the byte leaving the window takes its term away.
constexpr uint32_t kMultiplier = 0x01000193u;
constexpr uint32_t PowerOf(uint32_t exponent) {
  uint32_t p = 1;
  for (uint32_t k = 0; k < exponent; ++k) p *= kMultiplier;
  return p;
}
constexpr uint32_t kLongLeaving = PowerOf(MATCH_MODEL::kLongWindow);
constexpr uint32_t kShortLeaving = PowerOf(MATCH_MODEL::kShortWindow);
constexpr uint32_t kShortTag = 1u << 31;

// The slot of a window with this hash in a table of 2^bits slots; or
// kNoSlot where the sparse tables leave the window out, which is where the
// mask finds a one in the mixed hash, in bits below those of any slot.
inline uint32_t SlotOf(uint32_t hash, uint32_t bits, uint32_t mask) {
  const uint32_t mixed = hash * 0x9E3779B1u;
  return ((mixed >> 7) & mask) == 0 ? mixed >> (32 - bits) : MATCH_MODEL::kNoSlot;
}
static_assert(MATCH_MODEL::kLongBits < 31 && MATCH_MODEL::kShortBits < 31);

}  // namespace

void MATCH_MODEL::reset() {
  written.replay(
      [&](uint32_t tagged) {
        if (tagged & kShortTag)
          shortTable[tagged & ~kShortTag] = 0;
        else
          longTable[tagged] = 0;
      },
      [&] {
        std::memset(longTable, 0, sizeof longTable);
        std::memset(shortTable, 0, sizeof shortTable);
      });
  length = 0;
  from = 0;
  next = -1;
  longSlot = shortSlot = kNoSlot;
  longHash = shortHash = 0;
}

uint32_t MATCH_MODEL::AgreeingBefore(const uint8_t* history, uint32_t candidate, uint32_t end) {
  const uint32_t most = std::min(candidate, kVerifyLimit);
  uint32_t n = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time: in a word read little-endian, the byte nearest
    // the end of the window is the most significant.
    for (; n + 8 <= most; n += 8) {
      uint64_t a, b;
      std::memcpy(&a, history + candidate - n - 8, 8);
      std::memcpy(&b, history + end - n - 8, 8);
      if (a != b) return n + static_cast<uint32_t>(__builtin_clzll(a ^ b) >> 3);
    }
  }
  while (n < most && history[candidate - 1 - n] == history[end - 1 - n]) ++n;
  return n;
}

void MATCH_MODEL::consider(const uint8_t* history, uint32_t candidate, uint32_t end) {
  if (candidate == 0 || candidate >= end || candidate == from) return;
  const uint32_t agreeing = AgreeingBefore(history, candidate, end);
  // Fewer than a window's bytes agree when hashes collide.
  if (agreeing < kShortWindow || agreeing <= length) return;
  length = agreeing;
  from = candidate;
}

void MATCH_MODEL::roll(const uint8_t* history, uint32_t index, uint8_t c, bool sparse) {
  if (length != 0) {
    if (next == c) {
      length = std::min(length + 1, kLengthLimit);
      ++from;
    } else if (length >= kRecoverFrom) {
      // A long match that differs in one byte most often goes on after it.
      length = length / 4;
      ++from;
    } else {
      length = 0;
    }
  }
  longHash = longHash * kMultiplier + c + 1;
  if (index >= kLongWindow) longHash -= (history[index - kLongWindow] + 1u) * kLongLeaving;
  shortHash = shortHash * kMultiplier + c + 1;
  if (index >= kShortWindow) shortHash -= (history[index - kShortWindow] + 1u) * kShortLeaving;
  const uint32_t end = index + 1;
  longSlot = end >= kLongWindow ? SlotOf(longHash, kLongBits, sparse ? kLongSampleMask : 0) : kNoSlot;
  shortSlot = end >= kShortWindow ? SlotOf(shortHash, kShortBits, sparse ? kShortSampleMask : 0) : kNoSlot;
  if (longSlot != kNoSlot) __builtin_prefetch(&longTable[longSlot]);
  if (shortSlot != kNoSlot) __builtin_prefetch(&shortTable[shortSlot]);
}

void MATCH_MODEL::look(const uint8_t* history, uint32_t index) {
  // The byte to predict is at `end`; the tables learn that it follows the
  // two windows that end before it.
  const uint32_t end = index + 1;
  if (longSlot != kNoSlot) {
    if (length < kVerifyLimit) consider(history, longTable[longSlot], end);
    longTable[longSlot] = end;
    written.note(longSlot);
  }
  if (shortSlot != kNoSlot) {
    if (length < kVerifyLimit) consider(history, shortTable[shortSlot], end);
    shortTable[shortSlot] = end;
    written.note(kShortTag | shortSlot);
  }
  next = length != 0 ? history[from] : -1;
}

}  // namespace zubreca
