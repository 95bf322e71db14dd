#include "model/estimators.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zubreca {

ESTIMATOR_TABLES tables;

namespace {

// The tables are stored column by column (table[column][row]).
template <int Rows, int Bits>
void SeedRows(BIT_ESTIMATE (&table)[1 << Bits][Rows], int seededRows, const int* seeds,
              const int* weights) {
  for (int c = 0; c < (1 << Bits); ++c)
    for (int r = 0; r < Rows; ++r) table[c][r] = BIT_ESTIMATE{0, 0, 0, 1024};
  for (int c = 0; c < (1 << Bits); ++c) {
    int v = 0;
    for (int j = 0; j < Bits; ++j)
      if (c & (1 << j)) v += weights[j];
    for (int r = 2; r < seededRows + 2; ++r) {
      const int e = std::clamp(seeds[r - 2] + v, 9, 241);
      table[c][r] = BIT_ESTIMATE{static_cast<uint16_t>(72 * e), static_cast<uint16_t>(128 * e),
                                 0x4800, 5120};
    }
  }
}

constexpr int kOneLowSeeds[13] = {49, 71, 92, 105, 116, 121, 129, 126, 149, 147, 155, 151, 161};
constexpr int kOneLowWeights[14] = {10, -19, -24, 17, 34, 27, 2, 5, 2, 21, 20, -16, 17, 30};
constexpr int kOneHighSeeds[12] = {221, 212, 225, 223, 230, 229, 227, 224, 218, 234, 240, 240};
constexpr int kOneHighWeights[8] = {15, 17, -13, 16, 5, 18, -18, 4};
constexpr int kCandidateSeeds[24] = {1,  2,  5,  1,  2,  5,  0,  5,   20,  18,  24,  24,
                                     39, 44, 64, 65, 77, 90, 99, 99, 124, 137, 174, 203};
constexpr int kCandidateWeights[13] = {5, -4, 12, 7, 47, 1, 16, 0, -3, 25, 5, 11, -2};

template <size_t N>
void FillGains(GAIN_RECORD (&cells)[N], int32_t gain, int32_t norm) {
  std::fill(cells, cells + N, GAIN_RECORD{gain, norm});
}

}  // namespace

void ESTIMATOR_TABLES::reset() {
  // Seeded in place: a copy kept to restore them from would cost a first
  // use of 4 MB more pages.
  SeedRows<kOneLowRows, kOneLowBits>(oneSymbolLow, 13, kOneLowSeeds, kOneLowWeights);
  SeedRows<kOneHighRows, kOneHighBits>(oneSymbolHigh, 12, kOneHighSeeds, kOneHighWeights);
  SeedRows<kCandidateRows, kCandidateBits>(candidate, 24, kCandidateSeeds, kCandidateWeights);
  for (auto& row : escapeMain)
    for (auto& cell : row) cell = ESCAPE_ESTIMATE{0x3800, 0x800, 0x800};
  for (auto& row : escapeSide)
    for (auto& cell : row) cell = ESCAPE_ESTIMATE{0x6000, 0x800, 0x800};
  FillGains(stage1, 0x2000, 0x6000);
  FillGains(stage4, 0, 0x40000);
  FillGains(stage5, 0, 0x80000);
  constexpr GAIN_RECORD kSymbolStageStart{0, 0};  // gain 0, norm kSymbolStageNorm
  used.replay(
      [&](uint32_t index) {
        if (index & kStage3Tag)
          stage3[index & ~kStage3Tag] = kSymbolStageStart;
        else
          stage2[index] = kSymbolStageStart;
      },
      [&] {
        std::memset(stage2, 0, sizeof stage2);
        std::memset(stage3, 0, sizeof stage3);
      });
}

void RefreshBitEstimate(BIT_ESTIMATE& r) {
  const uint32_t total = r.total;
  uint32_t p = (static_cast<uint32_t>(r.hits) * 32768u + total / 2) / total;
  p = std::clamp<uint32_t>(p, 1, 0x7FFF);
  const uint32_t old = r.prob;
  const uint64_t g = std::min<uint32_t>(r.rate, 4096);
  const int64_t diff = static_cast<int64_t>(old) - static_cast<int64_t>(p);
  const uint64_t diff2 = static_cast<uint64_t>(diff * diff);
  uint64_t m = ((((old + p) * static_cast<uint64_t>(0x10000 - p - old)) >> 11) * r.rate) >> 4;
  if (m == 0) m = 1;
  uint64_t o;
  if (2 * diff2 > 3 * m) {
    o = 0x2000;
  } else {
    const int s = (g > 24 && g < 4096) ? 1 : 14;
    o = std::min<uint64_t>((((m >> s) + 6 * diff2) / m + 1) * g, 0x2000);
  }
  uint32_t rate;
  if (o > 64 || o > r.rate)
    rate = static_cast<uint32_t>(o / 2);
  else if (o > 32)
    rate = static_cast<uint32_t>(o - 8);
  else
    rate = static_cast<uint32_t>(o - (o > 1) - (o > 9));
  const int a = 2 * r.hits < static_cast<int>(total) ? 1 : -1;
  if (rate > 2) {
    r.hits = static_cast<uint16_t>(std::max(0, (r.hits + a) / 2));
    r.total = static_cast<uint16_t>(total / 2);
  } else {
    r.hits = static_cast<uint16_t>(std::max(0, (2 * r.hits + a) / 3));
    r.total = static_cast<uint16_t>(2 * total / 3);
  }
  r.rate = static_cast<uint16_t>(std::max<uint32_t>(rate, 1));
  r.prob = static_cast<uint16_t>(p);
}

