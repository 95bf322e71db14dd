#include "model/range_coder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace zubreca {
namespace {

struct Decision {
  bool hit;
  uint32_t weight;
  uint32_t total;
};

// Expected coded bytes, computed independently of the coder's cache and
// held-back bytes: low is kept as an exact big number, one base-256 digit
// per coded byte. After s normalising shifts the coder's 32-bit window is
// digits s+1 .. s+4, with the carry going into digit s; digit 0 is the
// initial cache. A "no" adds bound into that window and lets the carry run
// as far left as it must. Flushing writes the last four window digits.
struct ReferenceCoding {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> shiftsBefore;  // normalising shifts before each decision
};

ReferenceCoding ReferenceEncode(const std::vector<Decision>& decisions) {
  ReferenceCoding out;
  std::vector<uint8_t>& digits = out.bytes;
  uint32_t range = 0xFFFFFFFFu;
  uint32_t shifts = 0;
  for (const Decision& d : decisions) {
    while (range < (1u << 24)) {
      ++shifts;
      range <<= 8;
    }
    out.shiftsBefore.push_back(shifts);
    if (digits.size() < shifts + 5) digits.resize(shifts + 5, 0);
    const uint32_t bound = d.weight * (range / d.total);
    if (d.hit) {
      range = bound;
      continue;
    }
    range -= bound;
    uint32_t carry = 0;
    for (int j = 0; j < 4; ++j) {
      const size_t pos = shifts + 4 - j;
      const uint32_t sum = digits[pos] + ((bound >> (8 * j)) & 0xFF) + carry;
      digits[pos] = static_cast<uint8_t>(sum);
      carry = sum >> 8;
    }
    for (size_t pos = shifts; carry != 0; --pos) {
      const uint32_t sum = digits[pos] + carry;
      digits[pos] = static_cast<uint8_t>(sum);
      carry = sum >> 8;
      if (pos == 0) {
        ADD_FAILURE() << "carry out of the first byte";
        break;
      }
    }
  }
  digits.resize(shifts + 5, 0);
  return out;
}

struct CoderRun {
  std::vector<uint8_t> bytes;
  uint32_t maxPending = 0;
};

CoderRun EncodeWithCoder(const std::vector<Decision>& decisions) {
  CoderRun run;
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  EXPECT_NE(stream, nullptr);
  if (stream == nullptr) return run;
  RANGE_CODER coder;
  coder.attach(stream);
  coder.startEncoder();
  for (const Decision& d : decisions) {
    coder.encodeDecision(d.hit, d.weight, d.total);
    if (coder.pendingCount > run.maxPending) run.maxPending = coder.pendingCount;
  }
  coder.flush();
  EXPECT_EQ(coder.pendingCount, 0u);
  fclose(stream);
  run.bytes.assign(buffer, buffer + size);
  free(buffer);
  return run;
}

FILE* StreamOf(const std::vector<uint8_t>& bytes) {
  FILE* stream = tmpfile();
  EXPECT_NE(stream, nullptr);
  if (stream == nullptr) return nullptr;
  if (!bytes.empty()) {
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), stream), bytes.size());
  }
  rewind(stream);
  return stream;
}

// Decodes with the weights of `decisions`; also reports how many bytes the
// decoder took from the stream.
std::vector<bool> DecodeWithCoder(const std::vector<uint8_t>& bytes, const std::vector<Decision>& decisions,
                                  long* consumed = nullptr) {
  std::vector<bool> out;
  FILE* stream = StreamOf(bytes);
  if (stream == nullptr) return out;
  RANGE_CODER coder;
  coder.attach(stream);
  coder.startDecoder();
  for (const Decision& d : decisions) out.push_back(coder.decodeDecision(d.weight, d.total));
  if (consumed != nullptr) *consumed = ftell(stream);
  fclose(stream);
  return out;
}

std::vector<bool> HitsOf(const std::vector<Decision>& decisions) {
  std::vector<bool> hits;
  for (const Decision& d : decisions) hits.push_back(d.hit);
  return hits;
}

