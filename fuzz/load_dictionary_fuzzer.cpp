// Fuzz target: an arbitrary dictionary file, loaded as the wiki trick loads
// "EnWiki.fsd", then used both ways. Loading must end in a dictionary or
// in "malformed", never in a crash or a read outside the file's bytes. A
// dictionary that loads must code a text and decode it back byte for byte
// (anything else aborts), and must decode arbitrary codes without a crash.
//
// Input: a section byte (section byte % 3), then the file's bytes. The
// text coded is the file's own bytes with every 0 turned into a space, so
// that it holds the dictionary's words; the same bytes are decoded as
// codes. Seeds: fuzz/seeds/dictionary (fuzz/make_fuzz_seeds.cpp):
// dictionaries built from pieces of the wiki sample.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffers/data_buffer.h"
#include "fuzz/fuzz_process.h"
#include "tricks/wiki/word_dictionary.h"

using namespace zubreca;

namespace {

constexpr char kFileName[] = "fuzzed.fsd";

DATA_BUFFER* Buffer(const std::string& bytes) {
  DATA_BUFFER* buffer = new DATA_BUFFER(static_cast<int>(bytes.size()) + 1, 128, nullptr);
  buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
  buffer->flip();
  return buffer;
}

std::string Take(DATA_BUFFER* buffer) {
  std::string bytes(reinterpret_cast<const char*>(buffer->data()), static_cast<size_t>(buffer->length));
  delete buffer;
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!fuzzing::EnterScratchDirectory() || size == 0) return 0;
  const int section = data[0] % kDictionarySections;
  const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  FILE* out = fopen(kFileName, "wb");
  if (!out) abort();
  const bool written = fwrite(file.data(), 1, file.size(), out) == file.size();
  if (fclose(out) != 0 || !written) abort();

  WORD_DICTIONARY dictionary;
  if (LoadDictionaryFrom(kFileName, section, dictionary) == DICTIONARY_STATUS::kLoaded) {
    std::string text = file;
    std::replace(text.begin(), text.end(), '\0', ' ');
    const std::string back = Take(DecodeWords(dictionary, EncodeWords(dictionary, Buffer(text))));
    if (back != text) {
      fprintf(stderr, "section %d: %zu bytes of text decoded to %zu other bytes\n", section, text.size(),
              back.size());
      abort();
    }
    DATA_BUFFER* codes = Buffer(file);
    DATA_BUFFER* decoded = DecodeWords(dictionary, codes);
    delete (decoded ? decoded : codes);
  }
  fuzzing::RemoveScratchFiles();
  return 0;
}
