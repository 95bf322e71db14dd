#include "model/store_decision.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace zubreca {

namespace {

// Random bytes repeat a follower with probability 1/256 (0.0039). A rate
// above this bound is structure. It lies 2 standard deviations of a
// 4096-byte buffer's rate above chance, and 65 of a 4 MB one's.
constexpr double kChanceRepeatBound = 0.006;
// Order-0 entropy below this (bits per byte) is structure too.
constexpr double kSpreadBound = 7.97;

constexpr int kHashBits = 18;
constexpr uint32_t kHashMask = (1u << kHashBits) - 1;

inline uint32_t HashOf(uint64_t context, int shift) {
  return static_cast<uint32_t>((context * 0x9E3779B97F4A7C15ull) >> shift) & kHashMask;
}

}  // namespace

double OrderZeroBits(const uint8_t* data, size_t length) {
  if (length == 0) return 0;
  uint32_t histogram[256] = {};
  for (size_t i = 0; i < length; ++i) ++histogram[data[i]];
  double entropy = 0;
  for (const uint32_t count : histogram) {
    if (count == 0) continue;
    const double p = static_cast<double>(count) / static_cast<double>(length);
    entropy -= p * std::log2(p);
  }
  return entropy;
}

double FollowerRepeatRate(const uint8_t* data, size_t length) {
  if (length == 0) return 0;
  // Follower tables: the byte that came after the last occurrence of an
  // order-1, order-2, order-4 and order-12 context (the last two hashed).
  std::vector<uint8_t> after1(256, 0), after2(65536, 0), after4(kHashMask + 1, 0), after12(kHashMask + 1, 0);
  uint64_t hits1 = 0, hits2 = 0, hits4 = 0, hits12 = 0;
  uint64_t recent = 0;  // the last eight bytes
  uint64_t older = 0;   // the four bytes before those
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = data[i];
    const uint32_t c1 = static_cast<uint32_t>(recent & 0xFF);
    const uint32_t c2 = static_cast<uint32_t>(recent & 0xFFFF);
    const uint32_t c4 = HashOf(recent & 0xFFFFFFFF, 40);
    const uint32_t c12 = HashOf(recent ^ (older * 0xFF51AFD7ED558CCDull), 36);
    hits1 += after1[c1] == byte;
    hits2 += after2[c2] == byte;
    hits4 += after4[c4] == byte;
    hits12 += after12[c12] == byte;
    after1[c1] = byte;
    after2[c2] = byte;
    after4[c4] = byte;
    after12[c12] = byte;
    older = (older << 8 | recent >> 56) & 0xFFFFFFFF;
    recent = recent << 8 | byte;
  }
  return static_cast<double>(std::max({hits1, hits2, hits4, hits12})) / static_cast<double>(length);
}

bool ShouldStoreUnmodelled(const uint8_t* data, size_t length) {
  if (length < kShortestJudgedBuffer) return false;
  // The spread takes a few instructions a byte, the followers some fifty:
  // most data (all text) is told to be modelled by its spread alone.
  return OrderZeroBits(data, length) >= kSpreadBound && FollowerRepeatRate(data, length) <= kChanceRepeatBound;
}

}  // namespace zubreca