enum class Totals { kSmall, kNear16Bits, kNear23Bits, kLargest, kMixed };

uint32_t PickTotal(Totals kind, std::mt19937& rng) {
  switch (kind) {
    case Totals::kSmall:
      return 2 + rng() % 4095;
    case Totals::kNear16Bits:
      return (1u << 16) - 64 + rng() % 128;
    case Totals::kNear23Bits:
      return (1u << 23) - 1024 + rng() % 2048;
    case Totals::kLargest:
      return (1u << 24) - 1 - rng() % 16;
    case Totals::kMixed:
      break;
  }
  return PickTotal(static_cast<Totals>(rng() % 4), rng);
}

// Weights 1 and total - 1 are each a quarter of the draws. With `likely`
// the outcome follows the coded probability, otherwise it is a coin toss.
std::vector<Decision> RandomDecisions(uint32_t seed, size_t count, Totals kind, bool likely) {
  std::mt19937 rng(seed);
  std::vector<Decision> decisions;
  decisions.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t total = PickTotal(kind, rng);
    uint32_t weight;
    switch (rng() % 4) {
      case 0:
        weight = 1;
        break;
      case 1:
        weight = total - 1;
        break;
      default:
        weight = 1 + rng() % (total - 1);
    }
    const bool hit = likely ? (rng() % total) < weight : (rng() & 1) != 0;
    decisions.push_back({hit, weight, total});
  }
  return decisions;
}

// Decisions chosen to keep the coder's interval across the next carry
// boundary for long stretches, so that many 0xFF bytes are held back, and
// then to settle it on one side: above the boundary (a carry turns them
// into 0x00) or below it (they stay 0xFF).
std::vector<Decision> StraddlingDecisions(uint32_t seed, size_t count) {
  std::mt19937 rng(seed);
  std::vector<Decision> decisions;
  uint64_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  enum { kRandom, kStraddle, kSettleHigh, kSettleLow } mode = kRandom;
  size_t left = 20;
  constexpr uint64_t kBoundary = 1ull << 32;
  for (size_t i = 0; i < count; ++i) {
    while (range < (1u << 24)) {
      low = (low & 0xFFFFFF) << 8;
      range <<= 8;
    }
    const uint32_t total = 2 + rng() % 255;
    const uint32_t weight = 1 + rng() % (total - 1);
    const uint32_t bound = weight * (range / total);
    const bool straddles = low < kBoundary && low + range > kBoundary;
    bool hit;
    switch (mode) {
      case kStraddle:
        hit = straddles ? low + bound > kBoundary : (rng() & 1) != 0;
        break;
      case kSettleHigh:
        hit = false;
        break;
      case kSettleLow:
        hit = true;
        break;
      default:
        hit = (rng() & 1) != 0;
    }
    decisions.push_back({hit, weight, total});
    if (hit) {
      range = bound;
    } else {
      low += bound;
      range -= bound;
    }
    if (--left == 0) {
      if (mode == kStraddle) {
        mode = (rng() & 1) ? kSettleHigh : kSettleLow;
        left = 30;
      } else if (mode == kRandom) {
        mode = kStraddle;
        left = 400 + rng() % 1200;
      } else {
        mode = kRandom;
        left = 1 + rng() % 50;
      }
    }
  }
  return decisions;
}

size_t LongestRunOf(const std::vector<uint8_t>& bytes, uint8_t value) {
  size_t best = 0, run = 0;
  for (uint8_t b : bytes) {
    run = b == value ? run + 1 : 0;
    if (run > best) best = run;
  }
  return best;
}

// Encodes, compares with the reference bytes, decodes and compares the
// decisions; the decoder must take exactly the coded bytes.
void ExpectRoundTrip(const std::vector<Decision>& decisions) {
  const ReferenceCoding expected = ReferenceEncode(decisions);
  const CoderRun coded = EncodeWithCoder(decisions);
  ASSERT_EQ(coded.bytes.size(), expected.bytes.size());
  ASSERT_EQ(coded.bytes, expected.bytes);
  ASSERT_FALSE(coded.bytes.empty());
  EXPECT_EQ(coded.bytes[0], 0);
  long consumed = -1;
  EXPECT_EQ(DecodeWithCoder(coded.bytes, decisions, &consumed), HitsOf(decisions));
  EXPECT_EQ(consumed, static_cast<long>(coded.bytes.size()));
}

