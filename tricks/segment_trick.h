// Trick 1: segmentation. The file is cut into pieces of like statistics,
// gathered into classes (tricks/segment_search.h); each class is coded as
// a buffer of its own, through a trick of its own (trick 3 unless the -t
// text says otherwise).
//
// The -t text: an optional level 0..9 (default 5), then any number of
// class assignments ",(K)=T": class K (from 1, in the order of their first
// pieces; 0 for every class; default 1) takes the trick string T, e.g.
// "1(5),(2)=0". A class trick of 1 is coded as trick 0: classes are not
// cut again.
//
// The header after the trick number: the file's length, then for each
// class its pieces (length, offset from a base, a flag for another piece;
// 32-bit values most significant byte first), the class's trick number
// and parameters, and a flag for another class. A class's first piece is
// counted from the end of the previous class's first piece, every further
// piece from the end of the piece before it; an offset that points back
// is written as its 32-bit two's complement.
#pragma once

#include <cstdint>

#include "tricks/trick.h"

namespace zubreca {

const char* EncodeSegments(const char* position, DATA_BUFFER*& chain);
// Null when the descriptions do not fit the data: pieces outside the file
// or overlapping, a class buffer of another length than its pieces, or
// more classes than bytes.
DATA_BUFFER* DecodeSegments(ENTRY_READER& entry);
uint32_t SegmentParameterBound(uint32_t fileLength);

}  // namespace zubreca
