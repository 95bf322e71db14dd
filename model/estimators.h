// Adaptive tables that turn the context statistics into the weights of the
// coded decisions: primary bit estimates, escape estimates and the gain
// cells of the five correction stages.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "model/used_slot_log.h"

namespace zubreca {

struct BIT_ESTIMATE {
  uint16_t hits;   // weighted count of "yes"
  uint16_t prob;   // probability of "yes" at the last refresh, units of 2^-15
  uint16_t total;  // weighted count of all uses
  uint16_t rate;   // weight added per use
};

struct ESCAPE_ESTIMATE {
  uint32_t sum;    // accumulated escape weight
  uint16_t count;  // accumulated uses
  uint16_t rate;   // weight per use
};

struct GAIN_RECORD {
  int32_t gain;
  int32_t norm;  // in stages 2 and 3, less kSymbolStageNorm
};

// The norm the cells of stages 2 and 3 start with. They store their norm
// less it, so that a cell starts all zero: the tables, 32 MB, then start
// in their reset state in zeroed static storage, and a short buffer maps
// only the pages it touches.
constexpr int32_t kSymbolStageNorm = 0x40000;

constexpr int kOneLowRows = 17, kOneLowBits = 14;
constexpr int kOneHighRows = 16, kOneHighBits = 8;
constexpr int kCandidateRows = 28, kCandidateBits = 13;
constexpr int kEscapeRows = 26, kEscapeBits = 10, kEscapeSideBits = 8;
constexpr int kStage1Cells = 196608, kStage2Cells = 1 << 20, kStage3Cells = 3 << 20;
constexpr int kStage4Cells = 98304, kStage5Cells = 86016;

struct ESTIMATOR_TABLES {
  // The bit estimates are stored column by column: a decision reads its
  // cell and the cells of the rows beside it, which then share cache lines.
  BIT_ESTIMATE oneSymbolLow[1 << kOneLowBits][kOneLowRows];
  BIT_ESTIMATE oneSymbolHigh[1 << kOneHighBits][kOneHighRows];
  BIT_ESTIMATE candidate[1 << kCandidateBits][kCandidateRows];
  ESCAPE_ESTIMATE escapeMain[kEscapeRows][1 << kEscapeBits];
  ESCAPE_ESTIMATE escapeSide[kEscapeRows][1 << kEscapeSideBits];
  GAIN_RECORD stage1[kStage1Cells];
  GAIN_RECORD stage2[kStage2Cells];
  GAIN_RECORD stage3[kStage3Cells];
  GAIN_RECORD stage4[kStage4Cells];
  GAIN_RECORD stage5[kStage5Cells];

  BIT_ESTIMATE& oneLow(int row, uint32_t column) { return oneSymbolLow[column][row]; }
  BIT_ESTIMATE& oneHigh(int row, uint32_t column) { return oneSymbolHigh[column][row]; }
  BIT_ESTIMATE& candidateCell(int row, uint32_t column) { return candidate[column][row]; }

  // Sets every table to its initial value. The two large symbol-keyed
  // stages are restored cell by cell from the log of cells used since the
  // last reset, so that a short buffer does not pay for 32 MB of stores.
  void reset();

  GAIN_RECORD* stage2Cell(uint32_t index) {
    used.note(index);
    return &stage2[index];
  }
  GAIN_RECORD* stage3Cell(uint32_t index) {
    used.note(index | kStage3Tag);
    return &stage3[index];
  }

 private:
  static constexpr uint32_t kStage3Tag = 1u << 31;

  USED_SLOT_LOG<1u << 18, true> used;
};

extern ESTIMATOR_TABLES tables;

// Quantiser of small counts and ratios into rows: 0, 1 and 2 get 1, 2 and 3;
// then each value v = 4 .. 23 repeats v - 2 times; the rest is 24.
constexpr std::array<uint8_t, 256> MakeClassOf() {
  std::array<uint8_t, 256> v{};
  v[0] = 1;
  v[1] = 2;
  v[2] = 3;
  int i = 3;
  for (int value = 4; value <= 23; ++value)
    for (int k = 0; k < value - 2; ++k) v[i++] = static_cast<uint8_t>(value);
  while (i < 256) v[i++] = 24;
  return v;
}
inline constexpr std::array<uint8_t, 256> CLASS_OF = MakeClassOf();

void RefreshBitEstimate(BIT_ESTIMATE& r);
void RefreshEscapeEstimate(ESCAPE_ESTIMATE& r, uint32_t lastIndex, uint32_t freqSum);

// The five correction stages. `apply` refines (w, t) with one cell and
// remembers what entered it; `learn` updates the remembered cells with the
// outcome of the decision. The light pair runs stages 1, 4 and 5 only, for
// decisions whose symbol-keyed cells (stages 2 and 3, in tables far larger
// than the caches) are not worth their cache misses; cells[1] and cells[2]
// are not read.
class CORRECTION_STAGES {
 public:
  void apply(GAIN_RECORD* const cells[5], uint32_t& w, uint32_t& t);
  void learn(bool hit);
  void applyLight(GAIN_RECORD* const cells[5], uint32_t& w, uint32_t& t);
  void learnLight(bool hit);

 private:
  template <int... K>
  void applyStages(std::integer_sequence<int, K...>, GAIN_RECORD* const cells[5], uint32_t& w, uint32_t& t);
  template <int... K>
  void learnStages(std::integer_sequence<int, K...>, bool hit);

  GAIN_RECORD* used[5] = {};
  uint32_t enterW[5] = {};
  uint32_t enterT[5] = {};
};

}  // namespace zubreca