TEST(RangeCoder, NoDecisionsFlushFiveZeroBytes) {
  ExpectRoundTrip({});
  EXPECT_EQ(EncodeWithCoder({}).bytes, std::vector<uint8_t>(5, 0));
}

TEST(RangeCoder, SingleDecisionsByHand) {
  // "No" at weight 1 of 2: range / 2 = 0x7FFFFFFF becomes low; the stream
  // is the initial cache byte followed by low.
  EXPECT_EQ(EncodeWithCoder({{false, 1, 2}}).bytes, (std::vector<uint8_t>{0x00, 0x7F, 0xFF, 0xFF, 0xFF}));
  // "Yes" takes the lower part: low stays 0.
  EXPECT_EQ(EncodeWithCoder({{true, 1, 2}}).bytes, std::vector<uint8_t>(5, 0));
  // "No" at weight 3 of 4: low = 3 * 0x3FFFFFFF = 0xBFFFFFFD.
  EXPECT_EQ(EncodeWithCoder({{false, 3, 4}}).bytes, (std::vector<uint8_t>{0x00, 0xBF, 0xFF, 0xFF, 0xFD}));
}

TEST(RangeCoder, TruncatedDivisionLossBelongsToNo) {
  // total 3: r = 0x55555555, yes = [0, 2r), no = [2r, 0xFFFFFFFF).
  RANGE_CODER coder;
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  ASSERT_NE(stream, nullptr);
  coder.attach(stream);
  coder.startEncoder();
  coder.encodeDecision(false, 2, 3);
  EXPECT_EQ(coder.low, 0xAAAAAAAAu);
  EXPECT_EQ(coder.range, 0xFFFFFFFFu - 0xAAAAAAAAu);
  coder.flush();
  fclose(stream);
  free(buffer);
}

TEST(RangeCoder, RandomRoundTripsSmallTotals) {
  for (uint32_t seed : {1u, 2u}) {
    SCOPED_TRACE(seed);
    ExpectRoundTrip(RandomDecisions(seed, 200000, Totals::kSmall, true));
    ExpectRoundTrip(RandomDecisions(seed + 100, 200000, Totals::kSmall, false));
  }
}

TEST(RangeCoder, RandomRoundTripsTotalsNear16Bits) {
  ExpectRoundTrip(RandomDecisions(3, 200000, Totals::kNear16Bits, true));
  ExpectRoundTrip(RandomDecisions(4, 200000, Totals::kNear16Bits, false));
}

TEST(RangeCoder, RandomRoundTripsTotalsNear23Bits) {
  ExpectRoundTrip(RandomDecisions(5, 200000, Totals::kNear23Bits, true));
  ExpectRoundTrip(RandomDecisions(6, 200000, Totals::kNear23Bits, false));
}

TEST(RangeCoder, RandomRoundTripsLargestTotals) {
  // Just below 2^24 the quotient range / total can be 1.
  ExpectRoundTrip(RandomDecisions(7, 100000, Totals::kLargest, true));
  ExpectRoundTrip(RandomDecisions(8, 100000, Totals::kLargest, false));
}

TEST(RangeCoder, RandomRoundTripsMixedTotals) {
  ExpectRoundTrip(RandomDecisions(9, 300000, Totals::kMixed, true));
  ExpectRoundTrip(RandomDecisions(10, 300000, Totals::kMixed, false));
}

TEST(RangeCoder, ExtremeWeightsOnly) {
  // Long runs of the improbable outcome shrink the range fastest.
  std::mt19937 rng(11);
  std::vector<Decision> decisions;
  for (int i = 0; i < 100000; ++i) {
    const uint32_t total = PickTotal(Totals::kMixed, rng);
    const bool low = (rng() & 1) != 0;
    decisions.push_back({(rng() % 8) == 0, low ? 1u : total - 1, total});
  }
  ExpectRoundTrip(decisions);
}

