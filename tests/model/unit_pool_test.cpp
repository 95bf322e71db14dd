#include "model/unit_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/model_memory.h"

namespace zubreca {
namespace {

constexpr uint32_t kUnit = UNIT_POOL::kUnitSize;
constexpr uint32_t kMegabytes = 4;
constexpr uint32_t kBlockUnits = (kMegabytes << 20) / kUnit;  // 349525
constexpr uint32_t kTopUnit = kBlockUnits - 1;
constexpr uint32_t kFirstRunUnit = UNIT_POOL::kHeadCount;     // 39

uint32_t UnitOffset(uint32_t unit) { return 1 + unit * kUnit; }
uint32_t UnitOf(uint32_t offset) { return (offset - 1) / kUnit; }
uint32_t Advance(uint32_t offset, uint32_t units) { return offset + units * kUnit; }

uint16_t Read16(uint32_t offset) {
  uint16_t v;
  std::memcpy(&v, ModelAddress(offset), 2);
  return v;
}
uint32_t Read32(uint32_t offset) {
  uint32_t v;
  std::memcpy(&v, ModelAddress(offset), 4);
  return v;
}
uint16_t StampOf(uint32_t run) { return Read16(run); }
uint16_t CountOf(uint32_t run) { return Read16(run + 2); }
uint32_t NextOf(uint32_t run) { return Read32(run + 4); }
uint32_t PrevOf(uint32_t run) { return Read32(run + 8); }

// Runs of a list, oldest first (the order in which allocations take them).
// Checks that the two link directions agree.
std::vector<uint32_t> ListOldestFirst(const UNIT_POOL& pool, int list) {
  const uint32_t head = pool.headOffset(list);
  std::vector<uint32_t> runs;
  uint32_t cur = PrevOf(head);
  uint32_t newer = head;
  while (cur != head) {
    EXPECT_EQ(NextOf(cur), newer) << "broken link in list " << list;
    runs.push_back(cur);
    newer = cur;
    cur = PrevOf(cur);
    if (runs.size() > kBlockUnits) {
      ADD_FAILURE() << "list " << list << " does not close";
      break;
    }
  }
  EXPECT_EQ(NextOf(head), runs.empty() ? head : runs.back());
  return runs;
}

// Expects exactly the given lists to be non-empty with exactly these runs
// (oldest first), each carrying its class's stamp and unit count.
void ExpectLists(const UNIT_POOL& pool, const std::map<int, std::vector<uint32_t>>& expected) {
  for (int list = 0; list < UNIT_POOL::kHeadCount; ++list) {
    const auto it = expected.find(list);
    const std::vector<uint32_t> want = it == expected.end() ? std::vector<uint32_t>{} : it->second;
    const std::vector<uint32_t> got = ListOldestFirst(pool, list);
    EXPECT_EQ(got, want) << "list " << list;
    EXPECT_EQ(pool.listEmpty(list), got.empty()) << "list " << list;
    if (list == UNIT_POOL::kMergeList) continue;
    for (uint32_t run : got) {
      EXPECT_EQ(StampOf(run), 0xFFFF) << "list " << list;
      EXPECT_EQ(CountOf(run), UNIT_POOL::classUnits[list]) << "list " << list;
    }
  }
}

class UnitPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MODEL_MEMORY::reserve(kMegabytes));
    // Untouched memory that looks like free runs everywhere is the worst
    // case for the merge test.
    std::memset(MODEL_MEMORY::block, 0xFF, MODEL_MEMORY::blockSize);
    pool.start();
    // The root record of a fresh model: 256 symbols, flags 0xC7.
    *ModelAddress(pool.rootOffset()) = 0xFF;
    *ModelAddress(pool.rootOffset() + 1) = 0xC7;
  }
  void TearDown() override { MODEL_MEMORY::release(); }

  // A run as the model would fill it: its first bytes never read FF FF.
  uint32_t LiveUnits(int c) {
    const uint32_t run = pool.allocUnits(c);
    EXPECT_NE(run, 0u);
    if (run != 0) std::memset(ModelAddress(run), 0x01, UNIT_POOL::classUnits[c] * kUnit);
    return run;
  }
  uint32_t LiveContext() {
    const uint32_t unit = pool.allocContext();
    EXPECT_NE(unit, 0u);
    if (unit != 0) std::memset(ModelAddress(unit), 0x00, kUnit);
    return unit;
  }
  uint32_t GapUnits() const { return (pool.highEdge - pool.lowEdge) / kUnit; }
  // Fills the gap from both ends until `leave` units are left.
  void ConsumeGap(uint32_t leave) {
    while (GapUnits() >= 128 + leave) LiveUnits(UNIT_POOL::kClassCount - 1);
    while (GapUnits() > leave) LiveContext();
    ASSERT_EQ(GapUnits(), leave);
  }

  UNIT_POOL pool;
};

