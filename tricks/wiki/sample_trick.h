// Trick 4: numeric samples (audio, images, instrument data).
//
// One pass of byte statistics estimates how nine treatments would code:
// the data as 8-bit samples of 1 to 4 interleaved channels, as 16-bit
// little-endian samples, mono or stereo, from byte 0 or byte 1, or as a
// wiki dump. A sample treatment replaces every sample by its residual
// against one of five adaptive predictions (tricks/wiki/sample_predictor.h),
// the one whose residuals measure cheapest; 16-bit words whose top 4 bits
// are mostly 3 are packed into tagged 12-bit values instead. The mode byte
// after the trick number says what was done:
//
//   bits 0..3  0..3 8-bit, mode + 1 channels; 4, 5 16-bit mono from byte 0,
//              1; 6, 7 stereo from byte 0, 1; 9, 10 packing of mode 4, 5
//   bit 4      the samples are signed
//   bits 5..7  the prediction the residuals are taken against (0..4)
//   8 alone    the wiki trick; its option byte follows
//
// The trick's one parameter, 1, keeps the wiki treatment out of the choice.
#pragma once

#include <array>
#include <cstdint>

#include "tricks/trick.h"

namespace zubreca {

inline constexpr uint8_t kWikiMode = 8;

const char* EncodeSamples(const char* position, DATA_BUFFER*& chain);
// Null for a mode byte that no encoder writes (11 to 15, 8 with further
// bits, a prediction above 4).
DATA_BUFFER* DecodeSamples(ENTRY_READER& entry);
inline uint32_t SampleParameterBound(uint32_t /*fileLength*/) { return 2; }  // mode and wiki option bytes

// The measuring pass alone: the nine estimates (bits) of modes 0 to 8.
std::array<double, 9> SampleEstimates(const uint8_t* data, int32_t length);

// For tests: every later EncodeSamples takes `mode` (0 to 8) instead of
// the measured choice; -1 gives the choice back to the measurement.
void ForceSampleModeForTesting(int mode);

// The bits that a histogram's symbols cost under their own frequencies:
// (S ln S - sum of v ln v) / ln 2 over its non-zero counts v, S their sum.
double HistogramCost(const uint32_t* histogram);

}  // namespace zubreca