TEST(RangeCoder, LongRunsOfHeldBackBytesAndCarries) {
  for (uint32_t seed : {21u, 22u, 23u}) {
    SCOPED_TRACE(seed);
    const std::vector<Decision> decisions = StraddlingDecisions(seed, 200000);
    ExpectRoundTrip(decisions);
    const CoderRun coded = EncodeWithCoder(decisions);
    // The sequences did what they were built for: long held-back runs,
    // released both as 0x00 after a carry and as 0xFF without one.
    EXPECT_GE(coded.maxPending, 100u);
    EXPECT_GE(LongestRunOf(coded.bytes, 0x00), 100u);
    EXPECT_GE(LongestRunOf(coded.bytes, 0xFF), 100u);
  }
}

TEST(RangeCoder, FirstByteStaysZeroWhenTheFirstShiftHoldsBack) {
  // Push low to the top of the first window, so the first shift finds
  // 0xFF in its top byte, then keep choosing the upper part. The interval
  // never reaches past 0xFFFFFFFF in the first window, so no carry can get
  // to the initial cache byte.
  std::vector<Decision> decisions;
  for (int i = 0; i < 60; ++i) decisions.push_back({false, 255, 256});
  for (uint32_t i = 0; i < 2000; ++i) decisions.push_back({false, 1u + i % 200u, 201});
  const ReferenceCoding expected = ReferenceEncode(decisions);
  const CoderRun coded = EncodeWithCoder(decisions);
  ASSERT_EQ(coded.bytes, expected.bytes);
  EXPECT_GE(coded.maxPending, 1u);
  ASSERT_GE(coded.bytes.size(), 2u);
  EXPECT_EQ(coded.bytes[0], 0x00);
  EXPECT_EQ(coded.bytes[1], 0xFF);
  EXPECT_EQ(DecodeWithCoder(coded.bytes, decisions), HitsOf(decisions));
}

TEST(RangeCoder, RestartedCoderCodesEachBufferOnItsOwn) {
  const std::vector<Decision> first = StraddlingDecisions(31, 5000);
  const std::vector<Decision> second = RandomDecisions(32, 5000, Totals::kMixed, true);
  std::vector<uint8_t> expected = ReferenceEncode(first).bytes;
  const std::vector<uint8_t> tail = ReferenceEncode(second).bytes;
  expected.insert(expected.end(), tail.begin(), tail.end());

  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  ASSERT_NE(stream, nullptr);
  RANGE_CODER coder;
  coder.attach(stream);
  for (const auto* part : {&first, &second}) {
    coder.startEncoder();
    for (const Decision& d : *part) coder.encodeDecision(d.hit, d.weight, d.total);
    coder.flush();
  }
  fclose(stream);
  const std::vector<uint8_t> coded(buffer, buffer + size);
  free(buffer);
  ASSERT_EQ(coded, expected);

  FILE* input = StreamOf(coded);
  ASSERT_NE(input, nullptr);
  coder.attach(input);
  for (const auto* part : {&first, &second}) {
    coder.startDecoder();
    std::vector<bool> hits;
    for (const Decision& d : *part) hits.push_back(coder.decodeDecision(d.weight, d.total));
    EXPECT_EQ(hits, HitsOf(*part));
  }
  EXPECT_EQ(getc(input), EOF);
  fclose(input);
}

