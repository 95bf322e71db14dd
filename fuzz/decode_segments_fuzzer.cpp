// Fuzz target: the segmentation trick's decoder on an arbitrary header and
// arbitrary class buffers, in the input format of
// fuzz/segment_fuzz_input.h. The buffers reach it in the stored form of a
// coded buffer, and the class tricks named in the header decode them (in
// the directory of the shipped dictionary, for the tricks that need it).
// Whatever the header says, the decoder must end without a crash, a hang
// or a write outside the file; the program's fatal errors ("unknown
// trick", ".EXE integrity check", ...) are caught here and count as ends.
//
// Seeds: fuzz/seeds/segments (fuzz/make_segment_seeds.cpp).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/console.h"
#include "driver/run_settings.h"
#include "fuzz/fuzz_process.h"
#include "fuzz/segment_fuzz_input.h"
#include "model/model_memory.h"
#include "tricks/segment_trick.h"

using namespace zubreca;

// A fatal error leaves what the decoder had allocated, as it does when it
// ends the program; the leak check at the end of the run would report it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As the program does before it decodes: the model memory (a buffer may
  // be read in its coded form when a class trick reads past the stored
  // ones), the dictionary's directory, no progress marks, fatal errors
  // caught.
  static const bool ready = MODEL_MEMORY::reserve(4) && chdir(ZUBRECA_SOURCE_DIR "/dictionary") == 0 &&
                            freopen("/dev/null", "w", stdout) != nullptr && (SetFatalHook(fuzzing::ThrowFatal), true);
  if (!ready) return 0;
  const fuzzing::SEGMENT_FUZZ_INPUT input = fuzzing::ParseSegmentInput(data, size);
  std::string archive;
  for (const std::string& buffer : input.buffers) {
    const uint32_t n = static_cast<uint32_t>(buffer.size());
    archive += '\xFF';
    for (int i = 0; i < 4; ++i) archive.push_back(static_cast<char>(n >> (8 * i)));
    archive += buffer;
  }
  archive += '\0';  // fmemopen wants at least one byte
  FILE* file = fmemopen(archive.data(), archive.size() - 1 + (archive.size() == 1), "rb");
  if (!file) return 0;
  headerBuffer = new DATA_BUFFER(static_cast<int>(input.header.size()) + 8, 2, nullptr);
  headerBuffer->writeBlock(input.header.data(), static_cast<int>(input.header.size()));
  headerBuffer->flip();
  modelOrder = 128;
  ENTRY_READER entry{file, input.fileLength};
  try {
    delete DecodeSegments(entry);
  } catch (const fuzzing::FATAL_ERROR&) {
  }
  delete headerBuffer;
  headerBuffer = nullptr;
  fclose(file);
  return 0;
}
