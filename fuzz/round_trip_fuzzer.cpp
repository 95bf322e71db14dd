// Fuzz target: arbitrary bytes coded as one archive entry with a trick the
// input chooses, decoded again as `zubreca d` decodes it, and compared.
// Every input must come back byte for byte, with no error on either side;
// anything else is a finding (abort).
//
// Input: a trick byte (an index into kTricks), an order byte (order
// 2 + byte % 127), then the file's bytes. The model has 8 MB, the least
// that holds the model of a header buffer, so one block serves the whole
// entry.
//
// Seeds: fuzz/seeds/round_trip (fuzz/make_fuzz_seeds.cpp): corpus pieces
// of every data class, each with the tricks that suit it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/archive_entry.h"
#include "driver/console.h"
#include "driver/run_settings.h"
#include "fuzz/fuzz_process.h"
#include "fuzz/round_trip_input.h"
#include "model/model_memory.h"

using namespace zubreca;

namespace {

constexpr int kMemory = 8;  // MB
constexpr char kName[] = "file";
constexpr char kArchive[] = "fuzz.zbr";

// Writes the archive of `file` to the scratch file kArchive, as
// `zubreca e -t<trick>` writes it, and opens it for reading. (A real file,
// since a buffer that coding would make larger is cut back with ftruncate
// and written stored.)
FILE* Encode(const std::string& file, const char* trick) {
  FILE* archive = fopen(kArchive, "w+b");
  if (!archive) abort();
  DATA_BUFFER* data = new DATA_BUFFER(static_cast<int>(file.size()) + 1, 128, nullptr);
  data->writeBlock(file.data(), static_cast<int>(file.size()));
  data->flip();
  const ENTRY_HEADER header = MakeEntryHeader(static_cast<uint32_t>(file.size()), 0100644, 1600000000, modelOrder,
                                              kMemory, static_cast<int>(sizeof kName - 1));
  if (!MODEL_MEMORY::reserve(kMemory)) abort();
  WriteEntry(archive, header, kName, trick, data);
  if (fflush(archive) != 0 || fseek(archive, 0, SEEK_SET) != 0) abort();
  return archive;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzing::EnterScratchDirectory() || size < 2) return 0;
  const fuzzing::ROUND_TRIP_INPUT input = fuzzing::ParseRoundTripInput(data, size);
  modelOrder = input.order;
  overwriteAll = true;
  std::string restored;
  try {
    FILE* archive = Encode(input.file, input.trick);
    const bool complete = DecodeArchive(archive, kArchive);
    fclose(archive);
    if (!complete || !fuzzing::ReadScratchFile(kName, restored)) abort();
  } catch (const fuzzing::FATAL_ERROR&) {
    fprintf(stderr, "a fatal error in the round trip with -t%s\n", input.trick);
    abort();
  }
  if (restored != input.file) {
    fprintf(stderr, "-t%s restored %zu bytes unlike the %zu coded\n", input.trick, restored.size(),
            input.file.size());
    abort();
  }
  fuzzing::RemoveScratchFiles();
  return 0;
}
