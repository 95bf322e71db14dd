// Bytes per second through the segmentation trick's analysis (cutting
// and merging, no coding): on the mixed corpus tar, and on input made to
// be cut as often as possible (100-byte runs of text and random bytes
// taking turns, and runs of 4 KiB and 64 KiB).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "buffers/data_buffer.h"
#include "tricks/segment_search.h"

namespace zubreca {
namespace {

std::vector<uint8_t> MixedTar() {
  std::vector<uint8_t> bytes(2, 0);  // the two bytes before the first
  if (FILE* f = fopen(ZUBRECA_CORPUS "/mixed/canterbury.tar", "rb")) {
    for (int c; (c = getc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    fclose(f);
  }
  return bytes;
}

std::vector<uint8_t> TakingTurns(size_t size, int run) {
  std::vector<uint8_t> bytes(2, 0);
  std::mt19937 random(7);
  const char* text = "the quick brown fox jumps over the lazy dog and runs away again ";
  for (size_t i = 0; bytes.size() < size + 2; ++i) {
    for (int j = 0; j < run; ++j) bytes.push_back((i & 1) ? static_cast<uint8_t>(random()) : text[(i * 7 + j) % 64]);
  }
  return bytes;
}

// Runs drawn from `sources` different narrow alphabets in turn: as many
// classes as the analysis can be made to keep.
std::vector<uint8_t> ManySources(size_t size, int run, int sources) {
  std::vector<uint8_t> bytes(2, 0);
  std::mt19937 random(11);
  for (size_t i = 0; bytes.size() < size + 2; ++i) {
    const uint32_t source = static_cast<uint32_t>(i % static_cast<size_t>(sources));
    for (int j = 0; j < run; ++j) bytes.push_back(static_cast<uint8_t>(source * 4 + random() % 4));
  }
  return bytes;
}

void Analyse(benchmark::State& state, const std::vector<uint8_t>& bytes) {
  const uint32_t length = static_cast<uint32_t>(bytes.size() - 2);
  size_t classes = 0;
  for (auto _ : state) classes = AnalyseSegments(bytes.data() + 2, length, 5).size();
  state.counters["classes"] = static_cast<double>(classes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

void BM_AnalyseMixedTar(benchmark::State& state) { Analyse(state, MixedTar()); }
BENCHMARK(BM_AnalyseMixedTar)->Unit(benchmark::kMillisecond);

void BM_AnalyseRunsTakingTurns(benchmark::State& state) {
  Analyse(state, TakingTurns(static_cast<size_t>(state.range(0)), static_cast<int>(state.range(1))));
}
BENCHMARK(BM_AnalyseRunsTakingTurns)
    ->Args({1 << 20, 100})
    ->Args({8 << 20, 100})
    ->Args({8 << 20, 4096})
    ->Args({8 << 20, 65536})
    ->Unit(benchmark::kMillisecond);

void BM_AnalyseManySources(benchmark::State& state) {
  Analyse(state, ManySources(static_cast<size_t>(state.range(0)), static_cast<int>(state.range(1)), 64));
}
BENCHMARK(BM_AnalyseManySources)->Args({8 << 20, 4096})->Args({8 << 20, 200})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zubreca
