// Fuzz target: decodes arbitrary bytes as one coded buffer. Whatever the
// input, the decoder must end without a crash, a hang or a read outside its
// buffers. Inputs that name a model library model are turned into plain
// coded buffers, since a missing model ends the program by design.
//
// Seeds: fuzz/seeds/buffer (fuzz/make_fuzz_seeds.cpp). fuzz/run_fuzzers.sh
// runs it with the other targets.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"

using namespace zubreca;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool reserved = MODEL_MEMORY::reserve(4);
  if (!reserved || size == 0) return 0;
  std::vector<uint8_t> stream(data, data + size);
  if (stream[0] != 0xFF) stream[0] = 0;
  // The first byte after the framing byte picks the order limit.
  modelOrder = 2 + (size > 1 ? stream[1] % 127 : 0);
  FILE* in = fmemopen(stream.data(), stream.size(), "rb");
  if (in == nullptr) return 0;
  DATA_BUFFER out(1024, 128);
  // A few bytes can decode to megabytes of a repeated byte; the bound keeps
  // each input quick without skipping any code path.
  DecodeBuffer(&out, in, 1u << 20);
  fclose(in);
  return 0;
}
