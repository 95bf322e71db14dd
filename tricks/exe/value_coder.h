// Wide displacements and immediates of x86 code, one byte each where it
// can be done.
//
// Each value class (11 to 19) has a move-to-front cache of its 79 most
// recent values. A value goes to its class's stream as
//   0..62    value + 31, for a small value (classes 12 to 19)
//   63       in full: 14 bytes in the stream of long values
//   64, k    found at cache index k - 50 (15..78)
//   65..76   found at cache index code - 62 (3..14)
//   77..93   slot 2 + (code - 85)
//   94..126  slot 1 + (code - 110)
//   127..255 slot 0 + (code - 191)
// and every code but the small values moves the value to the front.
#pragma once

#include <cstdint>

#include "tricks/exe/exe_streams.h"

namespace zubreca {

class DATA_BUFFER;

inline constexpr int kFirstValueClass = 11;
inline constexpr int kValueClassCount = 9;  // classes 11..19

// The stream of value class 11..19: 12..19, classes 17 and 18 sharing 18.
inline int ValueStream(int valueClass) { return valueClass + 1 - (valueClass > 17 ? 1 : 0); }

struct VALUE_CACHE {
  static constexpr int kSlots = 80;  // 79 values and the search's sentinel
  int32_t slots[kSlots] = {};

  // Puts v in front; returns where it was found (79: not there).
  int moveToFront(int32_t v);
};

// Appends v's code to `stream`, and its long form to `longValues` when it
// has no shorter one.
void PutValue(int valueClass, int32_t v, VALUE_CACHE& cache, DATA_BUFFER& stream, DATA_BUFFER& longValues);

// Reads back what PutValue wrote.
int32_t GetValue(VALUE_CACHE& cache, STREAM_READER& stream, STREAM_READER& longValues);

}  // namespace zubreca