TEST(UnitPoolTables, ClassSizes) {
  const std::vector<int> expected = {1,  2,  3,  4,  6,  8,  10, 12, 15, 18,  21,  24,  28,  32,  36,  40,  44,  48,  52,
                                     56, 60, 64, 68, 72, 76, 80, 84, 88, 92, 96, 100, 104, 108, 112, 116, 120, 124, 128};
  ASSERT_EQ(expected.size(), static_cast<size_t>(UNIT_POOL::kClassCount));
  for (int c = 0; c < UNIT_POOL::kClassCount; ++c) EXPECT_EQ(UNIT_POOL::classUnits[c], expected[c]) << "class " << c;
}

TEST(UnitPoolTables, SmallestClassHoldingEachCount) {
  for (int n = 1; n <= 128; ++n) {
    int smallest = 0;
    while (UNIT_POOL::classUnits[smallest] < n) ++smallest;
    EXPECT_EQ(UNIT_POOL::unitsClass[n - 1], smallest) << n << " units";
  }
  EXPECT_EQ(UNIT_POOL::unitsClass[5 - 1], 4);
  EXPECT_EQ(UNIT_POOL::unitsClass[44 - 1], 16);
  EXPECT_EQ(UNIT_POOL::unitsClass[45 - 1], 17);
  EXPECT_EQ(UNIT_POOL::unitsClass[128 - 1], 37);
}

TEST_F(UnitPoolTest, StartLaysOutHeadsEdgesAndRoot) {
  for (int list = 0; list < UNIT_POOL::kHeadCount; ++list) {
    const uint32_t head = pool.headOffset(list);
    EXPECT_EQ(head, UnitOffset(list));
    EXPECT_EQ(NextOf(head), head);
    EXPECT_EQ(PrevOf(head), head);
    EXPECT_TRUE(pool.listEmpty(list));
    if (list < UNIT_POOL::kClassCount) {
      EXPECT_EQ(StampOf(head), 0xFFFF);
      EXPECT_EQ(CountOf(head), UNIT_POOL::classUnits[list]);
    } else {
      EXPECT_EQ(StampOf(head), 0);
      EXPECT_EQ(CountOf(head), 1);
    }
  }
  EXPECT_EQ(pool.lowEdge, UnitOffset(kFirstRunUnit));
  EXPECT_EQ(pool.rootOffset(), UnitOffset(kTopUnit));
  EXPECT_EQ(pool.highEdge, pool.rootOffset());
  EXPECT_EQ(*ModelAddress(pool.lowEdge), 0);
  EXPECT_EQ(pool.mergeCount, 0u);
  EXPECT_EQ(pool.mergeCountdown, 0);
}

TEST_F(UnitPoolTest, StartResetsCounters) {
  pool.mergeCount = 7;
  pool.mergeCountdown = 99;
  pool.start();
  EXPECT_EQ(pool.mergeCount, 0u);
  EXPECT_EQ(pool.mergeCountdown, 0);
}

TEST(UnitPoolGlobal, SingleInstanceLaysOutTheReservedBlock) {
  ASSERT_TRUE(MODEL_MEMORY::reserve(kMegabytes));
  unitPool.start();
  EXPECT_EQ(unitPool.rootOffset(), UnitOffset(kTopUnit));
  EXPECT_EQ(unitPool.lowEdge, UnitOffset(kFirstRunUnit));
  EXPECT_EQ(unitPool.allocContext(), UnitOffset(kTopUnit - 1));
  MODEL_MEMORY::release();
}

TEST_F(UnitPoolTest, AllocUnitsBumpsLowEdgeAndMarksTheNextUnit) {
  const uint32_t first = pool.allocUnits(5);
  EXPECT_EQ(first, UnitOffset(kFirstRunUnit));
  EXPECT_EQ(pool.lowEdge, UnitOffset(kFirstRunUnit + 8));
  EXPECT_EQ(*ModelAddress(pool.lowEdge), 0);
  const uint32_t second = pool.allocUnits(0);
  EXPECT_EQ(second, UnitOffset(kFirstRunUnit + 8));
  EXPECT_EQ(pool.lowEdge, UnitOffset(kFirstRunUnit + 9));
  EXPECT_EQ(*ModelAddress(pool.lowEdge), 0);
  EXPECT_EQ(pool.highEdge, pool.rootOffset());
}

TEST_F(UnitPoolTest, AllocUnitsMayFillTheGapExactly) {
  ConsumeGap(10);
  const uint32_t low = pool.lowEdge;
  // Ten units: a class of 10 takes the gap to the last unit; the context
  // above it must keep its first byte.
  *ModelAddress(pool.highEdge) = 0x5A;
  EXPECT_EQ(pool.allocUnits(6), low);
  EXPECT_EQ(pool.lowEdge, pool.highEdge);
  EXPECT_EQ(*ModelAddress(pool.highEdge), 0x5A);
  EXPECT_EQ(pool.mergeCount, 0u);
}

