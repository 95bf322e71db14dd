#include "tricks/exe/value_coder.h"

#include <cstdlib>

#include "buffers/data_buffer.h"

namespace zubreca {

namespace {

constexpr int kSmallValue = 31;
constexpr int kLongCode = 63;
constexpr int kDeepHitCode = 64;
constexpr int kDeepHitBase = 50;
constexpr int kFirstDeepHit = 15;
constexpr int kLongMarker = 0;
constexpr int kNegative = 1, kNonNegative = 2;

bool HasShortForm(int valueClass) { return valueClass != kFirstValueClass; }

uint32_t Magnitude(int32_t d) {
  const uint32_t u = static_cast<uint32_t>(d);
  return d < 0 ? 0u - u : u;
}

// The magnitude as eight 3-bit groups (bits 29..31 down to 8..10) and four
// 2-bit groups (6..7 down to 0..1), each on a base of its own.
void PutLong(DATA_BUFFER& longValues, int32_t v) {
  longValues.putByte(kLongMarker);
  longValues.putByte(v < 0 ? kNegative : kNonNegative);
  const uint32_t m = Magnitude(v);
  for (int g = 0; g < 8; ++g) longValues.putByte(64 + 8 * g + ((m >> (29 - 3 * g)) & 7));
  for (int g = 0; g < 4; ++g) longValues.putByte(128 + 4 * g + ((m >> (6 - 2 * g)) & 3));
}

int32_t GetLong(STREAM_READER& longValues) {
  TestExe(longValues, kLongMarker);
  const uint32_t sign = longValues.next();
  uint32_t sum = 0;
  for (int g = 0; g < 8; ++g) sum += ((longValues.next() - (64 + 8 * g)) & 0xFF) << (29 - 3 * g);
  for (int g = 0; g < 4; ++g) sum += ((longValues.next() - (128 + 4 * g)) & 0xFF) << (6 - 2 * g);
  return static_cast<int32_t>(sign == kNegative ? 0u - sum : sum);
}

}  // namespace

int VALUE_CACHE::moveToFront(int32_t v) {
  slots[kSlots - 1] = v;
  int i = 0;
  while (slots[i] != v) ++i;
  for (int j = i; j > 0; --j) slots[j] = slots[j - 1];
  slots[0] = v;
  return i;
}

void PutValue(int valueClass, int32_t v, VALUE_CACHE& cache, DATA_BUFFER& stream, DATA_BUFFER& longValues) {
  if (HasShortForm(valueClass) && v >= -kSmallValue && v <= kSmallValue) {
    stream.putByte(v + kSmallValue);
    return;
  }
  const int32_t c0 = cache.slots[0], c1 = cache.slots[1], c2 = cache.slots[2];
  const int i = cache.moveToFront(v);
  if (i >= 3 && i < kFirstDeepHit) {
    stream.putByte(62 + i);
    return;
  }
  // Differences in 32-bit arithmetic, as the decoder adds them back.
  const int32_t d0 = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(c0));
  const int32_t d1 = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(c1));
  const int32_t d2 = static_cast<int32_t>(static_cast<uint32_t>(v) - static_cast<uint32_t>(c2));
  const uint32_t m0 = Magnitude(d0), m1 = Magnitude(d1), m2 = Magnitude(d2);
  if (m0 <= 64 && !(m1 < m0 && m1 <= 16) && !(m2 < m0 && m2 <= 8)) {
    stream.putByte(191 + d0);
  } else if (m1 <= 16) {
    stream.putByte(m2 < m1 && m2 <= 8 ? 85 + d2 : 110 + d1);
  } else if (m2 <= 8) {
    stream.putByte(85 + d2);
  } else if (i < VALUE_CACHE::kSlots - 1) {
    stream.putByte(kDeepHitCode);
    stream.putByte(kDeepHitBase + i);
  } else {
    stream.putByte(kLongCode);
    PutLong(longValues, v);
  }
}

int32_t GetValue(VALUE_CACHE& cache, STREAM_READER& stream, STREAM_READER& longValues) {
  const uint32_t code = stream.next();
  if (code < kLongCode) return static_cast<int32_t>(code) - kSmallValue;
  uint32_t v;
  if (code == kLongCode) {
    v = static_cast<uint32_t>(GetLong(longValues));
  } else if (code == kDeepHitCode) {
    const uint32_t index = stream.next() - kDeepHitBase;
    // The encoder writes 15..78; anything else is damage.
    if (index < kFirstDeepHit || index >= VALUE_CACHE::kSlots - 1) {
      stream.damaged = true;
      return 0;
    }
    v = static_cast<uint32_t>(cache.slots[index]);
  } else if (code < 77) {
    v = static_cast<uint32_t>(cache.slots[code - 62]);
  } else if (code < 94) {
    v = static_cast<uint32_t>(cache.slots[2]) + code - 85;
  } else if (code < 127) {
    v = static_cast<uint32_t>(cache.slots[1]) + code - 110;
  } else {
    v = static_cast<uint32_t>(cache.slots[0]) + code - 191;
  }
  cache.moveToFront(static_cast<int32_t>(v));
  return static_cast<int32_t>(v);
}

}  // namespace zubreca
