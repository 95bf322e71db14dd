// Framing of one coded buffer in the archive: a model number byte and the
// range-coded bytes, or 0xFF, a 32-bit length and the bytes uncoded when
// coding would not make them smaller.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zubreca {

class DATA_BUFFER;

// Codes a buffer in the reading phase into the archive at its end.
void EncodeBuffer(FILE* archive, DATA_BUFFER* buffer);
// The most a sound buffer holds: the largest file an entry can hold.
inline constexpr uint32_t kDecodeLimit = 1u << 30;

// Decodes one coded buffer from the archive, appends its bytes to `buffer`
// (in the writing phase) and flips it. It appends at most `limit` bytes,
// and never more than kDecodeLimit + 1: a damaged stream can decode to far
// more than it took to code (a few dozen bytes may stand for megabytes of
// one repeated byte), so callers that know how much a sound buffer holds
// pass one more than that and see the damage as a wrong length at once. A
// sound buffer of n bytes needs a limit above n: its stream ends with the
// end-of-data decision, and only once that is decoded has the archive been
// read to the end of the buffer.
void DecodeBuffer(DATA_BUFFER* buffer, FILE* archive, uint32_t limit = kDecodeLimit + 1);

}  // namespace zubreca
