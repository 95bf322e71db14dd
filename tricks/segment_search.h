// The segmentation trick's analysis: which pieces of a file belong
// together. A file is cut recursively where the cost model
// (tricks/segment_cost.h) says that two parts code cheaper apart than
// together, and the parts are then merged greedily into classes while a
// union codes cheaper than its members apart.
//
// Both steps are bounded on any input: a file is cut into at most
// SegmentLimit pieces, and a piece is cut again at most kDeepestSplit
// times, so the analysis costs a few dozen passes over the file at most,
// and the merge compares at most SegmentLimit^2 / 2 pairs.
#pragma once

#include <cstdint>
#include <vector>

namespace zubreca {

// A piece of the file, as offsets.
struct PIECE {
  uint32_t offset;
  uint32_t length;
  uint32_t end() const { return offset + length; }
};

// A class: its pieces in ascending file order (touching pieces fused).
struct SEGMENT_CLASS {
  std::vector<PIECE> pieces;
  uint32_t length() const;
};

// At most this many pieces for a file of `length` bytes.
uint32_t SegmentLimit(uint32_t length);
inline constexpr int kDeepestSplit = 24;

// The classes of the `length` bytes at `data` (two readable bytes before
// it), ordered by the position of their first piece. `level` (0..9) is the
// tolerance: how little a cut or a merge must save to be made.
std::vector<SEGMENT_CLASS> AnalyseSegments(const uint8_t* data, uint32_t length, int level);

}  // namespace zubreca