TEST_F(UnitPoolTest, AllocContextTakesUnitsDownFromTheRoot) {
  EXPECT_EQ(pool.allocContext(), UnitOffset(kTopUnit - 1));
  EXPECT_EQ(pool.allocContext(), UnitOffset(kTopUnit - 2));
  EXPECT_EQ(pool.highEdge, UnitOffset(kTopUnit - 2));
  EXPECT_EQ(pool.lowEdge, UnitOffset(kFirstRunUnit));
}

TEST_F(UnitPoolTest, Freeing300UnitsGivesTwoFullRunsAndA44UnitRun) {
  const uint32_t a = LiveUnits(37);
  LiveUnits(37);
  LiveUnits(16);
  ASSERT_EQ(pool.lowEdge, Advance(a, 300));
  pool.freeUnits(a, 300);
  ExpectLists(pool, {{37, {a, Advance(a, 128)}}, {16, {Advance(a, 256)}}});
  EXPECT_EQ(pool.lowEdge, Advance(a, 300));
  // The oldest full run is handed out first.
  EXPECT_EQ(pool.allocUnits(37), a);
  EXPECT_EQ(pool.allocUnits(37), Advance(a, 128));
  EXPECT_EQ(pool.allocUnits(16), Advance(a, 256));
}

TEST_F(UnitPoolTest, FreeingFiveUnitsGivesFourAndOne) {
  const uint32_t a = LiveUnits(3);
  LiveUnits(0);
  pool.freeUnits(a, 5);
  ExpectLists(pool, {{3, {a}}, {0, {Advance(a, 4)}}});
}

TEST_F(UnitPoolTest, FreeingSevenUnitsGivesSixAndOne) {
  const uint32_t a = LiveUnits(4);
  LiveUnits(0);
  pool.freeUnits(a, 7);
  ExpectLists(pool, {{4, {a}}, {0, {Advance(a, 6)}}});
}

TEST_F(UnitPoolTest, FreeingNineUnitsGivesEightAndOne) {
  const uint32_t a = LiveUnits(6);  // 10 units, only 9 given back
  pool.freeUnits(a, 9);
  ExpectLists(pool, {{5, {a}}, {0, {Advance(a, 8)}}});
}

TEST_F(UnitPoolTest, FreedRunBelowLowEdgeIsNotMergedWithTheGap) {
  const uint32_t a = LiveUnits(2);
  ASSERT_EQ(pool.lowEdge, Advance(a, 3));
  // Everything above the new lowEdge still reads FF FF ...
  EXPECT_EQ(StampOf(Advance(a, 4)), 0xFFFF);
  pool.freeUnits(a, 3);
  // ... yet the run stays three units long.
  ExpectLists(pool, {{2, {a}}});
  EXPECT_EQ(*ModelAddress(pool.lowEdge), 0);
  EXPECT_FALSE(pool.isFreeRun(pool.lowEdge));
  EXPECT_EQ(pool.allocUnits(2), a);
  EXPECT_EQ(pool.lowEdge, Advance(a, 3));
}

TEST_F(UnitPoolTest, UntouchedGapNeverCountsAsFree) {
  LiveUnits(3);
  // Even with a stale stamp on the first untouched unit, the gap is no run.
  *ModelAddress(pool.lowEdge) = 0xFF;
  EXPECT_FALSE(pool.isFreeRun(pool.lowEdge));
  EXPECT_FALSE(pool.isFreeRun(Advance(pool.lowEdge, 50)));
  EXPECT_FALSE(pool.isFreeRun(Advance(pool.highEdge, 0) - kUnit));
  EXPECT_FALSE(pool.isFreeRun(0));
}

TEST_F(UnitPoolTest, FreeMergesForwardWithFollowingFreeRuns) {
  const uint32_t a = LiveUnits(3);  // 4 units
  const uint32_t b = LiveUnits(4);  // 6 units
  const uint32_t c = LiveUnits(0);  // 1 unit
  const uint32_t live = LiveUnits(0);
  pool.freeUnits(c, 1);
  pool.freeUnits(b, 6);  // joins c: 7 units = 6 + 1
  ExpectLists(pool, {{4, {b}}, {0, {Advance(b, 6)}}});
  pool.freeUnits(a, 4);  // joins b and its tail: 11 units = 10 + 1
  ExpectLists(pool, {{6, {a}}, {0, {Advance(a, 10)}}});
  EXPECT_EQ(StampOf(live), 0x0101);
}

TEST_F(UnitPoolTest, FreeStopsAtLiveRecords) {
  const uint32_t a = LiveUnits(1);
  const uint32_t table = pool.allocUnits(0);
  // A live table whose first state is symbol 0xFF with frequency 0xFE.
  *ModelAddress(table) = 0xFF;
  *ModelAddress(table + 1) = 0xFE;
  pool.freeUnits(a, 2);
  ExpectLists(pool, {{1, {a}}});
}

