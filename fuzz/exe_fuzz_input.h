// The input format of the executable trick's fuzz target, shared with the
// program that writes its seeds: the mode byte (its low bit: 32-bit code),
// the file's length as a 16-bit little-endian number, the lengths of the
// 22 streams as 16-bit little-endian numbers, then the streams' bytes one
// after the other. Missing bytes count as 0 and lengths are cut to what is
// there, so every input means something.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tricks/exe/exe_streams.h"

namespace zubreca::fuzzing {

struct EXE_FUZZ_INPUT {
  uint8_t mode = 1;
  uint32_t length = 0;
  std::vector<std::string> streams;  // streams 1..22 at 0..21
};

inline EXE_FUZZ_INPUT ParseExeInput(const uint8_t* data, size_t size) {
  EXE_FUZZ_INPUT input;
  size_t at = 0;
  const auto next = [&]() -> uint32_t { return at < size ? data[at++] : 0; };
  input.mode = static_cast<uint8_t>(next() & 1);
  input.length = next() | next() << 8;
  size_t lengths[kExeStreamCount];
  for (size_t& length : lengths) length = next() | next() << 8;
  for (const size_t length : lengths) {
    const size_t take = std::min(length, size - std::min(at, size));
    input.streams.emplace_back(reinterpret_cast<const char*>(data) + std::min(at, size), take);
    at += take;
  }
  return input;
}

inline std::string WriteExeInput(const EXE_FUZZ_INPUT& input) {
  std::string bytes(1, static_cast<char>(input.mode));
  bytes.push_back(static_cast<char>(input.length & 0xFF));
  bytes.push_back(static_cast<char>(input.length >> 8 & 0xFF));
  for (const std::string& stream : input.streams) {
    bytes.push_back(static_cast<char>(stream.size() & 0xFF));
    bytes.push_back(static_cast<char>(stream.size() >> 8 & 0xFF));
  }
  for (const std::string& stream : input.streams) bytes += stream;
  return bytes;
}

}  // namespace zubreca::fuzzing
