// Fuzz target: the wiki trick's decoder on arbitrary streams. The streams
// (fuzz/wiki_fuzz_input.h) reach DecodeWiki in the stored form of a coded
// buffer, so that every input exercises the word decoding, the inverse
// transforms and the merge rather than the range coder (which
// decode_buffer_fuzzer covers). Whatever the streams, the decoder must end
// without a crash, a hang or a read or write outside its buffers.
//
// It runs in the directory of the shipped dictionary, which it needs.
// Seeds: fuzz/seeds/wiki, written by build-fuzz/fuzz/make_wiki_seeds from
// real splits of the wiki samples.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "fuzz/wiki_fuzz_input.h"
#include "tricks/trick.h"
#include "tricks/wiki/wiki_trick.h"

using namespace zubreca;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The progress marks go nowhere.
  static const bool ready =
      chdir(ZUBRECA_SOURCE_DIR "/dictionary") == 0 && freopen("/dev/null", "w", stdout) != nullptr;
  if (!ready) return 0;
  const fuzzing::WIKI_FUZZ_INPUT input = fuzzing::ParseWikiInput(data, size);
  std::string archive = fuzzing::StoredStreams(input);
  const size_t total = archive.size();
  FILE* file = fmemopen(archive.data(), archive.size(), "rb");
  if (!file) return 0;
  headerBuffer = new DATA_BUFFER(8, 2, nullptr);
  headerBuffer->putByte(input.options);
  headerBuffer->flip();
  modelOrder = 128;
  ENTRY_READER entry{file, static_cast<uint32_t>(total)};
  delete DecodeWiki(entry);
  delete headerBuffer;
  headerBuffer = nullptr;
  fclose(file);
  return 0;
}
