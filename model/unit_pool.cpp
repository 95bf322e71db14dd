#include "model/unit_pool.h"

#include <cstddef>
#include <cstring>

#include "model/page_prefaulter.h"

namespace zubreca {

UNIT_POOL unitPool;

// Classes 0..37: four steps of 1, four of 2, four of 3, then steps of 4.
constexpr uint8_t UNIT_POOL::classUnits[kClassCount] = {
    1,  2,  3,  4,  6,  8,  10, 12, 15, 18,  21,  24,  28,  32,  36,  40,  44,  48,  52,
    56, 60, 64, 68, 72, 76, 80, 84, 88, 92, 96, 100, 104, 108, 112, 116, 120, 124, 128};

// unitsClass[n - 1] is the smallest class whose runs hold n units.
constexpr uint8_t UNIT_POOL::unitsClass[128] = {
    0,  1,  2,  3,  4,  4,  5,  5,  6,  6,  7,  7,  8,  8,  8,  9,   //
    9,  9,  10, 10, 10, 11, 11, 11, 12, 12, 12, 12, 13, 13, 13, 13,  //
    14, 14, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 17, 17, 17, 17,  //
    18, 18, 18, 18, 19, 19, 19, 19, 20, 20, 20, 20, 21, 21, 21, 21,  //
    22, 22, 22, 22, 23, 23, 23, 23, 24, 24, 24, 24, 25, 25, 25, 25,  //
    26, 26, 26, 26, 27, 27, 27, 27, 28, 28, 28, 28, 29, 29, 29, 29,  //
    30, 30, 30, 30, 31, 31, 31, 31, 32, 32, 32, 32, 33, 33, 33, 33,  //
    34, 34, 34, 34, 35, 35, 35, 35, 36, 36, 36, 36, 37, 37, 37, 37};

namespace {

constexpr uint16_t kFreeStamp = 0xFFFF;
constexpr uint32_t kMaxRunUnits = 128;
// Below this countdown a failed rare allocation merges again at once.
constexpr uint32_t kMergeAgainLimit = 0x1FFFC;

constexpr uint32_t kStampAt = offsetof(FREE_RUN, stamp);
constexpr uint32_t kCountAt = offsetof(FREE_RUN, unitCount);
constexpr uint32_t kNextAt = offsetof(FREE_RUN, next);
constexpr uint32_t kPrevAt = offsetof(FREE_RUN, prev);

constexpr bool TablesAgree() {
  for (int c = 0; c < UNIT_POOL::kClassCount; ++c) {
    const int expected = c < 4 ? c + 1 : c < 8 ? 4 + 2 * (c - 3) : c < 12 ? 12 + 3 * (c - 7) : 24 + 4 * (c - 11);
    if (UNIT_POOL::classUnits[c] != expected) return false;
  }
  for (int n = 1; n <= 128; ++n) {
    const int c = UNIT_POOL::unitsClass[n - 1];
    if (UNIT_POOL::classUnits[c] < n || (c > 0 && UNIT_POOL::classUnits[c - 1] >= n)) return false;
  }
  return true;
}
static_assert(TablesAgree(), "size class tables are inconsistent");

// Run headers are read and written byte-wise: the same bytes are also
// context records and symbol tables, so no typed access may be assumed.
inline uint16_t Load16(uint32_t offset) {
  uint16_t value;
  std::memcpy(&value, ModelAddress(offset), sizeof value);
  return value;
}
inline uint32_t Load32(uint32_t offset) {
  uint32_t value;
  std::memcpy(&value, ModelAddress(offset), sizeof value);
  return value;
}
inline void Store16(uint32_t offset, uint16_t value) { std::memcpy(ModelAddress(offset), &value, sizeof value); }
inline void Store32(uint32_t offset, uint32_t value) { std::memcpy(ModelAddress(offset), &value, sizeof value); }

}  // namespace

void UNIT_POOL::start() {
  mergeCountdown = 0;
  mergeCount = 0;
  const uint32_t units = MODEL_MEMORY::blockSize / kUnitSize;
  if (units <= static_cast<uint32_t>(kHeadCount)) {
    // No room for the heads and a root: the block is not laid out.
    root = lowEdge = highEdge = 0;
    return;
  }
  for (int list = 0; list < kHeadCount; ++list) {
    const uint32_t head = headOffset(list);
    const bool sizeClass = list < kClassCount;
    Store16(head + kStampAt, sizeClass ? kFreeStamp : 0);
    Store16(head + kCountAt, sizeClass ? classUnits[list] : 1);
    Store32(head + kNextAt, head);
    Store32(head + kPrevAt, head);
  }
  lowEdge = headOffset(kHeadCount);
  root = 1 + (units - 1) * kUnitSize;
  highEdge = root;
  // Whatever an earlier buffer left at the first untouched unit must not
  // look like a free run.
  if (lowEdge < highEdge) *ModelAddress(lowEdge) = 0;
  pagePrefaulter.report(lowEdge, highEdge);
}

bool UNIT_POOL::listEmpty(int c) const {
  const uint32_t head = headOffset(c);
  return Load32(head + kNextAt) == head;
}

bool UNIT_POOL::isFreeRun(uint32_t offset) const {
  // Only whole units of the laid-out area qualify; the untouched gap
  // between the edges never holds a free run.
  if (offset == 0 || offset > root) return false;
  if (offset >= lowEdge && offset < highEdge) return false;
  return Load16(offset + kStampAt) == kFreeStamp;
}

void UNIT_POOL::insert(int list, uint32_t run) {
  const uint32_t head = headOffset(list);
  const uint32_t newest = Load32(head + kNextAt);
  Store16(run + kStampAt, Load16(head + kStampAt));
  Store16(run + kCountAt, Load16(head + kCountAt));
  Store32(run + kNextAt, newest);
  Store32(run + kPrevAt, head);
  Store32(newest + kPrevAt, run);
  Store32(head + kNextAt, run);
}

void UNIT_POOL::unlink(uint32_t run) {
  const uint32_t next = Load32(run + kNextAt);
  const uint32_t prev = Load32(run + kPrevAt);
  Store32(next + kPrevAt, prev);
  Store32(prev + kNextAt, next);
}

uint32_t UNIT_POOL::removeOldest(int c) {
  const uint32_t run = Load32(headOffset(c) + kPrevAt);
  unlink(run);
  // The run is no longer free; until its new owner writes it, it must not
  // be taken for one by a merge.
  Store16(run + kStampAt, 0);
  return run;
}

void UNIT_POOL::giveBackUnit(uint32_t unit) { insert(kMergeList, unit); }

uint32_t UNIT_POOL::allocUnits(int c) {
  if (!listEmpty(c)) return removeOldest(c);
  const uint32_t bytes = classUnits[c] * kUnitSize;
  if (highEdge - lowEdge >= bytes) {
    const uint32_t run = lowEdge;
    lowEdge += bytes;
    if (lowEdge < highEdge) *ModelAddress(lowEdge) = 0;
    if ((run ^ lowEdge) >> PAGE_PREFAULTER::kReportShift) pagePrefaulter.report(lowEdge, highEdge);
    return run;
  }
  return allocRare(c);
}

uint32_t UNIT_POOL::allocContext() {
  if (highEdge > lowEdge) {
    highEdge -= kUnitSize;
    if ((highEdge ^ (highEdge + kUnitSize)) >> PAGE_PREFAULTER::kReportShift)
      pagePrefaulter.report(lowEdge, highEdge);
    return highEdge;
  }
  if (!listEmpty(0)) return removeOldest(0);
  return allocRare(0);
}

void UNIT_POOL::freeUnits(uint32_t run, uint32_t n) {
  if (n == 0) return;
  for (;;) {
    const uint32_t after = run + n * kUnitSize;
    if (!isFreeRun(after)) break;
    n += Load16(after + kCountAt);
    unlink(after);
  }
  while (n > kMaxRunUnits) {
    insert(kClassCount - 1, run);
    run += kMaxRunUnits * kUnitSize;
    n -= kMaxRunUnits;
  }
  const int c = unitsClass[n - 1];
  if (classUnits[c] == n) {
    insert(c, run);
    return;
  }
  // Not a class size: a class run plus a tail of 1, 2 or 3 units.
  const uint32_t k = classUnits[c - 1];
  insert(static_cast<int>(n - k - 1), run + k * kUnitSize);
  insert(c - 1, run);
}

uint32_t UNIT_POOL::allocRare(int c) {
  uint32_t countdown = static_cast<uint32_t>(mergeCountdown) - 1;
  bool merge = mergeCountdown == 0;
  for (;;) {
    if (merge) {
      mergePass();
      // 2^17 .. 2^31 for the first fifteen passes, then 2^0, 2^1, ...
      countdown = 1u << ((mergeCount - 15) & 31);
      ++mergeCount;
      if (!listEmpty(c)) {
        mergeCountdown = static_cast<int32_t>(countdown);
        return removeOldest(c);
      }
    }
    for (int found = c + 1; found < kClassCount; ++found) {
      if (listEmpty(found)) continue;
      mergeCountdown = static_cast<int32_t>(countdown);
      const uint32_t run = removeOldest(found);
      freeUnits(run + classUnits[c] * kUnitSize, classUnits[found] - classUnits[c]);
      return run;
    }
    if (countdown > kMergeAgainLimit) {
      mergeCountdown = static_cast<int32_t>(countdown);
      return 0;
    }
    merge = true;
  }
}

void UNIT_POOL::mergePass() {
  const uint32_t mergeHead = headOffset(kMergeList);

  // Single units given back by the tree cut-back wait in the merging list
  // (stamp 0, so nothing merges into them yet). Refile them first.
  while (!listEmpty(kMergeList)) {
    const uint32_t unit = removeOldest(kMergeList);
    if (isFreeRun(unit + kUnitSize)) {
      freeUnits(unit, 1);
    } else {
      insert(0, unit);
    }
  }

  for (int c = kClassCount - 1; c >= 0; --c) {
    if (listEmpty(c)) continue;
    // The merging list takes over the whole class list at once.
    const uint32_t head = headOffset(c);
    const uint32_t newest = Load32(head + kNextAt);
    const uint32_t oldest = Load32(head + kPrevAt);
    Store32(mergeHead + kNextAt, newest);
    Store32(mergeHead + kPrevAt, oldest);
    Store32(newest + kPrevAt, mergeHead);
    Store32(oldest + kNextAt, mergeHead);
    Store16(mergeHead + kStampAt, Load16(head + kStampAt));
    Store16(mergeHead + kCountAt, Load16(head + kCountAt));
    Store32(head + kNextAt, head);
    Store32(head + kPrevAt, head);

    while (!listEmpty(kMergeList)) {
      const uint32_t run = removeOldest(kMergeList);
      const int runClass = unitsClass[Load16(mergeHead + kCountAt) - 1];
      const uint32_t k = classUnits[runClass];
      if (isFreeRun(run + k * kUnitSize)) {
        freeUnits(run, k);
      } else {
        insert(runClass, run);
      }
    }
  }

  Store16(mergeHead + kStampAt, 0);
  Store16(mergeHead + kCountAt, 1);
}

}  // namespace zubreca
