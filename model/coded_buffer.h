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

// How far DecodeBuffer may go. A damaged stream can decode to far more than
// it took to code (a few dozen bytes may stand for megabytes of one
// repeated byte), so callers that know how much a sound buffer holds pass
// one more than that and see the damage as a wrong length at once. A sound
// buffer of n bytes needs a limit above n: its stream ends with the
// end-of-data decision, and only once that is decoded has the archive been
// read to the end of the buffer.
//
// Where the bound follows from the first bytes of the buffer itself (an
// entry header tells its own length), `refine` is asked again each time
// the decoder reaches `bytes`, with the buffer decoded so far (still in the
// writing phase); decoding stops when the new bound is not above what has
// been decoded.
struct DECODE_LIMIT {
  uint32_t bytes = kDecodeLimit + 1;
  uint32_t (*refine)(const DATA_BUFFER& decodedSoFar) = nullptr;
};

// Decodes one coded buffer from the archive, appends its bytes to `buffer`
// (in the writing phase) and flips it. It appends at most the limit's
// bytes, and never more than kDecodeLimit + 1.
//
// Returns whether the buffer ended exactly as a sound one does: a stored
// buffer with all its bytes there, or a coded one whose end-of-data
// decision was decoded without reading past the archive's end and whose
// coder ended exactly (RANGE_CODER::endedExactly: a changed byte among the
// first or the last ones of a stream shows there even when it changed no
// decoded byte). A buffer cut short by the limit is not sound either.
bool DecodeBuffer(DATA_BUFFER* buffer, FILE* archive, DECODE_LIMIT limit);
inline bool DecodeBuffer(DATA_BUFFER* buffer, FILE* archive, uint32_t limit = kDecodeLimit + 1) {
  return DecodeBuffer(buffer, archive, DECODE_LIMIT{limit, nullptr});
}

}  // namespace zubreca
