// How the segmentation trick prices a class of bytes: an estimate of its
// coded size from the statistics of each byte after its two predecessors
// (hashed into 256 contexts), in cost units.
//
// The price of n symbols of a context is C(n) - sum of C(count) over its
// byte counts, with C(n) about t * n ln n: the bits that the counts cost
// under their own frequencies. A class also pays a fixed overhead (91
// bytes) and the price of its model: the counts of its 65536 cells, taken
// modulo 32 and in multiples of 32, priced the same way.
#pragma once

#include <cstdint>
#include <vector>

namespace zubreca {

// C(n) for the counts of a file: n ln n in cost units, as a table of slopes
// so that pricing one count more or less is one lookup.
class COST_TABLE {
 public:
  explicit COST_TABLE(uint32_t fileLength);

  uint32_t operator()(uint32_t n) const {
    const uint32_t k = slope(n);
    return knots[k].value + k * (n - knots[k].count);
  }
  // The slope in force at count n: C(n) - C(n - 1), about. Small counts
  // (most cells) read it from a table that stays in the cache; large ones
  // (row totals of big files) search the few places where it changes.
  uint32_t slope(uint32_t n) const { return n < increments.size() ? increments[n] : searchSlope(n); }
  uint32_t largestCount() const { return largest; }

  double unitsPerBit = 0;
  int32_t segmentOverhead = 0;

 private:
  struct KNOT {
    uint32_t value = 0;
    uint32_t count = 0;
  };
  uint32_t searchSlope(uint32_t n) const;

  std::vector<uint8_t> increments;  // the slopes of the counts below 2^18
  std::vector<uint32_t> slopeStarts;  // the counts from which each new slope is in force
  std::vector<uint8_t> slopes;        // ... and those slopes
  uint32_t largest = 0;
  KNOT knots[256];
};

// The statistics of one class: for each of the 256 contexts its total and
// its 256 byte counts.
struct CONTEXT_STATS {
  static constexpr int kContexts = 256;
  struct ROW {
    uint32_t total;
    uint32_t counts[256];
  };
  ROW rows[kContexts];

  void clear();
  // Counts the bytes [data, data + length); the two bytes before `data`
  // must be readable (they give the first bytes their contexts).
  void count(const uint8_t* data, uint32_t length);
};

// The context of the byte that follows `before2`, `before1`.
inline uint32_t ContextOf(uint32_t before2, uint32_t before1) { return (before2 * 32 + before1) & 0xFF; }

struct CLASS_COST {
  uint32_t cost = 0;      // overhead + model + data
  uint32_t dataCost = 0;  // the part the context statistics give
};
CLASS_COST SegmentCost(const COST_TABLE& c, const CONTEXT_STATS& stats);

}  // namespace zubreca
