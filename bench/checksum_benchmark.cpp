// Bytes per second through the entry checksum (CRC-32C), which runs over
// every file once when encoding and once when decoding.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "buffers/checksum.h"

namespace zubreca {
namespace {

void BM_Crc32c(benchmark::State& state) {
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
  std::mt19937 rng(7);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  for (auto _ : state) benchmark::DoNotOptimize(Crc32c(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32c)->Arg(4096)->Arg(1 << 20);

}  // namespace
}  // namespace zubreca
