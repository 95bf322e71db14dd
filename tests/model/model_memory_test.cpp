#include "model/model_memory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace zubreca {
namespace {

// Counts the blocks requested through the allocation hook and remembers
// their sizes; the memory itself comes from malloc.
std::vector<std::size_t> requestedSizes;

void* CountingAllocate(std::size_t bytes) {
  requestedSizes.push_back(bytes);
  return std::malloc(bytes);
}

void* FailingAllocate(std::size_t bytes) {
  requestedSizes.push_back(bytes);
  return nullptr;
}

class ModelMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MODEL_MEMORY::release();
    requestedSizes.clear();
    MODEL_MEMORY::allocateBlock = CountingAllocate;
  }
  void TearDown() override {
    MODEL_MEMORY::release();
    MODEL_MEMORY::allocateBlock = nullptr;
  }
};

TEST_F(ModelMemoryTest, ReserveGivesMegabytesTimesTwoToTheTwenty) {
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 4u << 20);
  ASSERT_NE(MODEL_MEMORY::block, nullptr);
  EXPECT_EQ(requestedSizes, std::vector<std::size_t>{4u << 20});
  // The whole block is usable: offsets 1 .. blockSize name its bytes.
  EXPECT_EQ(ModelAddress(1), MODEL_MEMORY::block);
  *ModelAddress(1) = 0x5A;
  *ModelAddress(MODEL_MEMORY::blockSize) = 0xA5;
  EXPECT_EQ(MODEL_MEMORY::block[0], 0x5A);
  EXPECT_EQ(MODEL_MEMORY::block[MODEL_MEMORY::blockSize - 1], 0xA5);
}

TEST_F(ModelMemoryTest, LargestSizeIsExactlyTwoGigabytes) {
  // The pages are never touched, so this costs address space only.
  ASSERT_TRUE(MODEL_MEMORY::reserve(2048));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 0x80000000u);
  EXPECT_EQ(requestedSizes, std::vector<std::size_t>{0x80000000u});
}

TEST_F(ModelMemoryTest, SameSizeKeepsTheBlockAndItsContents) {
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  uint8_t* const first = MODEL_MEMORY::block;
  first[123] = 0x77;
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  EXPECT_EQ(MODEL_MEMORY::block, first);
  EXPECT_EQ(MODEL_MEMORY::blockSize, 4u << 20);
  EXPECT_EQ(first[123], 0x77);
  EXPECT_EQ(requestedSizes.size(), 1u);
}

TEST_F(ModelMemoryTest, OtherSizeAllocatesAnew) {
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  ASSERT_TRUE(MODEL_MEMORY::reserve(5));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 5u << 20);
  EXPECT_EQ(requestedSizes, (std::vector<std::size_t>{4u << 20, 5u << 20}));
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 4u << 20);
  EXPECT_EQ(requestedSizes.size(), 3u);
}

TEST_F(ModelMemoryTest, FailedAllocationHoldsNoBlock) {
  MODEL_MEMORY::allocateBlock = FailingAllocate;
  EXPECT_FALSE(MODEL_MEMORY::reserve(8));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 0u);
  EXPECT_EQ(MODEL_MEMORY::block, nullptr);

  // A block held before a failing change of size is given up as well.
  MODEL_MEMORY::allocateBlock = CountingAllocate;
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  MODEL_MEMORY::allocateBlock = FailingAllocate;
  EXPECT_FALSE(MODEL_MEMORY::reserve(6));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 0u);
  EXPECT_EQ(MODEL_MEMORY::block, nullptr);
  EXPECT_EQ(requestedSizes, (std::vector<std::size_t>{8u << 20, 4u << 20, 6u << 20}));

  // After a failure the same size is tried again rather than "kept".
  MODEL_MEMORY::allocateBlock = CountingAllocate;
  ASSERT_TRUE(MODEL_MEMORY::reserve(6));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 6u << 20);
}

TEST_F(ModelMemoryTest, ZeroSizeIsRefused) {
  EXPECT_FALSE(MODEL_MEMORY::reserve(0));
  EXPECT_EQ(MODEL_MEMORY::blockSize, 0u);
  // 4096 MB does not fit the 32-bit size and wraps to 0.
  EXPECT_FALSE(MODEL_MEMORY::reserve(4096));
  EXPECT_TRUE(requestedSizes.empty());
}

TEST_F(ModelMemoryTest, ReleaseDropsTheBlockAndIsHarmlessTwice) {
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  MODEL_MEMORY::release();
  EXPECT_EQ(MODEL_MEMORY::blockSize, 0u);
  EXPECT_EQ(MODEL_MEMORY::block, nullptr);
  MODEL_MEMORY::release();
  EXPECT_EQ(MODEL_MEMORY::blockSize, 0u);
  // Reserving again after a release allocates a new block.
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  EXPECT_EQ(requestedSizes.size(), 2u);
}

}  // namespace
}  // namespace zubreca
