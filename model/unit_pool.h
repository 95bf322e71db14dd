// Allocator of 12-byte units inside the model block.
//
// Symbol tables are runs of units taken from the bottom of the block
// (lowEdge moves up); context records are single units taken from the top
// (highEdge moves down). Freed runs are kept in 38 size-class lists; a
// 39th list serves the merging pass that joins neighbouring free runs.
// The allocation calls return 0 ("none") when memory is exhausted; the
// model then cuts its tree back.
#pragma once

#include <cstdint>

#include "model/model_memory.h"

namespace zubreca {

#pragma pack(push, 1)
struct FREE_RUN {
  uint16_t stamp;       // 0xFFFF marks a free run
  uint16_t unitCount;   // units in the run (its size class)
  uint32_t next;        // offsets of the neighbours in the list
  uint32_t prev;
};
#pragma pack(pop)
static_assert(sizeof(FREE_RUN) == 12);

class UNIT_POOL {
 public:
  static constexpr uint32_t kUnitSize = 12;
  static constexpr int kClassCount = 38;
  static constexpr int kMergeList = 38;
  static constexpr int kHeadCount = 39;

  static const uint8_t classUnits[kClassCount];  // units of class c
  static const uint8_t unitsClass[128];          // smallest class holding n units, at n - 1

  // Lays out the list heads, lowEdge just above them and highEdge at the
  // topmost unit, which is the root context's record. Zeroes the counters.
  void start();

  // All allocation calls return the offset of the first unit, or 0 when
  // memory is exhausted.
  uint32_t allocUnits(int c);
  uint32_t allocContext();
  // Gives back n units starting at run (n may exceed 128); joins the run
  // with the free runs that follow it.
  void freeUnits(uint32_t run, uint32_t n);
  uint32_t allocRare(int c);
  // Joins neighbouring free runs: refiles the units waiting in the merging
  // list, then every class list from 37 down to 0.
  void mergePass();

  // Hands one unit to the merging list (used when the tree is cut back).
  // It keeps stamp 0 there, so nothing merges with it before the next pass.
  void giveBackUnit(uint32_t unit);
  // True when the unit at this offset starts a free run. Offsets outside the
  // laid-out units and inside the untouched gap never do.
  bool isFreeRun(uint32_t offset) const;
  bool listEmpty(int c) const;
  // Takes the oldest run of list c (the list must not be empty). The run's
  // stamp is cleared, so it no longer looks free.
  uint32_t removeOldest(int c);

  uint32_t rootOffset() const { return root; }
  uint32_t headOffset(int list) const { return 1 + static_cast<uint32_t>(list) * kUnitSize; }

  uint32_t lowEdge = 0;    // offset of the first untouched unit above the runs
  uint32_t highEdge = 0;   // offset of the lowest context unit taken from the top
  int32_t mergeCountdown = 0;
  uint32_t mergeCount = 0;

 private:
  void insert(int list, uint32_t run);
  void unlink(uint32_t run);
  uint32_t root = 0;
};

extern UNIT_POOL unitPool;

}  // namespace zubreca
