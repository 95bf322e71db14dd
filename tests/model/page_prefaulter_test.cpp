#include "model/page_prefaulter.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "model/model_memory.h"
#include "model/unit_pool.h"

namespace zubreca {
namespace {

constexpr uint32_t kMiB = 1u << 20;

// A fresh anonymous mapping: none of its pages is resident until written.
class FreshMapping {
 public:
  explicit FreshMapping(uint32_t bytes) : size(bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    if (base) madvise(base, bytes, MADV_NOHUGEPAGE);
  }
  ~FreshMapping() {
    if (base) munmap(base, size);
  }
  // Resident pages within [from, to) bytes of the mapping.
  size_t residentPages(uint32_t from, uint32_t to) const {
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident((to - from) / page);
    if (mincore(base + from, to - from, resident.data()) != 0) return SIZE_MAX;
    size_t count = 0;
    for (unsigned char r : resident) count += r & 1;
    return count;
  }
  uint8_t* base;
  uint32_t size;
};

TEST(PagePrefaulter, PopulatesAheadOfBothEdgesOnly) {
  FreshMapping block(64 * kMiB);
  ASSERT_NE(block.base, nullptr);
  PAGE_PREFAULTER prefaulter;
  prefaulter.start(block.base, block.size);
  prefaulter.stop();  // whatever the helper did stays within 8 MiB of the ends
  const long pages8 = 8 * kMiB / sysconf(_SC_PAGESIZE);
  // Edges as model offsets (1-based): low at 20 MiB, high at 40 MiB.
  if (!prefaulter.populateAhead(20 * kMiB + 1, 40 * kMiB + 1))
    GTEST_SKIP() << "this kernel cannot populate pages ahead of use";
  EXPECT_EQ(block.residentPages(20 * kMiB, 28 * kMiB), static_cast<size_t>(pages8));
  EXPECT_EQ(block.residentPages(32 * kMiB, 40 * kMiB), static_cast<size_t>(pages8));
  EXPECT_EQ(block.residentPages(28 * kMiB, 32 * kMiB), 0u);
  EXPECT_EQ(block.residentPages(10 * kMiB, 20 * kMiB), 0u);
  EXPECT_EQ(block.residentPages(40 * kMiB, 54 * kMiB), 0u);
}

TEST(PagePrefaulter, PopulatesEachRegionOnceAChunkAtATime) {
  FreshMapping tables(12 * kMiB);
  ASSERT_NE(tables.base, nullptr);
  tables.base[5 * kMiB] = 42;  // written before: must survive
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  PAGE_PREFAULTER prefaulter;  // no helper: its rounds are taken by hand
  prefaulter.addRegion(tables.base, 3 * kMiB);
  prefaulter.addRegion(tables.base + 4 * kMiB, 5 * kMiB);
  // 3 MiB, then 5 MiB, in chunks of at most 2 MiB: 2 + 1, then 2 + 2 + 1.
  int chunks = 0;
  while (prefaulter.populateNextChunk()) ++chunks;
  if (tables.residentPages(0, 3 * kMiB) == 0) GTEST_SKIP() << "this kernel cannot populate pages ahead of use";
  EXPECT_EQ(chunks, 5);
  EXPECT_EQ(tables.residentPages(0, 3 * kMiB), 3 * kMiB / page);
  EXPECT_EQ(tables.residentPages(3 * kMiB, 4 * kMiB), 0u);
  EXPECT_EQ(tables.residentPages(4 * kMiB, 9 * kMiB), 5 * kMiB / page);
  EXPECT_EQ(tables.residentPages(9 * kMiB, 12 * kMiB), 0u);
  EXPECT_EQ(tables.base[5 * kMiB], 42);
  EXPECT_EQ(tables.base[8 * kMiB], 0);
  // Populated once: a region added later is all that is left.
  prefaulter.addRegion(tables.base + 10 * kMiB, kMiB);
  EXPECT_TRUE(prefaulter.populateNextChunk());
  EXPECT_FALSE(prefaulter.populateNextChunk());
  EXPECT_EQ(tables.residentPages(10 * kMiB, 11 * kMiB), kMiB / page);
}

TEST(PagePrefaulter, NeverChangesContentsAndStopsOnRelease) {
  // The pool's edges move through a 16 MiB block while the helper runs; the
  // bytes written behind the edges must survive its populating.
  ASSERT_TRUE(MODEL_MEMORY::reserve(16));
  unitPool.start();
  std::vector<uint32_t> runs;
  for (uint32_t k = 0; k < 200000; ++k) {
    const uint32_t run = unitPool.allocUnits(3);
    const uint32_t context = unitPool.allocContext();
    if (run == 0 || context == 0) break;
    *ModelAddress(run) = static_cast<uint8_t>(k);
    *ModelAddress(context) = static_cast<uint8_t>(k * 7);
    runs.push_back(run);
    runs.push_back(context);
  }
  ASSERT_GT(runs.size(), 100000u);
  for (size_t i = 0; i < runs.size(); i += 2) {
    const uint32_t k = static_cast<uint32_t>(i / 2);
    ASSERT_EQ(*ModelAddress(runs[i]), static_cast<uint8_t>(k));
    ASSERT_EQ(*ModelAddress(runs[i + 1]), static_cast<uint8_t>(k * 7));
  }
  MODEL_MEMORY::release();  // joins the helper before the block goes
}

}  // namespace
}  // namespace zubreca