TEST_F(UnitPoolTest, MergedFreeSpaceBeyond128UnitsIsCutInFullRuns) {
  const uint32_t a = LiveUnits(37);
  const uint32_t b = LiveUnits(37);
  LiveUnits(0);
  pool.freeUnits(b, 128);
  pool.freeUnits(a, 128);
  ExpectLists(pool, {{37, {a, b}}});
}

TEST_F(UnitPoolTest, ListsHandOutTheOldestRunFirst) {
  const uint32_t a = LiveUnits(2);
  LiveUnits(0);
  const uint32_t b = LiveUnits(2);
  LiveUnits(0);
  const uint32_t c = LiveUnits(2);
  LiveUnits(0);
  pool.freeUnits(c, 3);
  pool.freeUnits(a, 3);
  pool.freeUnits(b, 3);
  // Newest on the head's next side, oldest on its prev side.
  const uint32_t head = pool.headOffset(2);
  EXPECT_EQ(NextOf(head), b);
  EXPECT_EQ(PrevOf(head), c);
  ExpectLists(pool, {{2, {c, a, b}}});
  const uint32_t low = pool.lowEdge;
  EXPECT_EQ(pool.allocUnits(2), c);
  EXPECT_EQ(pool.allocUnits(2), a);
  EXPECT_EQ(pool.allocUnits(2), b);
  EXPECT_EQ(pool.allocUnits(2), low);
}

TEST_F(UnitPoolTest, RemoveOldestClearsTheStamp) {
  const uint32_t a = LiveUnits(0);
  LiveUnits(0);
  pool.freeUnits(a, 1);
  ASSERT_TRUE(pool.isFreeRun(a));
  EXPECT_EQ(pool.removeOldest(0), a);
  EXPECT_FALSE(pool.isFreeRun(a));
  EXPECT_TRUE(pool.listEmpty(0));
}

TEST_F(UnitPoolTest, AllocContextFallsBackToListZero) {
  ConsumeGap(0);
  const uint32_t p = UnitOffset(kTopUnit - 3);
  const uint32_t q = UnitOffset(kTopUnit - 1);
  pool.freeUnits(q, 1);
  pool.freeUnits(p, 1);
  EXPECT_EQ(pool.allocContext(), q);
  EXPECT_EQ(pool.allocContext(), p);
  EXPECT_EQ(pool.mergeCount, 0u);
}

TEST_F(UnitPoolTest, Class37RequestWithShortGapGoesToAllocRareAndMerges) {
  ConsumeGap(100);
  const uint32_t low = pool.lowEdge;
  const uint32_t high = pool.highEdge;
  EXPECT_EQ(pool.allocUnits(37), 0u);
  EXPECT_EQ(pool.mergeCount, 1u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << 17);
  EXPECT_EQ(pool.lowEdge, low);
  EXPECT_EQ(pool.highEdge, high);
  ExpectLists(pool, {});
}

TEST_F(UnitPoolTest, MergingPassBuildsTheRunAllocRareHandsOut) {
  const uint32_t a = LiveUnits(36);  // 124 units
  const uint32_t b = LiveUnits(3);   // 4 units
  LiveUnits(0);
  ConsumeGap(100);
  pool.freeUnits(a, 124);  // b is still live: no merge
  pool.freeUnits(b, 4);
  ExpectLists(pool, {{36, {a}}, {3, {b}}});
  EXPECT_EQ(pool.allocUnits(37), a);
  EXPECT_EQ(pool.mergeCount, 1u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << 17);
  ExpectLists(pool, {});
}

TEST_F(UnitPoolTest, AllocRareSplitsTheFirstLargerRun) {
  const uint32_t a = LiveUnits(37);
  LiveUnits(0);
  ConsumeGap(0);
  pool.freeUnits(a, 128);
  EXPECT_EQ(pool.allocUnits(16), a);  // 44 of the 128 units
  EXPECT_EQ(pool.mergeCount, 1u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << 17);
  ExpectLists(pool, {{26, {Advance(a, 44)}}});  // 84 units
  // With the countdown running, the next miss splits without a pass.
  EXPECT_EQ(pool.allocUnits(0), Advance(a, 44));
  EXPECT_EQ(pool.mergeCount, 1u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), (1u << 17) - 1);
  // The 83 units left are cut as 80 + 3.
  ExpectLists(pool, {{25, {Advance(a, 45)}}, {2, {Advance(a, 125)}}});
}

