// Fuzz target: the executable trick's merge of its 22 streams, on
// arbitrary streams in the input format of fuzz/exe_fuzz_input.h. This is
// all of the decoder that reads what an archive holds once the range coder
// has decoded the streams. Whatever they hold, the merge must end without
// a crash, a hang or a read or write outside the streams and the output;
// a wrong marker must come back as kOutOfStep, which the program turns
// into ".EXE integrity check".
//
// Seeds: fuzz/seeds/exe (fuzz/make_exe_seeds.cpp).

#include <cstdint>
#include <memory>

#include "buffers/data_buffer.h"
#include "fuzz/exe_fuzz_input.h"
#include "tricks/exe/exe_trick.h"

using namespace zubreca;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzing::EXE_FUZZ_INPUT input = fuzzing::ParseExeInput(data, size);
  DATA_BUFFER* streams[kExeStreamCount + 1] = {};
  std::unique_ptr<DATA_BUFFER> head(CreateExeStreams(input.length, streams));
  for (int k = 1; k <= kExeStreamCount; ++k) {
    const std::string& bytes = input.streams[k - 1];
    for (const char c : bytes) streams[k]->putByte(static_cast<uint8_t>(c));
    streams[k]->flip();
  }
  DATA_BUFFER* output = nullptr;
  MergeExeStreams(input.mode, input.length, streams, output);
  delete output;
  return 0;
}
