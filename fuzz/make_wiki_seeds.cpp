// Writes seeds for decode_wiki_fuzzer: small real splits of the wiki
// samples (a few pages each) with every option value that splits, in the
// fuzz target's input format.
//
//   make_wiki_seeds OUTPUT_DIR

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "driver/run_settings.h"
#include "fuzz/trick_fuzz_input.h"
#include "fuzz/seed_file.h"
#include "tricks/wiki/wiki_trick.h"

using namespace zubreca;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char output_[4096];
  if (!realpath(argv[1], output_)) return 2;  // before the change of directory below
  const std::string output = output_;
  const std::string dump = std::string(ZUBRECA_SOURCE_DIR) +
                           "/../shared/corpus/wiki/enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml";
  FILE* file = OpenFile(dump.c_str(), "rb", true);
  DATA_BUFFER whole(file, 128);
  CloseFile(file);
  if (chdir(ZUBRECA_SOURCE_DIR "/dictionary") != 0) return 1;
  const std::string text(reinterpret_cast<const char*>(whole.data()), static_cast<size_t>(whole.length));
  int written = 0;
  // Three pieces of about 1.5 KB from where pages start.
  for (const size_t from : {text.find("<page>"), text.find("<page>", 200000), text.find("<page>", 2000000)}) {
    const std::string piece = text.substr(from, 1500);
    for (const int options : {31, 8, 12, 9}) {
      headerBuffer = new DATA_BUFFER(8, 2, nullptr);
      DATA_BUFFER* chain = new DATA_BUFFER(static_cast<int>(piece.size()), 128, nullptr);
      chain->writeBlock(piece.data(), static_cast<int>(piece.size()));
      chain->flip();
      const std::string argument = "(" + std::to_string(options) + ")";
      EncodeWiki(argument.c_str(), chain);
      fuzzing::WIKI_FUZZ_INPUT input;
      input.options = static_cast<uint8_t>(options);
      for (const DATA_BUFFER* b = chain; b; b = b->next) {
        input.streams.emplace_back(reinterpret_cast<const char*>(b->data()), static_cast<size_t>(b->length));
      }
      delete chain;
      delete headerBuffer;
      if (!fuzzing::WriteSeedFile(output, written, fuzzing::WriteWikiInput(input))) return 1;
    }
  }
  printf("%d seeds\n", written);
  return 0;
}
