// The estimator tables: the quantiser of rows, and the reset that restores
// the large correction stages only where they were used.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "model/estimators.h"

namespace zubreca {
namespace {

TEST(ClassOf, QuantisesCountsIntoRowsOneToTwentyFour) {
  EXPECT_EQ(CLASS_OF[0], 1);
  EXPECT_EQ(CLASS_OF[1], 2);
  EXPECT_EQ(CLASS_OF[2], 3);
  EXPECT_EQ(CLASS_OF[3], 4);
  EXPECT_EQ(CLASS_OF[4], 4);
  EXPECT_EQ(CLASS_OF[5], 5);
  EXPECT_EQ(CLASS_OF[7], 5);
  EXPECT_EQ(CLASS_OF[232], 23);
  EXPECT_EQ(CLASS_OF[233], 24);
  EXPECT_EQ(CLASS_OF[255], 24);
  // Each value v from 4 to 23 repeats v - 2 times.
  for (int v = 4; v <= 23; ++v) {
    int count = 0;
    for (int q = 0; q < 256; ++q) count += CLASS_OF[q] == v;
    EXPECT_EQ(count, v - 2) << v;
  }
}

std::vector<uint8_t> Snapshot(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + n);
}

// Writes into `count` cells of both symbol stages through the logging
// accessors, spread over the tables.
void Scribble(uint32_t count) {
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t i = (k * 2654435761u) >> 12;
    tables.stage2Cell(i % kStage2Cells)->gain = static_cast<int32_t>(k + 1);
    tables.stage3Cell(i % kStage3Cells)->norm = 7;
  }
  tables.stage1[5].gain = 99;
  tables.candidateCell(3, 7).hits = 1234;
}

TEST(EstimatorTables, ResetRestoresUsedCellsWithOrWithoutTheLog) {
  tables.reset();
  const auto stage1 = Snapshot(tables.stage1, sizeof tables.stage1);
  const auto stage2 = Snapshot(tables.stage2, sizeof tables.stage2);
  const auto stage3 = Snapshot(tables.stage3, sizeof tables.stage3);
  const auto candidate = Snapshot(tables.candidate, sizeof tables.candidate);
  // Stages 2 and 3 store their norm less kSymbolStageNorm, so that their
  // cells start all zero, as in zeroed static storage.
  EXPECT_EQ(tables.stage2[12345].gain, 0);
  EXPECT_EQ(tables.stage2[12345].norm, 0);
  EXPECT_EQ(tables.stage2[12345].norm + kSymbolStageNorm, 0x40000);
  EXPECT_EQ(tables.stage1[0].gain, 0x2000);
  EXPECT_EQ(tables.candidateCell(2, 0).total, 0x4800);

  // A few cells: restored from the log.
  Scribble(1000);
  tables.reset();
  EXPECT_EQ(Snapshot(tables.stage2, sizeof tables.stage2), stage2);
  EXPECT_EQ(Snapshot(tables.stage3, sizeof tables.stage3), stage3);
  EXPECT_EQ(Snapshot(tables.stage1, sizeof tables.stage1), stage1);
  EXPECT_EQ(Snapshot(tables.candidate, sizeof tables.candidate), candidate);

  // More uses than the log holds: the whole stages are filled again.
  Scribble(600000);
  tables.reset();
  EXPECT_EQ(Snapshot(tables.stage2, sizeof tables.stage2), stage2);
  EXPECT_EQ(Snapshot(tables.stage3, sizeof tables.stage3), stage3);

  // And the log works again after an overflow.
  Scribble(10);
  tables.reset();
  EXPECT_EQ(Snapshot(tables.stage2, sizeof tables.stage2), stage2);
  EXPECT_EQ(Snapshot(tables.stage3, sizeof tables.stage3), stage3);
}

// Seeded cells hold e = seed + the weights of the column's set bits,
// clamped to 9..241, as hits 72e and prob 128e of a total 0x4800; the rows
// around the seeded ones start empty with rate 1024.
TEST(EstimatorTables, SeededCellsFollowTheirSeedsAndBitWeights) {
  tables.reset();
  auto expectSeeded = [](const BIT_ESTIMATE& cell, int e) {
    EXPECT_EQ(cell.hits, 72 * e);
    EXPECT_EQ(cell.prob, 128 * e);
    EXPECT_EQ(cell.total, 0x4800);
    EXPECT_EQ(cell.rate, 5120);
  };
  expectSeeded(tables.candidateCell(2, 0), 9);             // seed 1, raised to 9
  expectSeeded(tables.candidateCell(2, 1u << 4), 48);      // 1 + 47
  expectSeeded(tables.candidateCell(25, 1u << 1), 199);    // 203 - 4
  expectSeeded(tables.candidateCell(16, 0x1FFF), 184);     // 64 + 120
  expectSeeded(tables.oneLow(14, 0x3FFF), 241);            // 161 + 126, clamped
  expectSeeded(tables.oneLow(3, 1u << 2 | 1u << 1), 28);   // 71 - 19 - 24
  expectSeeded(tables.oneHigh(13, 1u << 6), 222);          // 240 - 18
  for (const BIT_ESTIMATE& empty : {tables.candidateCell(0, 5), tables.candidateCell(27, 5),
                                    tables.oneLow(16, 9), tables.oneHigh(1, 9)}) {
    EXPECT_EQ(empty.hits, 0);
    EXPECT_EQ(empty.total, 0);
    EXPECT_EQ(empty.rate, 1024);
  }
}

}  // namespace
}  // namespace zubreca