TEST_F(UnitPoolTest, MergeCountdownFollowsThePassCount) {
  ConsumeGap(0);
  // The first fifteen passes of a buffer give 2^17 .. 2^31, one per call.
  for (uint32_t m = 0; m < 15; ++m) {
    pool.mergeCountdown = 0;
    EXPECT_EQ(pool.allocRare(37), 0u);
    EXPECT_EQ(pool.mergeCount, m + 1);
    EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << (17 + m));
  }
  // From then on the countdowns start again at 1, so passes repeat within
  // the call until the countdown exceeds 0x1FFFC: passes 16 .. 33.
  pool.mergeCountdown = 0;
  EXPECT_EQ(pool.allocRare(0), 0u);
  EXPECT_EQ(pool.mergeCount, 33u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << 17);

  // A countdown just above the limit only counts down ...
  pool.mergeCountdown = 0x1FFFE;
  EXPECT_EQ(pool.allocContext(), 0u);
  EXPECT_EQ(pool.mergeCount, 33u);
  EXPECT_EQ(pool.mergeCountdown, 0x1FFFD);
  // ... and merges again once it reaches it.
  EXPECT_EQ(pool.allocContext(), 0u);
  EXPECT_EQ(pool.mergeCount, 34u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << 18);
}

TEST_F(UnitPoolTest, CountdownReachingZeroMergesOnTheNextMiss) {
  const uint32_t a = LiveUnits(1);
  const uint32_t b = LiveUnits(1);
  LiveUnits(0);
  ConsumeGap(0);
  pool.freeUnits(a, 2);  // b is live: no merge
  pool.freeUnits(b, 2);
  ExpectLists(pool, {{1, {a, b}}});
  pool.mergeCountdown = 1;
  // No pass: the oldest class-1 run is split; its second unit joins b.
  EXPECT_EQ(pool.allocRare(0), a);
  EXPECT_EQ(pool.mergeCount, 0u);
  EXPECT_EQ(pool.mergeCountdown, 0);
  ExpectLists(pool, {{2, {Advance(a, 1)}}});
  // Countdown 0: this miss passes first and then finds list 2 filled.
  EXPECT_EQ(pool.allocRare(2), Advance(a, 1));
  EXPECT_EQ(pool.mergeCount, 1u);
  EXPECT_EQ(static_cast<uint32_t>(pool.mergeCountdown), 1u << 17);
  ExpectLists(pool, {});
}

TEST_F(UnitPoolTest, MergingPassRefilesGivenBackUnitsFirst) {
  const uint32_t x1 = LiveContext();
  const uint32_t x2 = LiveContext();
  const uint32_t x3 = LiveContext();
  LiveContext();
  pool.giveBackUnit(x1);
  pool.giveBackUnit(x2);
  pool.giveBackUnit(x3);
  ExpectLists(pool, {{UNIT_POOL::kMergeList, {x1, x2, x3}}});
  for (uint32_t unit : {x1, x2, x3}) {
    EXPECT_EQ(StampOf(unit), 0);
    EXPECT_EQ(CountOf(unit), 1);
    EXPECT_FALSE(pool.isFreeRun(unit));
  }
  pool.mergePass();
  ExpectLists(pool, {{2, {x3}}});
  const uint32_t mergeHead = pool.headOffset(UNIT_POOL::kMergeList);
  EXPECT_EQ(StampOf(mergeHead), 0);
  EXPECT_EQ(CountOf(mergeHead), 1);
  // The root above them is untouched.
  EXPECT_EQ(*ModelAddress(pool.rootOffset()), 0xFF);
  EXPECT_EQ(*ModelAddress(pool.rootOffset() + 1), 0xC7);
}

TEST_F(UnitPoolTest, MergingPassJoinsGivenBackUnitsInAnyOrder) {
  const uint32_t x1 = LiveContext();
  const uint32_t x2 = LiveContext();
  const uint32_t x3 = LiveContext();
  LiveContext();
  pool.giveBackUnit(x3);
  pool.giveBackUnit(x1);
  pool.giveBackUnit(x2);
  pool.mergePass();
  ExpectLists(pool, {{2, {x3}}});
}

TEST_F(UnitPoolTest, GivenBackUnitJoinsAFreeRunAfterIt) {
  const uint32_t x1 = LiveContext();
  const uint32_t x2 = LiveContext();
  LiveContext();
  pool.freeUnits(x1, 1);
  pool.giveBackUnit(x2);
  pool.mergePass();
  ExpectLists(pool, {{1, {x2}}});
}

TEST_F(UnitPoolTest, MergingPassJoinsNeighboursAcrossClasses) {
  const uint32_t a = LiveUnits(4);  // 6 units
  const uint32_t b = LiveUnits(3);  // 4 units
  const uint32_t c = LiveUnits(0);  // 1 unit
  LiveUnits(0);
  pool.freeUnits(a, 6);
  pool.freeUnits(b, 4);
  pool.freeUnits(c, 1);
  ExpectLists(pool, {{4, {a}}, {3, {b}}, {0, {c}}});
  pool.mergePass();
  ExpectLists(pool, {{6, {a}}, {0, {Advance(a, 10)}}});
}