TEST(RangeCoder, TruncatedStreamReadsAllOnesAndDecodesNo) {
  const std::vector<Decision> decisions = RandomDecisions(41, 20000, Totals::kMixed, true);
  const ReferenceCoding reference = ReferenceEncode(decisions);
  const CoderRun coded = EncodeWithCoder(decisions);
  ASSERT_EQ(coded.bytes, reference.bytes);
  const size_t full = coded.bytes.size();
  for (size_t length : {size_t{0}, size_t{3}, size_t{4}, size_t{5}, size_t{6}, full / 3, full / 2, full - 2, full - 1}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> cut(coded.bytes.begin(), coded.bytes.begin() + length);
    // Decisions made before the decoder ran out are right; once it has
    // merged in a -1, code is all ones and every answer is "no".
    std::vector<bool> expected;
    for (size_t i = 0; i < decisions.size(); ++i) {
      expected.push_back(5 + reference.shiftsBefore[i] <= length ? decisions[i].hit : false);
    }
    long consumed = -1;
    EXPECT_EQ(DecodeWithCoder(cut, decisions, &consumed), expected);
    EXPECT_EQ(consumed, static_cast<long>(length));
  }
}

TEST(RangeCoder, EmptyStreamGivesAllOnesCode) {
  FILE* stream = StreamOf({});
  ASSERT_NE(stream, nullptr);
  RANGE_CODER coder;
  coder.attach(stream);
  coder.startDecoder();
  EXPECT_EQ(coder.code, 0xFFFFFFFFu);
  EXPECT_EQ(coder.range, 0xFFFFFFFFu);
  for (uint32_t i = 0; i < 1000; ++i) {
    EXPECT_FALSE(coder.decodeDecision(1 + i % 100, 101));
    EXPECT_GE(coder.code, coder.range);
  }
  fclose(stream);
}

TEST(RangeCoder, DecoderStartsFromFiveBytes) {
  FILE* stream = StreamOf({0x00, 0x12, 0x34, 0x56, 0x78, 0x9A});
  ASSERT_NE(stream, nullptr);
  RANGE_CODER coder;
  coder.attach(stream);
  coder.startDecoder();
  // The first byte only fills the part that falls out of the 32 bits.
  EXPECT_EQ(coder.code, 0x12345678u);
  EXPECT_EQ(ftell(stream), 5);
  fclose(stream);
}

// The cost clock: encoder and decoder read the same value after every
// decision, and its steps follow -log2 of the coded probabilities to within
// the 1/16 bit of its resolution and its linear reading of the fraction.
TEST(RangeCoder, SpentSixteenthsIsTheSameOnBothSidesAndMeasuresTheCost) {
  // Small totals leave the truncated division nothing to lose worth
  // counting.
  const std::vector<Decision> decisions = RandomDecisions(7, 20000, Totals::kSmall, true);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  ASSERT_NE(out, nullptr);
  RANGE_CODER encoder;
  encoder.attach(out);
  encoder.startEncoder();
  std::vector<uint32_t> spent;
  double bits = 0;
  const uint32_t start = encoder.spentSixteenths();
  for (const Decision& d : decisions) {
    encoder.encodeDecision(d.hit, d.weight, d.total);
    spent.push_back(encoder.spentSixteenths());
    const double p = static_cast<double>(d.weight) / d.total;
    bits -= std::log2(d.hit ? p : 1 - p);
  }
  encoder.flush();
  fclose(out);
  const std::vector<uint8_t> bytes(buffer, buffer + size);
  free(buffer);
  EXPECT_NEAR((spent.back() - start) / 16.0, bits, 0.2);

  FILE* in = StreamOf(bytes);
  ASSERT_NE(in, nullptr);
  RANGE_CODER decoder;
  decoder.attach(in);
  decoder.startDecoder();
  EXPECT_EQ(decoder.spentSixteenths(), start);
  for (size_t i = 0; i < decisions.size(); ++i) {
    ASSERT_EQ(decoder.decodeDecision(decisions[i].weight, decisions[i].total), decisions[i].hit);
    ASSERT_EQ(decoder.spentSixteenths(), spent[i]) << "decision " << i;
  }
  fclose(in);

  // One decision of probability 1/4 costs 2 bits, 32 sixteenths, give or
  // take the reading of the fraction.
  RANGE_CODER quarter;
  quarter.startEncoder();
  quarter.range = 1u << 30;
  const uint32_t before = quarter.spentSixteenths();
  quarter.encodeDecision(true, 1, 4);
  EXPECT_EQ(quarter.spentSixteenths() - before, 32u);
}

}  // namespace
}  // namespace zubreca
