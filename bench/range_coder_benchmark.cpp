// Decisions per second through the range coder, encoding and decoding.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "model/range_coder.h"

namespace zubreca {
namespace {

struct Decision {
  bool hit;
  uint32_t weight;
  uint32_t total;
};

constexpr size_t kDecisions = 1 << 20;

// Totals of the size the model produces; outcomes follow the coded
// probabilities, skewed towards confident predictions as in real data.
const std::vector<Decision>& Decisions() {
  static const std::vector<Decision> decisions = [] {
    std::mt19937 rng(12345);
    std::vector<Decision> out;
    out.reserve(kDecisions);
    for (size_t i = 0; i < kDecisions; ++i) {
      const uint32_t total = 256 + rng() % 65280;
      const uint32_t weight = (rng() & 1) ? total - 1 - rng() % (total / 8) : 1 + rng() % (total - 1);
      out.push_back({rng() % total < weight, weight, total});
    }
    return out;
  }();
  return decisions;
}

std::vector<uint8_t> EncodeAll() {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  RANGE_CODER coder;
  coder.attach(stream);
  coder.startEncoder();
  for (const Decision& d : Decisions()) coder.encodeDecision(d.hit, d.weight, d.total);
  coder.flush();
  fclose(stream);
  std::vector<uint8_t> bytes(buffer, buffer + size);
  free(buffer);
  return bytes;
}

void BM_Encode(benchmark::State& state) {
  const std::vector<Decision>& decisions = Decisions();
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  if (stream == nullptr) {
    state.SkipWithError("open_memstream failed");
    return;
  }
  RANGE_CODER coder;
  coder.attach(stream);
  for (auto _ : state) {
    rewind(stream);
    coder.startEncoder();
    for (const Decision& d : decisions) coder.encodeDecision(d.hit, d.weight, d.total);
    coder.flush();
    benchmark::ClobberMemory();
  }
  fclose(stream);
  state.counters["bytes"] = static_cast<double>(size);
  free(buffer);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(decisions.size()));
}
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
  const std::vector<Decision>& decisions = Decisions();
  std::vector<uint8_t> bytes = EncodeAll();
  FILE* stream = fmemopen(bytes.data(), bytes.size(), "rb");
  if (stream == nullptr) {
    state.SkipWithError("fmemopen failed");
    return;
  }
  RANGE_CODER coder;
  coder.attach(stream);
  // One untimed pass checks that the stream decodes to what was coded.
  coder.startDecoder();
  for (const Decision& d : decisions) {
    if (coder.decodeDecision(d.weight, d.total) != d.hit) {
      fclose(stream);
      state.SkipWithError("decoded decisions differ from the encoded ones");
      return;
    }
  }
  for (auto _ : state) {
    rewind(stream);
    coder.startDecoder();
    size_t hits = 0;
    for (const Decision& d : decisions) hits += coder.decodeDecision(d.weight, d.total);
    benchmark::DoNotOptimize(hits);
  }
  fclose(stream);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(decisions.size()));
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zubreca