TEST_F(UnitPoolTest, MergingPassGoesFromTheLargestClassDown) {
  // Two stretches of five free units, 4 + 1 and 1 + 4.
  const uint32_t u = LiveUnits(3);
  const uint32_t v = LiveUnits(0);
  LiveUnits(0);
  const uint32_t w = LiveUnits(0);
  const uint32_t z = LiveUnits(3);
  LiveUnits(0);
  pool.freeUnits(u, 4);
  pool.freeUnits(v, 1);
  pool.freeUnits(w, 1);
  pool.freeUnits(z, 4);
  ExpectLists(pool, {{3, {u, z}}, {0, {v, w}}});
  pool.mergePass();
  // Class 3 first: u joins v. Class 0 next: w joins z, then u's tail stays.
  ExpectLists(pool, {{3, {u, w}}, {0, {Advance(w, 4), Advance(u, 4)}}});
}

TEST_F(UnitPoolTest, MergingPassKeepsTheOrderOfRunsItCannotJoin) {
  const uint32_t a = LiveUnits(0);
  LiveUnits(0);
  const uint32_t b = LiveUnits(0);
  LiveUnits(0);
  const uint32_t c = LiveUnits(0);
  LiveUnits(0);
  pool.freeUnits(b, 1);
  pool.freeUnits(c, 1);
  pool.freeUnits(a, 1);
  pool.mergePass();
  ExpectLists(pool, {{0, {b, c, a}}});
}

TEST_F(UnitPoolTest, NoMergeReadsPastTheEndOfTheBlock) {
  // 4 MB leaves 4 bytes after the topmost unit; they read FF FF.
  ASSERT_EQ(MODEL_MEMORY::blockSize - kBlockUnits * kUnit, 4u);
  EXPECT_FALSE(pool.isFreeRun(Advance(pool.rootOffset(), 1)));
  const uint32_t below = LiveContext();
  pool.freeUnits(pool.rootOffset(), 1);
  ExpectLists(pool, {{0, {pool.rootOffset()}}});
  pool.giveBackUnit(below);
  pool.mergePass();
  ExpectLists(pool, {{1, {below}}});
}

TEST_F(UnitPoolTest, ExhaustionReturnsNoneAndRecovers) {
  ConsumeGap(0);
  EXPECT_EQ(pool.allocContext(), 0u);
  for (int c = 0; c < UNIT_POOL::kClassCount; ++c) EXPECT_EQ(pool.allocUnits(c), 0u) << "class " << c;
  for (int c = 0; c < UNIT_POOL::kClassCount; ++c) EXPECT_EQ(pool.allocRare(c), 0u) << "class " << c;
  EXPECT_GE(pool.mergeCount, 1u);
  ExpectLists(pool, {});

  // Give back 128 neighbouring units one at a time, from the top down:
  // each joins the ones freed before it.
  const uint32_t run = UnitOffset(kFirstRunUnit);
  for (uint32_t i = 128; i-- > 0;) pool.freeUnits(Advance(run, i), 1);
  ExpectLists(pool, {{37, {run}}});
  EXPECT_EQ(pool.allocUnits(37), run);
  EXPECT_EQ(pool.allocContext(), 0u);
}

// ---------------------------------------------------------------------------
// Long random sequences checked against a map of the units in use.

class PoolReference {
 public:
  explicit PoolReference(UNIT_POOL& pool)
      : pool_(pool), inUse_(kBlockUnits, 0), shadow_(MODEL_MEMORY::blockSize, 0) {}

  // A run just handed out: it must be inside the laid-out area, clear of
  // the gap and of everything in use. Fills it as the model would.
  void Take(uint32_t run, uint32_t units, std::mt19937& rng) {
    ASSERT_NE(run, 0u);
    ASSERT_EQ((run - 1) % kUnit, 0u);
    const uint32_t first = UnitOf(run);
    ASSERT_GE(first, kFirstRunUnit);
    ASSERT_LE(first + units - 1, kTopUnit);
    for (uint32_t u = first; u < first + units; ++u) {
      ASSERT_FALSE(inUse_[u]) << "unit " << u << " handed out twice";
      ASSERT_FALSE(InGap(u)) << "unit " << u << " lies in the gap";
      inUse_[u] = 1;
      uint8_t* bytes = &shadow_[u * kUnit];
      for (uint32_t i = 0; i < kUnit; ++i) bytes[i] = (rng() & 1) ? 0xFF : static_cast<uint8_t>(rng());
      if (u == first) {
        bytes[0] = static_cast<uint8_t>(rng() % 255);  // never FF FF at a record start
      } else {
        bytes[0] = bytes[1] = 0xFF;  // stale-looking stamps inside the run
      }
      std::memcpy(ModelAddress(UnitOffset(u)), bytes, kUnit);
    }
  }

