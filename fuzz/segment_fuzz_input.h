// The input format of the segmentation trick's fuzz target, shared with
// the program that writes its seeds: the file's length and the header's
// length as 16-bit little-endian numbers, the header bytes that follow the
// trick number, then any number of buffers, each as a 16-bit little-endian
// length and its bytes. Missing bytes count as 0 and lengths are cut to
// what is there, so every input means something.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace zubreca::fuzzing {

struct SEGMENT_FUZZ_INPUT {
  uint32_t fileLength = 0;
  std::string header;
  std::vector<std::string> buffers;
};

inline SEGMENT_FUZZ_INPUT ParseSegmentInput(const uint8_t* data, size_t size) {
  SEGMENT_FUZZ_INPUT input;
  size_t at = 0;
  const auto next = [&]() -> uint32_t { return at < size ? data[at++] : 0; };
  const auto take = [&](size_t length) {
    const size_t n = std::min(length, size - std::min(at, size));
    std::string bytes(reinterpret_cast<const char*>(data) + std::min(at, size), n);
    at += n;
    return bytes;
  };
  input.fileLength = next() | next() << 8;
  const uint32_t headerLength = next() | next() << 8;
  input.header = take(headerLength);
  while (at < size) {
    const uint32_t length = next() | next() << 8;
    input.buffers.push_back(take(length));
  }
  return input;
}

inline std::string WriteSegmentInput(const SEGMENT_FUZZ_INPUT& input) {
  const auto le16 = [](size_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)}; };
  std::string bytes = le16(input.fileLength) + le16(input.header.size()) + input.header;
  for (const std::string& buffer : input.buffers) bytes += le16(buffer.size()) + buffer;
  return bytes;
}

}  // namespace zubreca::fuzzing
