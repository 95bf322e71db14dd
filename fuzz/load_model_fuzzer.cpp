// Fuzz target: an arbitrary model library file, loaded to prime the model
// of a buffer that is then coded and decoded again. Loading must end in a
// sound tree or in "no model" (the plain root), never in a crash or a read
// outside the file's bytes; and whatever was loaded, the encoder and the
// decoder must load the same and the text must come back byte for byte
// (anything else aborts).
//
// Input: fuzz/model_fuzz_input.h. Seeds: fuzz/seeds/model
// (fuzz/make_fuzz_seeds.cpp): records built from the primed text at
// several orders, several records to a file, numbered and library names.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "fuzz/fuzz_process.h"
#include "fuzz/model_fuzz_input.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"

using namespace zubreca;

namespace {

bool WriteScratchFile(const std::string& name, const std::string& bytes) {
  FILE* file = fopen(name.c_str(), "wb");
  if (!file) return false;
  const bool complete = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && complete;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzing::EnterScratchDirectory() || !MODEL_MEMORY::reserve(4)) return 0;
  const fuzzing::MODEL_FUZZ_INPUT input = fuzzing::ParseModelInput(data, size);
  if (!WriteScratchFile(input.fileName, input.file)) abort();
  modelOrder = input.order;
  const std::string text = fuzzing::kPrimedText;

  DATA_BUFFER source(static_cast<int>(text.size()) + 1, 128, nullptr);
  source.writeBlock(text.data(), static_cast<int>(text.size()));
  source.flip();
  source.modelNumber = input.number;
  FILE* archive = fopen("coded", "w+b");
  if (!archive) abort();
  EncodeBuffer(archive, &source);
  if (fflush(archive) != 0 || fseek(archive, 0, SEEK_SET) != 0) abort();

  DATA_BUFFER restored(64, 128, nullptr);
  const bool sound = DecodeBuffer(&restored, archive, static_cast<uint32_t>(text.size()) + 1);
  fclose(archive);
  const std::string back(reinterpret_cast<const char*>(restored.data()), static_cast<size_t>(restored.length));
  if (!sound || back != text) {
    fprintf(stderr, "model %d (%s) did not code the text back\n", input.number, input.fileName.c_str());
    abort();
  }
  fuzzing::RemoveScratchFiles();
  return 0;
}
