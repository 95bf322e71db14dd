// The match model on its own: what it proposes, byte by byte, over buffers
// with known repeats.

#include "model/match_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace zubreca {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng() >> 24);
  return bytes;
}

// Runs the model over `bytes` and records, before each byte, the byte it
// proposed (-1 for none) and the match length.
struct TRACE {
  std::vector<int> proposed;
  std::vector<uint32_t> length;
};

TRACE Follow(MATCH_MODEL& model, const Bytes& bytes, bool sparse = false) {
  model.reset();
  TRACE trace;
  for (uint32_t i = 0; i < bytes.size(); ++i) {
    trace.proposed.push_back(model.proposed());
    trace.length.push_back(model.matchLength());
    model.update(bytes.data(), i, sparse);
  }
  return trace;
}

class MatchModelTest : public ::testing::Test {
 protected:
  // Two tables of 20 MB: not on the stack.
  std::unique_ptr<MATCH_MODEL> model = std::make_unique<MATCH_MODEL>();
};

TEST_F(MatchModelTest, NoiseGivesNoProposal) {
  const TRACE trace = Follow(*model, Noise(200000, 1));
  for (size_t i = 0; i < trace.proposed.size(); ++i) ASSERT_EQ(trace.proposed[i], -1) << "at " << i;
}

// Noise, other noise, then the first noise again: from the twelfth byte of
// the repeat on (with the sparse tables, a few bytes later, where the
// repeat meets a window they keep), every byte is proposed, and the length
// counts the bytes that agree.
TEST_F(MatchModelTest, ExactRepeatIsProposedFromTheShortWindowOn) {
  for (const bool sparse : {false, true}) {
    for (const size_t gap : {size_t{1000}, size_t{70000}}) {
      SCOPED_TRACE(testing::Message() << "gap " << gap << (sparse ? ", sparse" : ""));
      const Bytes block = Noise(3000, 2);
      Bytes bytes = block;
      const Bytes other = Noise(gap, 3);
      bytes.insert(bytes.end(), other.begin(), other.end());
      bytes.insert(bytes.end(), block.begin(), block.end());
      const TRACE trace = Follow(*model, bytes, sparse);
      const size_t start = block.size() + gap;
      const size_t window = MATCH_MODEL::kShortWindow;
      size_t first = window;
      while (first < block.size() && trace.proposed[start + first] == -1) ++first;
      if (sparse)
        EXPECT_LE(first, window + 24);
      else
        EXPECT_EQ(first, window);
      for (size_t k = 0; k < window; ++k) EXPECT_EQ(trace.proposed[start + k], -1) << k;
      for (size_t k = first; k < block.size(); ++k) {
        ASSERT_EQ(trace.proposed[start + k], block[k]) << k;
        ASSERT_EQ(trace.length[start + k], k) << k;  // no byte before the repeat agrees
      }
    }
  }
}

// A long match survives a changed byte at a quarter of its length; a short
// one ends there.
TEST_F(MatchModelTest, LongMatchRecoversFromAChangedByte) {
  const Bytes block = Noise(2000, 6);
  Bytes bytes = block;
  Bytes changed = block;
  changed[1000] ^= 0x5A;
  changed[1010] ^= 0x5A;  // ten bytes on, while the match recovers
  bytes.insert(bytes.end(), changed.begin(), changed.end());
  const TRACE trace = Follow(*model, bytes);
  const size_t start = block.size();
  EXPECT_EQ(trace.length[start + 1000], 1000u);
  EXPECT_EQ(trace.proposed[start + 1001], block[1001]);
  EXPECT_EQ(trace.length[start + 1001], 250u);
  EXPECT_EQ(trace.length[start + 1010], 259u);
  EXPECT_EQ(trace.length[start + 1011], 64u);  // 259 / 4
  for (size_t k = 1011; k < block.size(); ++k) ASSERT_EQ(trace.proposed[start + k], block[k]) << k;
}

// reset forgets the buffer before, also after more writes than the log of
// written slots holds.
TEST_F(MatchModelTest, ResetForgetsTheBufferBefore) {
  for (const size_t size : {size_t{5000}, size_t{300000}}) {
    SCOPED_TRACE(size);
    const Bytes first = Noise(size, 7);
    Follow(*model, first);
    const TRACE trace = Follow(*model, Bytes(first.begin(), first.begin() + 4000));
    for (size_t i = 0; i < trace.proposed.size(); ++i) ASSERT_EQ(trace.proposed[i], -1) << "at " << i;
  }
}

}  // namespace
}  // namespace zubreca
