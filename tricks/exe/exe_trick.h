// Trick 3: x86 machine code in 22 streams.
//
// The file is walked instruction by instruction (tricks/exe/opcode_tables.h)
// and split into streams of one kind of information each: opcodes and
// ModRM bytes, data that is not code, 8-bit displacements by addressing
// class, wide displacements and immediates by value class
// (tricks/exe/value_coder.h), branch targets (tricks/exe/branch_model.h).
// What depends on position is rewritten to repeat: call targets become
// absolute, branch targets become distances in instructions. Each stream
// is coded as a buffer of its own, with its own order limit and model
// number.
//
// The header holds a mode byte after the trick number: 1 for 32-bit code, 0
// for 16-bit code, each followed by the file's length (4 bytes, most
// significant first), or 2 when the file is not code under either
// assumption and went to trick 4, whose header bytes then follow.
//
// Before it is kept, every split is merged back in memory; a split that
// would not give the file back falls back to trick 4, so every file
// round-trips.
#pragma once

#include <cstdint>

#include "tricks/exe/exe_streams.h"
#include "tricks/trick.h"

namespace zubreca {

inline constexpr int kExe16 = 0, kExe32 = 1, kExeFallback = 2;

const char* EncodeExe(const char* position, DATA_BUFFER*& chain);
// Ends the run with ".EXE integrity check" when a marker byte is wrong;
// null when the streams are damaged otherwise.
DATA_BUFFER* DecodeExe(ENTRY_READER& entry);
inline uint32_t ExeParameterBound(uint32_t /*fileLength*/) { return 5; }  // mode byte and length, or 2 and trick 4's bytes

// The encoder's two passes on their own: the streams of `input` read as
// code of `mode` (0 or 1), flipped and chained 1 -> 22 behind `head`
// (null when pass 1 finds that the input is not code), and whether the
// branch model would keep them.
struct EXE_SPLIT {
  DATA_BUFFER* head = nullptr;
  bool accepted = false;
};
EXE_SPLIT SplitExe(int mode, const DATA_BUFFER& input);
// The same, whatever pass 1 finds: the streams of any input.
EXE_SPLIT SplitAnyExe(int mode, const DATA_BUFFER& input);

enum class EXE_MERGE { kRestored, kOutOfStep, kDamaged };

// The decoder's work after the streams are decoded: merges the flipped
// streams 1..22 of a file of `length` bytes coded in `mode` (0 or 1) into
// `output` (a new flipped buffer, when kRestored).
EXE_MERGE MergeExeStreams(int mode, uint32_t length, DATA_BUFFER* const streams[kExeStreamCount + 1],
                          DATA_BUFFER*& output);

}  // namespace zubreca
