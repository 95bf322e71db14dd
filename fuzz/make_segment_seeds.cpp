// Writes seeds for decode_segments_fuzzer: real entries of trick 1 (the
// encoder's header and buffers) for small pieces of the mixed corpus tar
// with several class tricks, and hand-made descriptions of two classes,
// one of which starts before its base.
//
//   make_segment_seeds OUTPUT_DIR

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "driver/run_settings.h"
#include "fuzz/segment_fuzz_input.h"
#include "fuzz/seed_file.h"
#include "tricks/segment_trick.h"

using namespace zubreca;

namespace {

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char output_[4096];
  if (!realpath(argv[1], output_)) return 2;
  const std::string output = output_;
  const std::string tar = std::string(ZUBRECA_SOURCE_DIR) + "/../shared/corpus/mixed/canterbury.tar";
  FILE* file = OpenFile(tar.c_str(), "rb", true);
  DATA_BUFFER whole(file, 128);
  CloseFile(file);
  if (chdir(ZUBRECA_SOURCE_DIR "/dictionary") != 0) return 1;
  int written = 0;
  const auto write = [&](const fuzzing::SEGMENT_FUZZ_INPUT& input) {
    if (!fuzzing::WriteSeedFile(output, written, fuzzing::WriteSegmentInput(input))) exit(1);
  };
  for (const int from : {0, 0x42000, 0x120000}) {
    for (const char* argument : {"", ",(0)=0", ",(0)=5", ",(0)=4(1)"}) {
      headerBuffer = new DATA_BUFFER(64, 2, nullptr);
      DATA_BUFFER* chain = new DATA_BUFFER(1200, 128, nullptr);
      chain->writeBlock(whole.data() + from, 1200);
      chain->flip();
      EncodeSegments(argument, chain);
      fuzzing::SEGMENT_FUZZ_INPUT input;
      input.fileLength = 1200;
      input.header.assign(reinterpret_cast<const char*>(headerBuffer->data()),
                          static_cast<size_t>(headerBuffer->length - headerBuffer->avail));
      for (const DATA_BUFFER* b = chain; b; b = b->next) {
        input.buffers.emplace_back(reinterpret_cast<const char*>(b->data()), static_cast<size_t>(b->length));
      }
      delete chain;
      delete headerBuffer;
      write(input);
    }
  }
  // Two classes of trick 0: [200, 300), then [0, 200) and [300, 400).
  fuzzing::SEGMENT_FUZZ_INPUT input;
  input.fileLength = 400;
  input.header = Be32(400) + Be32(100) + Be32(200) + std::string(1, '\0') + std::string(1, '\0') + std::string(1, '\1') +
                 Be32(200) + Be32(0u - 300u) + std::string(1, '\1') + Be32(100) + Be32(100) + std::string(3, '\0');
  input.buffers = {std::string(100, 'b'), std::string(300, 'a')};
  write(input);
  printf("%d seeds\n", written);
  return 0;
}
