// Framing of one coded buffer in the archive: a model number byte and the
// range-coded bytes, or 0xFF, a 32-bit length and the bytes uncoded when
// coding would not make them smaller.
#pragma once

#include <cstdio>

namespace zubreca {

class DATA_BUFFER;

// Codes a buffer in the reading phase into the archive at its end.
void EncodeBuffer(FILE* archive, DATA_BUFFER* buffer);
// Decodes one coded buffer from the archive, appends its bytes to `buffer`
// (in the writing phase) and flips it.
void DecodeBuffer(DATA_BUFFER* buffer, FILE* archive);

}  // namespace zubreca
