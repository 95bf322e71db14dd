// Tests of the value coder of the executable trick: the code of each case
// worked out by hand from the cache and difference rules, the long form
// digit by digit, the two absolute-address classes that share one stream,
// long runs of values read back by GetValue, and how the reader treats
// codes that no encoder writes.
#include "tricks/exe/value_coder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "buffers/data_buffer.h"
#include "tricks/exe/exe_trick.h"

namespace zubreca {
namespace {

using Bytes = std::vector<int>;

Bytes Written(const DATA_BUFFER& b) { return Bytes(b.data(), b.cursor); }

// One class's stream and the stream of long values, written by PutValue.
struct VALUE_WRITER {
  DATA_BUFFER stream{16, 2};
  DATA_BUFFER longs{16, 6};
  VALUE_CACHE cache;

  void put(int valueClass, int32_t v) { PutValue(valueClass, v, cache, stream, longs); }
  size_t written() const { return static_cast<size_t>(stream.cursor - stream.data()); }
  // The codes written since `mark` bytes had been.
  Bytes since(size_t mark) const { return Bytes(stream.data() + mark, stream.cursor); }
};

STREAM_READER ReaderOver(const std::vector<uint8_t>& bytes) {
  STREAM_READER r;
  r.cursor = bytes.data();
  r.end = bytes.data() + bytes.size();
  return r;
}

bool AllZero(const VALUE_CACHE& cache) {
  for (int i = 0; i < VALUE_CACHE::kSlots - 1; ++i) {
    if (cache.slots[i] != 0) return false;
  }
  return true;
}

// Values far apart from each other and from the small numbers: none of
// them is ever coded by a difference to another.
int32_t Far(int k) { return 1000000 * (k + 1); }

// --- Streams of the classes -------------------------------------------------

TEST(ValueCoder, ClassesTwelveToNineteenUseTheirOwnStreamsButSeventeenAndEighteenShareOne) {
  EXPECT_EQ(ValueStream(11), 12);
  EXPECT_EQ(ValueStream(12), 13);
  EXPECT_EQ(ValueStream(13), 14);
  EXPECT_EQ(ValueStream(14), 15);
  EXPECT_EQ(ValueStream(15), 16);
  EXPECT_EQ(ValueStream(16), 17);
  EXPECT_EQ(ValueStream(17), 18);
  EXPECT_EQ(ValueStream(18), 18);
  EXPECT_EQ(ValueStream(19), 19);
}

// --- Short form --------------------------------------------------------------

TEST(ValueCoder, SmallValuesOfClassesTwelveUpAreOneByteAndLeaveTheCacheAlone) {
  VALUE_WRITER w;
  w.put(12, 5);    // 5 + 31
  w.put(13, -31);  // the lowest short value
  w.put(19, 31);   // the highest
  w.put(14, 0);
  EXPECT_EQ(Written(w.stream), (Bytes{36, 0, 62, 31}));
  EXPECT_TRUE(AllZero(w.cache));
  EXPECT_EQ(w.longs.cursor, w.longs.data());
}

TEST(ValueCoder, ClassElevenHasNoShortFormSoFiveIsADifferenceToSlotZero) {
  VALUE_WRITER w;
  w.put(11, 5);  // not found, d0 = 5 - 0: 191 + 5
  EXPECT_EQ(Written(w.stream), (Bytes{196}));
  EXPECT_EQ(w.cache.slots[0], 5);
  EXPECT_EQ(w.cache.slots[1], 0);
  EXPECT_EQ(w.cache.slots[2], 0);
}

TEST(ValueCoder, JustOutsideTheShortRangeAValueIsCodedAgainstTheFreshCache) {
  VALUE_WRITER w;
  w.put(12, 32);  // fresh cache: d0 = d1 = d2 = 32, so 191 + 32
  EXPECT_EQ(Written(w.stream), (Bytes{223}));
  VALUE_WRITER n;
  n.put(12, -32);  // 191 - 32
  EXPECT_EQ(Written(n.stream), (Bytes{159}));
  EXPECT_EQ(n.cache.slots[0], -32);
}

// --- Long form ---------------------------------------------------------------

TEST(ValueCoder, ThousandInAFreshCacheGoesToTheLongStreamDigitByDigit) {
  // 1000 = 3 * 256 + 232: bits 8..10 hold 3, bits 6..7 hold 3, bits 4..5
  // and 2..3 hold 2, bits 0..1 hold 0; every higher group is 0.
  const Bytes digits = {64, 72, 80, 88, 96, 104, 112, 123, 131, 134, 138, 140};
  VALUE_WRITER w;
  w.put(11, 1000);
  EXPECT_EQ(Written(w.stream), (Bytes{63}));
  Bytes expected = {0, 2};
  expected.insert(expected.end(), digits.begin(), digits.end());
  EXPECT_EQ(Written(w.longs), expected);
  EXPECT_EQ(w.cache.slots[0], 1000);

  VALUE_WRITER n;
  n.put(11, -1000);
  EXPECT_EQ(Written(n.stream), (Bytes{63}));
  expected[1] = 1;
  EXPECT_EQ(Written(n.longs), expected);
}

TEST(ValueCoder, TheLowestIntegerIsItsOwnMagnitudeInTheLongForm) {
  // The magnitude of -2^31 is 2^31: bits 29..31 hold 4, all else 0.
  VALUE_WRITER w;
  w.put(15, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(Written(w.stream), (Bytes{63}));
  EXPECT_EQ(Written(w.longs), (Bytes{0, 1, 68, 72, 80, 88, 96, 104, 112, 120, 128, 132, 136, 140}));
  VALUE_WRITER m;
  m.put(15, std::numeric_limits<int32_t>::max());  // every digit at its top
  EXPECT_EQ(Written(m.longs), (Bytes{0, 2, 67, 79, 87, 95, 103, 111, 119, 127, 131, 135, 139, 143}));
}

// --- Cache hits --------------------------------------------------------------

TEST(ValueCoder, TheSameValueTwiceIsZeroDifferenceToSlotZero) {
  VALUE_WRITER w;
  w.put(15, 5000);
  w.put(15, 5000);
  EXPECT_EQ(Written(w.stream), (Bytes{63, 191}));
}

TEST(ValueCoder, AValueTwentyValuesBackIsADeepHitOfIndexTwenty) {
  VALUE_WRITER w;
  for (int k = 0; k <= 20; ++k) w.put(11, Far(k));
  const size_t before = w.written();
  w.put(11, Far(0));
  EXPECT_EQ(w.since(before), (Bytes{64, 70}));
  EXPECT_EQ(w.cache.slots[0], Far(0));
  EXPECT_EQ(w.cache.slots[1], Far(20));
  EXPECT_EQ(w.cache.slots[20], Far(1));
}

TEST(ValueCoder, HitCodesByIndexAtEachBoundary) {
  // After Far(0) .. Far(n), Far(0) lies at index n.
  struct CASE {
    int index;
    Bytes code;
  };
  const CASE cases[] = {
      {1, {110}},      // slot 1 again: difference 0 to slot 1
      {2, {85}},       // slot 2 again: difference 0 to slot 2
      {3, {65}},       // the first one-byte hit
      {14, {76}},      // the last one-byte hit
      {15, {64, 65}},  // the first deep hit
      {78, {64, 128}},  // the last slot that holds a value
      {79, {63}},      // pushed out of the cache: in full again
  };
  for (const CASE& c : cases) {
    VALUE_WRITER w;
    for (int k = 0; k <= c.index; ++k) w.put(11, Far(k));
    const size_t before = w.written();
    w.put(11, Far(0));
    EXPECT_EQ(w.since(before), c.code) << "index " << c.index;
  }
}

// --- Differences to the three most recent values -----------------------------

TEST(ValueCoder, DifferencesPickTheNearestOfTheThreeRecentSlotsByTheirRules) {
  struct CASE {
    int32_t s0, s1, s2;  // slots 0, 1, 2 before the value
    int32_t v;
    int code;
  };
  const CASE cases[] = {
      {1000, 2000, 3000, 1064, 255},  // m0 = 64, the widest slot-0 difference
      {1000, 2000, 3000, 936, 127},   // d0 = -64
      {1000, 2000, 3000, 2010, 120},  // m1 = 10: 110 + 10
      {1000, 2000, 3000, 2016, 126},  // the widest slot-1 difference
      {1000, 2000, 3000, 1984, 94},
      {1000, 2000, 3000, 3005, 90},  // m2 = 5: 85 + 5
      {1000, 2000, 3000, 3008, 93},  // the widest slot-2 difference
      {1000, 2000, 3000, 2992, 77},
      {100, 110, 105, 108, 108},  // m1 = 2 beats m0 = 8; m2 = 3 is not below m1: 110 - 2
      {100, 110, 105, 106, 86},   // m1 = 4 beats m0 = 6, m2 = 1 beats m1: 85 + 1
      {100, 500, 90, 95, 186},    // m2 = 5 is not below m0 = 5: 191 - 5
      {100, 500, 90, 93, 88},     // m2 = 3 below m0 = 7 and m1 far: 85 + 3
      // Differences are taken in 32-bit arithmetic: one above the highest
      // integer is the lowest.
      {std::numeric_limits<int32_t>::max(), 0, 0, std::numeric_limits<int32_t>::min(), 192},
  };
  for (const CASE& c : cases) {
    VALUE_WRITER w;
    w.cache.slots[0] = c.s0, w.cache.slots[1] = c.s1, w.cache.slots[2] = c.s2;
    w.put(11, c.v);
    EXPECT_EQ(Written(w.stream), (Bytes{c.code})) << "value " << c.v;
    EXPECT_EQ(w.cache.slots[0], c.v);
    EXPECT_EQ(w.cache.slots[1], c.s0);

    // GetValue reads the same code back against the same slots.
    std::vector<uint8_t> code = {static_cast<uint8_t>(c.code)}, none;
    STREAM_READER in = ReaderOver(code), longs = ReaderOver(none);
    VALUE_CACHE cache;
    cache.slots[0] = c.s0, cache.slots[1] = c.s1, cache.slots[2] = c.s2;
    EXPECT_EQ(GetValue(cache, in, longs), c.v);
    EXPECT_FALSE(in.damaged || longs.damaged);
  }
}

TEST(ValueCoder, AValueOneAboveTheSlotZeroDifferenceRangeGoesInFull) {
  VALUE_WRITER w;
  w.cache.slots[0] = 1000, w.cache.slots[1] = 2000, w.cache.slots[2] = 3000;
  w.put(11, 1065);  // m0 = 65, m1 = 935, m2 = 1935, not in the cache
  EXPECT_EQ(Written(w.stream), (Bytes{63}));
  EXPECT_EQ(w.longs.cursor - w.longs.data(), 14);
}

// --- Classes 17 and 18 in the encoder ----------------------------------------

TEST(ValueCoder, AbsoluteAddressesOfBothWidthsShareStreamEighteenButNotACache) {
  // mov al, [0x100000]; mov eax, [0x100000]; mov al, [0x100000], between
  // two runs of mov eax, eax long enough to be taken as code. The first
  // two are new to their caches (classes 17 and 18), the third repeats
  // class 17's last value.
  std::vector<uint8_t> code;
  for (int i = 0; i < 50; ++i) code.insert(code.end(), {0x89, 0xC0});
  for (uint8_t opcode : {0xA0, 0xA1, 0xA0}) code.insert(code.end(), {opcode, 0x00, 0x00, 0x10, 0x00});
  for (int i = 0; i < 50; ++i) code.insert(code.end(), {0x89, 0xC0});
  DATA_BUFFER input(static_cast<int>(code.size()), 128);
  input.writeBlock(code.data(), static_cast<int>(code.size()));
  input.flip();
  const EXE_SPLIT split = SplitAnyExe(kExe32, input);
  ASSERT_NE(split.head, nullptr);
  std::unique_ptr<DATA_BUFFER> chain(split.head);
  DATA_BUFFER* streams[kExeStreamCount + 1] = {};
  int k = 1;
  for (DATA_BUFFER* b = split.head; b && k <= kExeStreamCount; b = b->next) streams[k++] = b;
  ASSERT_EQ(k, kExeStreamCount + 1);
  auto content = [](const DATA_BUFFER* b) { return Bytes(b->data(), b->data() + b->length); };
  EXPECT_EQ(content(streams[18]), (Bytes{63, 63, 191}));
  // 0x100000 has bit 20 set: the group of bits 20..22 holds 1.
  const Bytes longForm = {0, 2, 64, 72, 80, 89, 96, 104, 112, 120, 128, 132, 136, 140};
  Bytes twice = longForm;
  twice.insert(twice.end(), longForm.begin(), longForm.end());
  EXPECT_EQ(content(streams[20]), twice);
  EXPECT_TRUE(content(streams[19]).empty());
}

// --- Reading back ------------------------------------------------------------

struct CODED_VALUE {
  int valueClass;
  int32_t value;
};

// Values of every class: small ones, exact repeats from any depth of the
// class's history (including beyond the cache), near misses of recent
// ones, 16-bit and 32-bit random ones and the extremes.
std::vector<CODED_VALUE> MixedValues(uint32_t seed, int count) {
  std::mt19937 random(seed);
  std::vector<std::vector<int32_t>> history(20);
  std::vector<CODED_VALUE> values;
  for (int n = 0; n < count; ++n) {
    const int valueClass = 11 + static_cast<int>(random() % 9);
    std::vector<int32_t>& seen = history[valueClass];
    int32_t v = 0;
    switch (random() % 8) {
      case 0:
        v = static_cast<int32_t>(random() % 81) - 40;
        break;
      case 1:
      case 2:
        if (!seen.empty()) {
          const size_t back = random() % std::min<size_t>(seen.size(), 100);
          v = seen[seen.size() - 1 - back];
        }
        break;
      case 3:
        if (!seen.empty()) {
          const size_t back = random() % std::min<size_t>(seen.size(), 3);
          v = static_cast<int32_t>(static_cast<uint32_t>(seen[seen.size() - 1 - back]) +
                                   static_cast<uint32_t>(static_cast<int32_t>(random() % 141) - 70));
        }
        break;
      case 4:
        v = static_cast<int16_t>(random());
        break;
      case 5: {
        const int32_t extremes[] = {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                                    std::numeric_limits<int32_t>::min() + 1, -1, 0, 64, -64, 65, -65};
        v = extremes[random() % 9];
        break;
      }
      default:
        v = static_cast<int32_t>(random());
    }
    seen.push_back(v);
    values.push_back({valueClass, v});
  }
  return values;
}

std::vector<uint8_t> Content(const DATA_BUFFER& b) { return std::vector<uint8_t>(b.data(), b.cursor); }

TEST(ValueCoder, ManyValuesOfEveryClassReadBackExactly) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const std::vector<CODED_VALUE> values = MixedValues(seed, 20000);
    // Written as the encoder writes them: one stream per class (17 and 18
    // together), one cache per class, one stream of long values.
    std::vector<std::unique_ptr<DATA_BUFFER>> out(21);
    for (int k = 12; k <= 20; ++k) out[k] = std::make_unique<DATA_BUFFER>(64, 2);
    VALUE_CACHE putCaches[kValueClassCount];
    for (const CODED_VALUE& c : values) {
      PutValue(c.valueClass, c.value, putCaches[c.valueClass - kFirstValueClass], *out[ValueStream(c.valueClass)],
               *out[20]);
    }
    std::vector<std::vector<uint8_t>> bytes(21);
    std::vector<STREAM_READER> in(21);
    for (int k = 12; k <= 20; ++k) {
      bytes[k] = Content(*out[k]);
      in[k] = ReaderOver(bytes[k]);
    }
    VALUE_CACHE getCaches[kValueClassCount];
    for (size_t n = 0; n < values.size(); ++n) {
      const CODED_VALUE& c = values[n];
      const int32_t v = GetValue(getCaches[c.valueClass - kFirstValueClass], in[ValueStream(c.valueClass)], in[20]);
      ASSERT_EQ(v, c.value) << "seed " << seed << ", value " << n << ", class " << c.valueClass;
    }
    for (int k = 12; k <= 20; ++k) {
      EXPECT_FALSE(in[k].damaged || in[k].outOfStep) << "stream " << k;
      EXPECT_EQ(in[k].cursor, in[k].end) << "stream " << k << " not read to its end";
    }
    for (int c = 0; c < kValueClassCount; ++c) {
      EXPECT_EQ(memcmp(putCaches[c].slots, getCaches[c].slots, sizeof(int32_t) * (VALUE_CACHE::kSlots - 1)), 0)
          << "cache of class " << c + kFirstValueClass;
    }
  }
}

TEST(ValueCoder, EveryCodeKindOccursInTheMixedValues) {
  // The round trip above only proves something for the codes it meets.
  const std::vector<CODED_VALUE> values = MixedValues(1, 20000);
  DATA_BUFFER stream(64, 2), longs(64, 6);
  VALUE_CACHE caches[kValueClassCount];
  bool seen[6] = {};  // short, long, deep hit, hit, slot 2, slot 1 / slot 0
  for (const CODED_VALUE& c : values) {
    const int32_t mark = static_cast<int32_t>(stream.cursor - stream.data());
    PutValue(c.valueClass, c.value, caches[c.valueClass - kFirstValueClass], stream, longs);
    const int code = stream.data()[mark];
    seen[code < 63 ? 0 : code == 63 ? 1 : code == 64 ? 2 : code < 77 ? 3 : code < 94 ? 4 : 5] = true;
  }
  for (int k = 0; k < 6; ++k) EXPECT_TRUE(seen[k]) << "code kind " << k;
}

// --- Codes that no encoder writes --------------------------------------------

TEST(ValueCoder, ADeepHitIndexByteOutsideSixtyFiveToOneHundredTwentyEightIsDamage) {
  VALUE_CACHE filled;
  for (int i = 0; i < VALUE_CACHE::kSlots - 1; ++i) filled.slots[i] = 1000 + i;
  const std::vector<uint8_t> none;
  for (int index : {0, 50, 64, 129, 130, 255}) {
    const std::vector<uint8_t> code = {64, static_cast<uint8_t>(index)};
    STREAM_READER in = ReaderOver(code), longs = ReaderOver(none);
    VALUE_CACHE cache = filled;
    GetValue(cache, in, longs);
    EXPECT_TRUE(in.damaged) << "index byte " << index;
  }
  for (int index : {65, 128}) {
    const std::vector<uint8_t> code = {64, static_cast<uint8_t>(index)};
    STREAM_READER in = ReaderOver(code), longs = ReaderOver(none);
    VALUE_CACHE cache = filled;
    EXPECT_EQ(GetValue(cache, in, longs), 1000 + index - 50);
    EXPECT_FALSE(in.damaged) << "index byte " << index;
    EXPECT_EQ(cache.slots[0], 1000 + index - 50);
  }
}

TEST(ValueCoder, ALongValueMustBeginWithZero) {
  const std::vector<uint8_t> code = {63};
  std::vector<uint8_t> longForm = {0, 2, 64, 72, 80, 88, 96, 104, 112, 123, 131, 134, 138, 140};
  {
    STREAM_READER in = ReaderOver(code), longs = ReaderOver(longForm);
    VALUE_CACHE cache;
    EXPECT_EQ(GetValue(cache, in, longs), 1000);
    EXPECT_FALSE(longs.outOfStep || longs.damaged);
  }
  longForm[0] = 1;
  STREAM_READER in = ReaderOver(code), longs = ReaderOver(longForm);
  VALUE_CACHE cache;
  GetValue(cache, in, longs);
  EXPECT_TRUE(longs.outOfStep);
}

TEST(ValueCoder, ReadingPastTheEndOfAStreamIsDamage) {
  const std::vector<uint8_t> none, deep = {64};
  {
    STREAM_READER in = ReaderOver(none), longs = ReaderOver(none);
    VALUE_CACHE cache;
    GetValue(cache, in, longs);
    EXPECT_TRUE(in.damaged);
  }
  {
    STREAM_READER in = ReaderOver(deep), longs = ReaderOver(none);  // the index byte is missing
    VALUE_CACHE cache;
    GetValue(cache, in, longs);
    EXPECT_TRUE(in.damaged);
  }
  const std::vector<uint8_t> code = {63}, cut = {0, 2, 64, 72};
  STREAM_READER in = ReaderOver(code), longs = ReaderOver(cut);
  VALUE_CACHE cache;
  GetValue(cache, in, longs);
  EXPECT_TRUE(longs.damaged);
}

}  // namespace
}  // namespace zubreca
