// Fuzz target: the sample trick's and the record trick's decoders on
// arbitrary streams, in the input format of fuzz/wiki_fuzz_input.h (its
// option byte is the sample trick's mode byte; an odd mode byte's top bit
// picks the record trick instead). The streams reach the decoders in the
// stored form of a coded buffer, so that every input exercises the
// unpacking, the predictions and the record reversal rather than the
// range coder. Whatever the streams, the decoders must end without a
// crash, a hang or a read or write outside their buffers.
//
// It runs in the directory of the shipped dictionary (mode 8 is the wiki
// trick). Seeds: fuzz/seeds/samples.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "fuzz/wiki_fuzz_input.h"
#include "tricks/trick.h"
#include "tricks/wiki/record_trick.h"
#include "tricks/wiki/sample_trick.h"

using namespace zubreca;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The progress marks go nowhere.
  static const bool ready =
      chdir(ZUBRECA_SOURCE_DIR "/dictionary") == 0 && freopen("/dev/null", "w", stdout) != nullptr;
  if (!ready) return 0;
  const fuzzing::WIKI_FUZZ_INPUT input = fuzzing::ParseWikiInput(data, size);
  const bool records = (input.options & 0x81) == 0x81;
  std::string archive = fuzzing::StoredStreams(input);
  const size_t total = archive.size();
  FILE* file = fmemopen(archive.data(), archive.size(), "rb");
  if (!file) return 0;
  headerBuffer = new DATA_BUFFER(8, 2, nullptr);
  headerBuffer->putByte(input.options);
  headerBuffer->flip();
  modelOrder = 128;
  ENTRY_READER entry{file, static_cast<uint32_t>(total)};
  delete (records ? DecodeRecords(entry) : DecodeSamples(entry));
  delete headerBuffer;
  headerBuffer = nullptr;
  fclose(file);
  return 0;
}