  // A run about to be given back: its contents must be untouched.
  void Give(uint32_t run, uint32_t units) {
    const uint32_t first = UnitOf(run);
    for (uint32_t u = first; u < first + units; ++u) {
      ASSERT_TRUE(inUse_[u]) << "unit " << u;
      ASSERT_EQ(std::memcmp(ModelAddress(UnitOffset(u)), &shadow_[u * kUnit], kUnit), 0) << "unit " << u;
      inUse_[u] = 0;
    }
  }

  void MarkUsed(uint32_t unit) { inUse_[unit] = 1; std::memcpy(&shadow_[unit * kUnit], ModelAddress(UnitOffset(unit)), kUnit); }

  bool InGap(uint32_t unit) const { return unit >= UnitOf(pool_.lowEdge) && unit < UnitOf(pool_.highEdge); }

  // Every laid-out unit outside the gap is either in use or in exactly one
  // free run; nothing in use has changed; list links are consistent.
  // Returns the free runs found, as (first unit, units).
  std::set<std::pair<uint32_t, uint32_t>> CheckAll() {
    std::vector<uint8_t> free(kBlockUnits, 0);
    std::set<std::pair<uint32_t, uint32_t>> runs;
    for (int list = 0; list < UNIT_POOL::kHeadCount; ++list) {
      for (uint32_t run : ListOldestFirst(pool_, list)) {
        const bool mergeList = list == UNIT_POOL::kMergeList;
        EXPECT_EQ(StampOf(run), mergeList ? 0 : 0xFFFF);
        const uint32_t units = CountOf(run);
        EXPECT_EQ(units, mergeList ? 1 : UNIT_POOL::classUnits[list]);
        const uint32_t first = UnitOf(run);
        EXPECT_GE(first, kFirstRunUnit);
        EXPECT_LE(first + units - 1, kTopUnit);
        if (first < kFirstRunUnit || first + units - 1 > kTopUnit) continue;
        for (uint32_t u = first; u < first + units; ++u) {
          EXPECT_FALSE(inUse_[u]) << "free run over used unit " << u;
          EXPECT_FALSE(free[u]) << "unit " << u << " in two free runs";
          EXPECT_FALSE(InGap(u)) << "free run in the gap at " << u;
          free[u] = 1;
        }
        runs.emplace(first, units);
      }
    }
    for (uint32_t u = kFirstRunUnit; u <= kTopUnit; ++u) {
      if (InGap(u)) {
        EXPECT_FALSE(inUse_[u] || free[u]) << "gap unit " << u;
      } else {
        EXPECT_TRUE(inUse_[u] || free[u]) << "unit " << u << " lost";
        if (inUse_[u]) {
          EXPECT_EQ(std::memcmp(ModelAddress(UnitOffset(u)), &shadow_[u * kUnit], kUnit), 0) << "unit " << u;
        }
      }
      if (::testing::Test::HasFailure()) break;
    }
    return runs;
  }

 private:
  UNIT_POOL& pool_;
  std::vector<uint8_t> inUse_;
  std::vector<uint8_t> shadow_;
};

struct Allocation {
  uint32_t run;
  uint32_t units;
};

class LiveSet {
 public:
  void Add(Allocation a) {
    index_[a.run] = items_.size();
    items_.push_back(a);
  }
  Allocation Remove(size_t i) {
    const Allocation a = items_[i];
    index_.erase(a.run);
    if (i + 1 != items_.size()) {
      items_[i] = items_.back();
      index_[items_[i].run] = i;
    }
    items_.pop_back();
    return a;
  }
  const Allocation* Find(uint32_t run) const {
    const auto it = index_.find(run);
    return it == index_.end() ? nullptr : &items_[it->second];
  }
  size_t IndexOf(uint32_t run) const { return index_.at(run); }
  void Shrink(size_t i, uint32_t units) { items_[i].units = units; }
  size_t size() const { return items_.size(); }
  const Allocation& operator[](size_t i) const { return items_[i]; }

 private:
  std::vector<Allocation> items_;
  std::unordered_map<uint32_t, size_t> index_;
};

int RandomClass(std::mt19937& rng) {
  const uint32_t pick = rng() % 100;
  if (pick < 50) return static_cast<int>(rng() % 8);
  if (pick < 85) return 8 + static_cast<int>(rng() % 13);
  return 21 + static_cast<int>(rng() % 17);
}

// The canonical cut of a stretch of free units: full runs of 128 from its
// start, then the rest as one class run, or a class run and a 1..3 tail.
void CutStretch(uint32_t first, uint32_t units, std::set<std::pair<uint32_t, uint32_t>>& out) {
  while (units > 128) {
    out.emplace(first, 128);
    first += 128;
    units -= 128;
  }
  if (units == 0) return;
  const int c = UNIT_POOL::unitsClass[units - 1];
  if (UNIT_POOL::classUnits[c] == units) {
    out.emplace(first, units);
  } else {
    const uint32_t k = UNIT_POOL::classUnits[c - 1];
    out.emplace(first, k);
    out.emplace(first + k, units - k);
  }
}

