// Bytes per second through the executable trick's transform on libc (the
// x86 corpus file that passes as code): both encoder passes, the merge
// that the decoder runs and the encoder repeats as a check, and the whole
// encoder (passes, check, header).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tricks/exe/exe_trick.h"

namespace zubreca {
namespace {

std::vector<uint8_t> Libc() {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(ZUBRECA_CORPUS "/x86/libc.so.6", "rb")) {
    for (int c; (c = getc(f)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    fclose(f);
  }
  return bytes;
}

DATA_BUFFER* Buffer(const std::vector<uint8_t>& bytes) {
  DATA_BUFFER* buffer = new DATA_BUFFER(static_cast<int>(bytes.size()), 128, nullptr);
  buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
  buffer->flip();
  return buffer;
}

void BM_SplitPasses(benchmark::State& state) {
  const std::vector<uint8_t> code = Libc();
  DATA_BUFFER* input = Buffer(code);
  for (auto _ : state) {
    const EXE_SPLIT split = SplitExe(kExe32, *input);
    delete split.head;
  }
  delete input;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(code.size()));
}
BENCHMARK(BM_SplitPasses)->Unit(benchmark::kMillisecond);

void BM_Merge(benchmark::State& state) {
  const std::vector<uint8_t> code = Libc();
  DATA_BUFFER* input = Buffer(code);
  const EXE_SPLIT split = SplitExe(kExe32, *input);
  DATA_BUFFER* streams[kExeStreamCount + 1] = {};
  int k = 1;
  for (DATA_BUFFER* b = split.head; b; b = b->next) streams[k++] = b;
  for (auto _ : state) {
    DATA_BUFFER* output = nullptr;
    MergeExeStreams(kExe32, static_cast<uint32_t>(code.size()), streams, output);
    delete output;
  }
  delete split.head;
  delete input;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(code.size()));
}
BENCHMARK(BM_Merge)->Unit(benchmark::kMillisecond);

void BM_EncodeExe(benchmark::State& state) {
  const std::vector<uint8_t> code = Libc();
  for (auto _ : state) {
    headerBuffer = new DATA_BUFFER(64, 2, nullptr);
    DATA_BUFFER* chain = Buffer(code);
    EncodeExe("", chain);
    delete chain;
    delete headerBuffer;
    headerBuffer = nullptr;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(code.size()));
}
BENCHMARK(BM_EncodeExe)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zubreca
