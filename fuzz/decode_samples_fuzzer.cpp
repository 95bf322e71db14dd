// Fuzz target: the sample trick's and the record trick's decoders on
// arbitrary streams, in the input format of fuzz/trick_fuzz_input.h (its
// option byte is the sample trick's mode byte; an odd mode byte's top bit
// picks the record trick instead). The streams reach the decoders in the
// stored form of a coded buffer, so that every input exercises the
// unpacking, the predictions and the record reversal rather than the
// range coder. Whatever the streams, the decoders must end without a
// crash, a hang or a read or write outside their buffers.
//
// It runs in the directory of the shipped dictionary (mode 8 is the wiki
// trick). Seeds: fuzz/seeds/samples.

#include <cstdint>
#include <cstdio>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "fuzz/trick_fuzz_input.h"
#include "tricks/trick.h"
#include "tricks/wiki/record_trick.h"
#include "tricks/wiki/sample_trick.h"

using namespace zubreca;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzing::WIKI_FUZZ_INPUT input = fuzzing::ParseWikiInput(data, size);
  const bool records = (input.options & 0x81) == 0x81;
  fuzzing::RunDecoderOnStreams(input, records ? DecodeRecords : DecodeSamples);
  return 0;
}
