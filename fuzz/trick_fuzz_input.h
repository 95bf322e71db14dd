// The input format of the trick decoders' fuzz targets, shared with the
// programs that write their seeds: one option (or mode) byte, then the lengths of the
// five streams as 16-bit little-endian numbers, then the streams' bytes one
// after the other. Missing bytes count as 0 and lengths are cut to what is
// there, so every input means something.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tricks/trick.h"

namespace zubreca::fuzzing {

inline constexpr int kWikiStreams = 5;

struct WIKI_FUZZ_INPUT {
  uint8_t options = 0;
  std::vector<std::string> streams;
};

inline WIKI_FUZZ_INPUT ParseWikiInput(const uint8_t* data, size_t size) {
  WIKI_FUZZ_INPUT input;
  size_t at = 0;
  const auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  input.options = next();
  size_t lengths[kWikiStreams];
  for (size_t& length : lengths) length = next() | next() << 8;
  for (const size_t length : lengths) {
    const size_t take = std::min(length, size - std::min(at, size));
    input.streams.emplace_back(reinterpret_cast<const char*>(data) + at, take);
    at += take;
  }
  return input;
}

// The streams in the stored form of coded buffers, one after the other, as
// a trick decoder reads them from an archive.
inline std::string StoredStreams(const WIKI_FUZZ_INPUT& input) {
  std::string archive;
  for (const std::string& stream : input.streams) {
    const uint32_t n = static_cast<uint32_t>(stream.size());
    archive += '\xFF';
    for (int i = 0; i < 4; ++i) archive.push_back(static_cast<char>(n >> (8 * i)));
    archive += stream;
  }
  return archive;
}

// Runs `decoder` on the streams of `input` with its option byte as the
// header after the trick number, in the directory of the shipped dictionary (the
// wiki trick needs it) and with the progress marks sent nowhere.
inline void RunDecoderOnStreams(const WIKI_FUZZ_INPUT& input, DATA_BUFFER* (*decoder)(ENTRY_READER&)) {
  static const bool ready =
      chdir(ZUBRECA_SOURCE_DIR "/dictionary") == 0 && freopen("/dev/null", "w", stdout) != nullptr;
  if (!ready) return;
  std::string archive = StoredStreams(input);
  FILE* file = fmemopen(archive.data(), archive.size(), "rb");
  if (!file) return;
  headerBuffer = new DATA_BUFFER(8, 2, nullptr);
  headerBuffer->putByte(input.options);
  headerBuffer->flip();
  modelOrder = 128;
  ENTRY_READER entry{file, static_cast<uint32_t>(archive.size())};
  delete decoder(entry);
  delete headerBuffer;
  headerBuffer = nullptr;
  fclose(file);
}

inline std::string WriteWikiInput(const WIKI_FUZZ_INPUT& input) {
  std::string bytes(1, static_cast<char>(input.options));
  for (const std::string& stream : input.streams) {
    bytes.push_back(static_cast<char>(stream.size() & 0xFF));
    bytes.push_back(static_cast<char>(stream.size() >> 8 & 0xFF));
  }
  for (const std::string& stream : input.streams) bytes += stream;
  return bytes;
}

}  // namespace zubreca::fuzzing
