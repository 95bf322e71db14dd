// Trick 5: zero-ended records, each written backwards.
//
// Every record (a run of bytes ended by a byte 0) is written from its last
// byte to its first and followed by the 14 bytes 0, 1, ..., 13, and the
// result is coded with an order limit of 14: each record is then coded
// after the same 14 bytes of context, its end first. Tables of strings
// (symbol tables, lists of file names) compress better so, since their
// records share endings more than beginnings.
//
// The coded form cannot tell whether the last record had its 0: a file
// whose last byte is not 0 is coded with trick 0 instead (the encoder puts
// 0 in the place of the trick number it was called for).
#pragma once

#include "tricks/trick.h"

namespace zubreca {

inline constexpr int kRecordSeparatorLength = 14;
inline constexpr int kRecordOrder = 14;

const char* EncodeRecords(const char* position, DATA_BUFFER*& chain);
DATA_BUFFER* DecodeRecords(ENTRY_READER& entry);

}  // namespace zubreca
