#include <gtest/gtest.h>

#include "model/context_tree.h"

namespace zubreca {
namespace {

// The chain copy rounds down to the nearest kept frequency and saturates
// above 13.
TEST(ChainFreq, CodesRoundDownAndSaturate) {
  const uint32_t expected[20] = {0, 0, 2, 3, 4, 4, 6, 6, 8, 8, 8, 11, 11, 11, 14, 14, 14, 14, 14, 14};
  for (uint32_t freq = 0; freq < 20; ++freq) EXPECT_EQ(kChainFreqs[ChainCode(freq)], expected[freq]) << freq;
  EXPECT_EQ(kChainFreqs[ChainCode(255)], 14);
}

// The copy lives in the index bits of a one-symbol context: setting it
// keeps the other flags, and the context hands on the larger of its own
// frequency and its copy.
TEST(ChainFreq, LivesBesideTheOtherFlags) {
  CONTEXT_RECORD c{};
  c.lastIndex = 0;
  c.flags = kFlagHighSymbol | kFlagRescaled | 0x18;
  c.oneState = SYMBOL_STATE{'e', 5, 0};
  SetChainFreq(&c, 9);
  EXPECT_EQ(c.flags, kFlagHighSymbol | kFlagRescaled | 0x18 | ChainCode(9));
  EXPECT_EQ(ChainFreq(&c), 8u);
  c.oneState.freq = 12;
  EXPECT_EQ(ChainFreq(&c), 12u);
  SetChainFreq(&c, 0);
  EXPECT_EQ(c.flags & kFlagIndexMask, 0);
  EXPECT_EQ(ChainFreq(&c), 12u);
}

}  // namespace
}  // namespace zubreca
