// Trick 2: wiki XML dumps.
//
// One option byte follows the trick number in the header:
//   8  split the dump into five streams (tricks/wiki/xml_convertor.h)
//   4  a blank before punctuation runs of the first stream
//   2  case folding, then word codes (dictionary section 0), on it
//   1  case folding on it
//   16 accepted, no effect
// The default is 31. The link and interlanguage streams of a split are
// always word coded, so any split needs the dictionary "EnWiki.fsd".
//
// A split is trusted only when merging its streams gives the input back:
// otherwise the file is coded unsplit (the option byte then says so), so
// every file round-trips, whatever it holds. The first stream is coded at
// the run's model order, every other stream at its own.
#pragma once

#include <cstdint>

#include "tricks/trick.h"

namespace zubreca {

inline constexpr uint8_t kXmlSplit = 8;
inline constexpr uint8_t kPunctuationSpace = 4;
inline constexpr uint8_t kWordCodes = 2;
inline constexpr uint8_t kCaseFold = 1;
inline constexpr uint32_t kDefaultWikiOptions = 31;

const char* EncodeWiki(const char* position, DATA_BUFFER*& chain);
DATA_BUFFER* DecodeWiki(ENTRY_READER& entry);
inline uint32_t WikiParameterBound(uint32_t /*fileLength*/) { return 1; }  // the option byte

}  // namespace zubreca
