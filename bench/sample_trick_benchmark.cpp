// Bytes per second through the sample trick's measuring pass (the byte
// statistics behind its choice of treatment) and through the whole
// encoder (measuring, predicting five ways, choosing), on 16-bit audio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tricks/wiki/sample_trick.h"

namespace zubreca {
namespace {

std::vector<uint8_t> Audio() {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(ZUBRECA_CORPUS "/samples/front_stereo.wav", "rb")) {
    for (int c; (c = getc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    fclose(f);
  }
  return bytes;
}

void BM_MeasuringPass(benchmark::State& state) {
  const std::vector<uint8_t> audio = Audio();
  DATA_BUFFER buffer(static_cast<int>(audio.size()), 128, nullptr);
  buffer.writeBlock(audio.data(), static_cast<int>(audio.size()));
  buffer.flip();
  for (auto _ : state) benchmark::DoNotOptimize(SampleEstimates(buffer.data(), buffer.length));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(audio.size()));
}
BENCHMARK(BM_MeasuringPass)->Unit(benchmark::kMillisecond);

void BM_EncodeSamples(benchmark::State& state) {
  const std::vector<uint8_t> audio = Audio();
  for (auto _ : state) {
    headerBuffer = new DATA_BUFFER(64, 2, nullptr);
    DATA_BUFFER* chain = new DATA_BUFFER(static_cast<int>(audio.size()), 128, nullptr);
    chain->writeBlock(audio.data(), static_cast<int>(audio.size()));
    chain->flip();
    EncodeSamples("(1)", chain);
    delete chain;
    delete headerBuffer;
    headerBuffer = nullptr;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(audio.size()));
}
BENCHMARK(BM_EncodeSamples)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zubreca
