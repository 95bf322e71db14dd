#include "model/used_slot_log.h"

#include <gtest/gtest.h>

#include <vector>

namespace zubreca {
namespace {

struct REPLAY {
  std::vector<uint32_t> restored;
  int wholeRestores = 0;
};

template <uint32_t Capacity>
REPLAY Replay(USED_SLOT_LOG<Capacity>& log) {
  REPLAY r;
  log.replay([&](uint32_t slot) { r.restored.push_back(slot); }, [&] { ++r.wholeRestores; });
  return r;
}

TEST(UsedSlotLog, StartsOverflowedSoTheFirstReplayRestoresEverything) {
  USED_SLOT_LOG<4> log;
  const REPLAY first = Replay(log);
  EXPECT_EQ(first.wholeRestores, 1);
  EXPECT_TRUE(first.restored.empty());
  // Then it starts empty: nothing to restore.
  const REPLAY second = Replay(log);
  EXPECT_EQ(second.wholeRestores, 0);
  EXPECT_TRUE(second.restored.empty());
}

TEST(UsedSlotLog, ReplaysTheNotedSlotsInOrderUpToItsCapacity) {
  USED_SLOT_LOG<4> log;
  Replay(log);
  for (uint32_t slot : {7u, 1u << 31 | 3u, 7u, 0u}) log.note(slot);
  const REPLAY full = Replay(log);
  EXPECT_EQ(full.wholeRestores, 0);
  EXPECT_EQ(full.restored, (std::vector<uint32_t>{7u, 1u << 31 | 3u, 7u, 0u}));

  // One slot more than fits: the owner restores its tables whole instead.
  for (uint32_t slot = 0; slot < 5; ++slot) log.note(slot);
  const REPLAY over = Replay(log);
  EXPECT_EQ(over.wholeRestores, 1);
  EXPECT_TRUE(over.restored.empty());
  log.note(9);
  EXPECT_EQ(Replay(log).restored, std::vector<uint32_t>{9u});
}

}  // namespace
}  // namespace zubreca
