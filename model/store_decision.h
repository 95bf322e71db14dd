// Whether a buffer is worth running the model over.
//
// The model spends about a hundred binary decisions on a byte that is new
// to its contexts, so on data without structure (compressed or encrypted
// files, noise) it is slow, and in the end the buffer is stored anyway.
// One cheap pass over the buffer tells such data apart: its byte values
// are spread evenly, and the byte that followed the last occurrence of the
// current context, at orders 1, 2, 4 and 12, comes again no more often
// than chance would have it. Anything else is modelled: the test errs on
// the side of coding, since storing data that the model would have made
// smaller loses bytes, and modelling data that it cannot shrink loses only
// time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zubreca {

// The shortest buffer the test judges; shorter ones are always modelled
// (they are quick, and their statistics say too little).
inline constexpr size_t kShortestJudgedBuffer = 4096;

// The order-0 entropy of the byte values, in bits per byte.
double OrderZeroBits(const uint8_t* data, size_t length);
// The highest rate at which the byte that followed the last occurrence of
// the current context comes again, over orders 1, 2, 4 and 12.
double FollowerRepeatRate(const uint8_t* data, size_t length);

// True when the buffer shows no structure the model could use.
bool ShouldStoreUnmodelled(const uint8_t* data, size_t length);

}  // namespace zubreca