void RefreshEscapeEstimate(ESCAPE_ESTIMATE& r, uint32_t k, uint32_t freqSum) {
  const uint64_t count = r.count ? r.count : 1;
  uint32_t rate = static_cast<uint32_t>(
      std::min<uint64_t>((r.sum / (9 * count) + 1) * r.rate, 0x800));
  const uint64_t cap = (count / (k + 1)) * (static_cast<uint64_t>(freqSum) * (255 - k) / (k + 1));
  uint64_t sum = std::min<uint64_t>(r.sum, cap);
  sum -= sum / 2;
  uint32_t c = std::max<uint32_t>(r.count, 12 * (k + 1));
  c -= c / 2;
  if (rate > 1024) {
    sum -= sum / 2;
    c -= c / 2;
    rate /= 2;
  } else if (rate > 512) {
    rate -= 128;
  } else if (rate > 64) {
    rate -= 32;
  } else if (rate > 32) {
    rate -= 1;
  }
  r.sum = static_cast<uint32_t>(sum);
  r.count = static_cast<uint16_t>(std::max<uint32_t>(c, 1));
  r.rate = static_cast<uint16_t>(std::max<uint32_t>(rate, 1));
}

namespace {

struct STAGE_RULE {
  bool adjustsWeight;  // stages 1 to 3 move w and t; 4 and 5 move t only
  int64_t high;
  int32_t halveAbove;
  int32_t normStep;
  int32_t normBase;  // a cell stores its norm less this
};
constexpr STAGE_RULE kStages[5] = {
    {true, 0x4000, 0x400000, 14, 0},
    {true, 0x10000, 0x40000, 672, kSymbolStageNorm},
    {true, 0x40000, 0x200000, 16, kSymbolStageNorm},
    {false, 0x80000, 0x400000, 6, 0},
    {false, 0x80000, 0x400000, 19, 0},
};

// Truncating division; the 32-bit form is much cheaper and gives the same
// quotient whenever the dividend fits.
inline int64_t Quotient(int64_t dividend, int32_t divisor) {
  if (dividend == static_cast<int32_t>(dividend)) return static_cast<int32_t>(dividend) / divisor;
  return dividend / divisor;
}

// One stage: d is computed from the cell and clamped so that 1 <= w < t
// stays true; the cell takes in what entered it before the step is applied.
template <int K>
inline void ApplyStage(GAIN_RECORD& cell, uint32_t& w, uint32_t& t) {
  constexpr STAGE_RULE rule = kStages[K];
  int32_t norm = cell.norm + rule.normBase;
  const int64_t product = static_cast<int64_t>(cell.gain) * (rule.adjustsWeight ? w : t - w);
  int64_t d = Quotient(product, norm);
  if constexpr (rule.adjustsWeight)
    d = std::clamp<int64_t>(d, 1 - static_cast<int64_t>(w), rule.high);
  else
    d = std::clamp<int64_t>(d, static_cast<int64_t>(w) - t + 1, rule.high);
  if (std::abs(cell.gain) > rule.halveAbove) {
    cell.gain >>= 1;
    if (norm > 4096) norm >>= 1;
  }
  cell.gain += rule.adjustsWeight ? static_cast<int32_t>(t - w) : static_cast<int32_t>(w);
  cell.norm = norm + rule.normStep - rule.normBase;
  if constexpr (rule.adjustsWeight) w = static_cast<uint32_t>(w + d);
  t = static_cast<uint32_t>(t + d);
}

// Stages 1 to 3 learn from a refusal, 4 and 5 from a hit: the cell gives
// back the total that entered it and its norm takes in the entering weight
// of the outcome that happened.
template <int K>
inline void LearnStage(GAIN_RECORD& cell, bool hit, uint32_t enterW, uint32_t enterT) {
  constexpr bool adjustsWeight = kStages[K].adjustsWeight;
  constexpr int32_t base = kStages[K].normBase;
  if (hit == adjustsWeight) return;
  cell.gain -= static_cast<int32_t>(enterT);
  int32_t norm = cell.norm + base + static_cast<int32_t>(adjustsWeight ? enterW : enterT - enterW);
  if (norm > (adjustsWeight ? 0x40000000 : 0x20000000)) {
    cell.gain >>= 1;
    norm >>= 1;
  }
  cell.norm = norm - base;
}

using ALL_STAGES = std::integer_sequence<int, 0, 1, 2, 3, 4>;
using LIGHT_STAGES = std::integer_sequence<int, 0, 3, 4>;

}  // namespace

template <int... K>
inline void CORRECTION_STAGES::applyStages(std::integer_sequence<int, K...>, GAIN_RECORD* const cells[5],
                                           uint32_t& w, uint32_t& t) {
  ((used[K] = cells[K], enterW[K] = w, enterT[K] = t, ApplyStage<K>(*cells[K], w, t)), ...);
}

template <int... K>
inline void CORRECTION_STAGES::learnStages(std::integer_sequence<int, K...>, bool hit) {
  (LearnStage<K>(*used[K], hit, enterW[K], enterT[K]), ...);
}

// The weights go through the stages in locals: through the references the
// compiler would store and reload them around every cell's update, which
// might alias them, and each stage waits on the one before.
void CORRECTION_STAGES::apply(GAIN_RECORD* const cells[5], uint32_t& w, uint32_t& t) {
  uint32_t localW = w, localT = t;
  applyStages(ALL_STAGES{}, cells, localW, localT);
  w = localW;
  t = localT;
}
void CORRECTION_STAGES::learn(bool hit) { learnStages(ALL_STAGES{}, hit); }
void CORRECTION_STAGES::applyLight(GAIN_RECORD* const cells[5], uint32_t& w, uint32_t& t) {
  applyStages(LIGHT_STAGES{}, cells, w, t);
}
void CORRECTION_STAGES::learnLight(bool hit) { learnStages(LIGHT_STAGES{}, hit); }

}  // namespace zubreca
