// Fuzz target: arbitrary bytes decoded as a whole archive, as `zubreca d`
// decodes one: the entries one after the other, each header buffer, the
// trick it names with its parameters and buffers, the checksum when the
// header holds one, and the restored file written under its stored name.
// Whatever the bytes, decoding must end in restored files or in one of the
// program's errors (caught here), never in a crash, a hang or a read or
// write outside a buffer; and no file may appear outside the scratch
// directory.
//
// An entry may declare at most 1 MiB, so that a few bytes that decode to
// a long run of one byte keep each input quick.
//
// Seeds: fuzz/seeds/archive (fuzz/make_fuzz_seeds.cpp): small archives of
// corpus pieces with every trick, coded and stored, with and without the
// checksum.

#include <cstdint>
#include <cstdio>

#include "buffers/data_buffer.h"
#include "driver/archive_entry.h"
#include "driver/console.h"
#include "driver/run_settings.h"
#include "fuzz/fuzz_process.h"

using namespace zubreca;

// A fatal error leaves what the decoder had allocated, as it does when it
// ends the program; the leak check at the end of the run would report it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzing::EnterScratchDirectory() || size == 0) return 0;
  entryLengthLimit = 1u << 20;
  overwriteAll = true;
  FILE* archive = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!archive) return 0;
  try {
    DecodeArchive(archive, "fuzz.zbr");
  } catch (const fuzzing::FATAL_ERROR&) {
  }
  fclose(archive);
  delete headerBuffer;
  headerBuffer = nullptr;
  fuzzing::RemoveScratchFiles();
  return 0;
}