TEST_F(UnitPoolTest, RandomSequencesNeverOverlapLoseOrJoinUsedUnits) {
  constexpr int kOperations = 120000;
  constexpr uint32_t kWorkingUnits = 20000;
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    pool.start();
    PoolReference ref(pool);
    ref.MarkUsed(UnitOf(pool.rootOffset()));
    LiveSet live;
    std::vector<Allocation> ballast;
    // Most of the block is taken up front, so exhaustion comes quickly.
    while (GapUnits() >= kWorkingUnits + 128) {
      const uint32_t run = pool.allocUnits(37);
      ref.Take(run, 128, rng);
      ballast.push_back({run, 128});
    }
    uint64_t failures = 0, merges = 0, frees = 0, bigFrees = 0, givenBack = 0;
    bool growing = true;
    for (int op = 0; op < kOperations; ++op) {
      if (op % 4000 == 0) growing = !growing || failures == 0;
      const uint32_t pick = rng() % 1000;
      const bool allocate = growing ? pick < 650 : pick < 350;
      if (allocate) {
        uint32_t run = 0, units = 0;
        const uint32_t kind = rng() % 100;
        if (kind < 30) {
          run = pool.allocContext();
          units = 1;
        } else {
          const int c = RandomClass(rng);
          run = kind < 32 ? pool.allocRare(c) : pool.allocUnits(c);
          units = UNIT_POOL::classUnits[c];
        }
        if (run == 0) {
          ++failures;
        } else {
          ref.Take(run, units, rng);
          live.Add({run, units});
        }
      } else if (pick < 990 && live.size() > 0) {
        const size_t i = rng() % live.size();
        const Allocation a = live[i];
        const uint32_t how = rng() % 100;
        if (how < 15 && a.units > 1) {
          // Shrink to a smaller class and give back the tail.
          int c = UNIT_POOL::unitsClass[a.units - 1];
          c = static_cast<int>(rng() % c);
          const uint32_t keep = UNIT_POOL::classUnits[c];
          ref.Give(Advance(a.run, keep), a.units - keep);
          pool.freeUnits(Advance(a.run, keep), a.units - keep);
          live.Shrink(i, keep);
        } else if (how < 35 && a.units == 1) {
          ref.Give(a.run, 1);
          live.Remove(i);
          pool.giveBackUnit(a.run);
          ++givenBack;
        } else if (how < 45 && live.Find(Advance(a.run, a.units)) != nullptr) {
          // Two neighbouring allocations given back in one call.
          const Allocation b = *live.Find(Advance(a.run, a.units));
          ref.Give(a.run, a.units);
          ref.Give(b.run, b.units);
          live.Remove(live.IndexOf(a.run));
          live.Remove(live.IndexOf(b.run));
          pool.freeUnits(a.run, a.units + b.units);
          ++bigFrees;
        } else {
          ref.Give(a.run, a.units);
          live.Remove(i);
          pool.freeUnits(a.run, a.units);
        }
        ++frees;
      } else if (pick < 995 && !ballast.empty()) {
        const Allocation a = ballast.back();
        ballast.pop_back();
        ref.Give(a.run, a.units);
        pool.freeUnits(a.run, a.units);
      } else {
        pool.mergePass();
        ++merges;
      }
      if (op % 2000 == 1999) {
        ref.CheckAll();
        ASSERT_FALSE(HasFailure()) << "after operation " << op;
      }
    }
    EXPECT_GT(failures, 0u);
    EXPECT_GT(pool.mergeCount, 0u);
    EXPECT_GT(merges, 0u);
    EXPECT_GT(frees, 1000u);
    EXPECT_GT(givenBack, 100u);
    EXPECT_GT(bigFrees, 10u);

    // Give everything back: one merging pass must leave each free stretch
    // cut in the canonical way.
    for (size_t i = live.size(); i-- > 0;) {
      const Allocation a = live.Remove(i);
      ref.Give(a.run, a.units);
      if (a.units == 1 && (rng() & 1)) {
        pool.giveBackUnit(a.run);
      } else {
        pool.freeUnits(a.run, a.units);
      }
    }
    for (const Allocation& a : ballast) {
      ref.Give(a.run, a.units);
      pool.freeUnits(a.run, a.units);
    }
    pool.mergePass();
    const auto runs = ref.CheckAll();
    std::set<std::pair<uint32_t, uint32_t>> expected;
    const uint32_t low = UnitOf(pool.lowEdge);
    const uint32_t high = UnitOf(pool.highEdge);
    if (low == high) {
      CutStretch(kFirstRunUnit, kTopUnit - kFirstRunUnit, expected);
    } else {
      CutStretch(kFirstRunUnit, low - kFirstRunUnit, expected);
      CutStretch(high, kTopUnit - high, expected);
    }
    EXPECT_EQ(runs, expected);
  }
}

}  // namespace
}  // namespace zubreca
