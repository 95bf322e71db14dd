// The streams of the executable trick, and how its decoder reads them.
#pragma once

#include <cstdint>

namespace zubreca {

// Stream numbers (1 to 22) of the executable trick's chain.
enum EXE_STREAM : int {
  kInstructionStream = 1,  // separators, prefixes, opcodes, ModRM, SIB, small fields, call targets
  kDataStream = 2,         // the bytes of data regions, each region after its length
  kShortDisplacements = 3,  // 3..10: 8-bit displacements by addressing class
  kShortImmediates = 11,    // 8-bit immediates of opcodes with OPF_IMMCLASS
  kFirstValueStream = 12,   // 12..19: wide values by value class
  kLongValues = 20,         // values in full, escaped from streams 12 to 19
  kFarBranches = 21,        // 16/32-bit branch targets
  kShortBranches = 22,      // 8-bit branch targets
  kExeStreamCount = 22,
};

// Reads one decoded stream byte by byte. A read past the end gives 0 and
// marks the stream damaged, as does any code that no encoder writes; a
// marker byte other than the one the encoder planted marks it out of step.
// The decoder stops at the first mark, so a damaged archive never costs a
// read outside a stream.
struct STREAM_READER {
  const uint8_t* cursor = nullptr;
  const uint8_t* end = nullptr;
  bool damaged = false;
  bool outOfStep = false;

  uint32_t next() {
    if (cursor < end) return *cursor++;
    damaged = true;
    return 0;
  }
};

// The check of a marker byte that the encoder planted. A wrong one means
// that the streams and the code have fallen out of step; the decoder then
// ends the run with ".EXE integrity check".
inline void TestExe(STREAM_READER& stream, uint32_t expected) {
  if (stream.next() != expected) stream.outOfStep = true;
}

class DATA_BUFFER;

// The 22 streams of one file of `length` bytes, indexed 1..22 (0 unused),
// each with its model number and order limit, chained 1 -> 22; returns
// stream 1, the head of the chain.
DATA_BUFFER* CreateExeStreams(uint32_t length, DATA_BUFFER* streams[kExeStreamCount + 1]);

// The most bytes stream k holds for a file of `length` bytes.
uint64_t ExeStreamBound(int k, uint32_t length);

}  // namespace zubreca
