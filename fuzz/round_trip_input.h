// The input format of round_trip_fuzzer, shared with the program that
// writes its seeds: a trick byte, an order byte, then the file's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zubreca::fuzzing {

// The -t texts a trick byte chooses from (byte % kTrickTexts), with the
// parameters and class assignments that change what the tricks do.
inline constexpr const char* kTricks[] = {
    "0",    "1",    "1(0)", "1(9)", "1,(0)=0", "1,(0)=2", "1,(1)=4,(2)=5", "2",
    "2(0)", "2(8)", "2(9)", "2(12)", "3",      "4",       "4(1)",          "5",
};
inline constexpr int kTrickTexts = sizeof kTricks / sizeof kTricks[0];

struct ROUND_TRIP_INPUT {
  const char* trick = kTricks[0];
  int order = 2;
  std::string file;
};

inline ROUND_TRIP_INPUT ParseRoundTripInput(const uint8_t* data, size_t size) {
  ROUND_TRIP_INPUT input;
  if (size >= 1) input.trick = kTricks[data[0] % kTrickTexts];
  if (size >= 2) input.order = 2 + data[1] % 127;
  if (size > 2) input.file.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
  return input;
}

// The input that codes `file` with kTricks[trickIndex] at `order`.
inline std::string WriteRoundTripInput(int trickIndex, int order, const std::string& file) {
  return std::string(1, static_cast<char>(trickIndex)) + static_cast<char>(order - 2) + file;
}

}  // namespace zubreca::fuzzing
