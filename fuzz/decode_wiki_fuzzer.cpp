// Fuzz target: the wiki trick's decoder on arbitrary streams. The streams
// (fuzz/trick_fuzz_input.h) reach DecodeWiki in the stored form of a coded
// buffer, so that every input exercises the word decoding, the inverse
// transforms and the merge rather than the range coder (which
// decode_buffer_fuzzer covers). Whatever the streams, the decoder must end
// without a crash, a hang or a read or write outside its buffers.
//
// It runs in the directory of the shipped dictionary, which it needs.
// Seeds: fuzz/seeds/wiki, written by build-fuzz/fuzz/make_wiki_seeds from
// real splits of the wiki samples.

#include <cstdint>
#include <cstdio>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "fuzz/trick_fuzz_input.h"
#include "tricks/trick.h"
#include "tricks/wiki/wiki_trick.h"

using namespace zubreca;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzzing::WIKI_FUZZ_INPUT input = fuzzing::ParseWikiInput(data, size);
  fuzzing::RunDecoderOnStreams(input, DecodeWiki);
  return 0;
}
