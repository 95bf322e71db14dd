#include "tricks/segment_cost.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zubreca {

namespace {

constexpr uint32_t kSmallestTable = 67584;
constexpr uint32_t kLargestTable = 52428800;  // a chunk: no count is larger
constexpr int kOverheadBytes = 91;
// The model term counts 65536 cells and the multiples of 32 among the
// counts: up to 64 more than the largest table of small files.
constexpr uint32_t kModelTermReach = 64;
constexpr uint32_t kDirectSlopes = 1u << 18;

long double NLogN(uint32_t n) { return n < 2 ? 0.0L : static_cast<long double>(n) * logl(static_cast<long double>(n)); }

}  // namespace

COST_TABLE::COST_TABLE(uint32_t fileLength) {
  const uint32_t n = std::clamp(fileLength, kSmallestTable, kLargestTable);
  const long double t = 255.0L / (NLogN(n) - NLogN(n - 1));
  unitsPerBit = static_cast<double>(t * logl(2.0L));
  segmentOverhead = static_cast<int32_t>(unitsPerBit * 8 * kOverheadBytes);
  // The same rule carried on past N, so that every count looked up is
  // covered.
  const uint32_t last = n + kModelTermReach;
  largest = last;
  increments.assign(std::min(last + 1, kDirectSlopes), 0);
  // J(n) in double precision: ample for the few units' slopes, and ten
  // times quicker than extended precision over 50 million counts. (Only
  // the encoder prices classes; any table decodes.)
  const double scale = static_cast<double>(t);
  uint32_t slope = 1;
  uint32_t previous = 0;  // J(1)
  for (uint32_t i = 2; i <= last; ++i) {
    const uint32_t j = static_cast<uint32_t>(floor(scale * i * log(static_cast<double>(i)) + 0.5));
    const uint32_t d = j - previous;
    if (d > slope && d < 256) {
      slope = d;
      knots[d] = KNOT{previous, i - 1};
      slopeStarts.push_back(i);
      slopes.push_back(static_cast<uint8_t>(d));
    }
    if (i < increments.size()) increments[i] = static_cast<uint8_t>(slope);
    previous = j;
  }
}

uint32_t COST_TABLE::searchSlope(uint32_t n) const {
  const auto after = std::upper_bound(slopeStarts.begin(), slopeStarts.end(), n);
  return after == slopeStarts.begin() ? 1 : slopes[static_cast<size_t>(after - slopeStarts.begin()) - 1];
}

void CONTEXT_STATS::clear() { memset(rows, 0, sizeof rows); }

void CONTEXT_STATS::count(const uint8_t* data, uint32_t length) {
  uint32_t before2 = data[-2], before1 = data[-1];
  for (uint32_t i = 0; i < length; ++i) {
    ROW& row = rows[ContextOf(before2, before1)];
    const uint32_t b = data[i];
    ++row.total;
    ++row.counts[b];
    before2 = before1;
    before1 = b;
  }
}

CLASS_COST SegmentCost(const COST_TABLE& c, const CONTEXT_STATS& stats) {
  CLASS_COST result;
  uint32_t bins[33] = {};
  for (const CONTEXT_STATS::ROW& row : stats.rows) {
    uint32_t rowCost = c(row.total);
    for (const uint32_t count : row.counts) {
      rowCost -= c(count);
      ++bins[count & 31];
      bins[32] += count >> 5;
    }
    result.dataCost += rowCost;
  }
  uint32_t total = 0;
  uint32_t modelTerm = 0;
  for (const uint32_t b : bins) {
    total += b;
    modelTerm -= c(b);
  }
  modelTerm += c(total);
  result.cost = static_cast<uint32_t>(c.segmentOverhead) + modelTerm + result.dataCost;
  return result;
}

}  // namespace zubreca
