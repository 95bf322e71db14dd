// Writes seeds for decode_exe_fuzzer: the streams of small slices of the
// x86 corpus files, read as 32-bit and as 16-bit code, in the fuzz
// target's input format.
//
//   make_exe_seeds OUTPUT_DIR

#include <cstdio>
#include <string>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "fuzz/exe_fuzz_input.h"
#include "fuzz/seed_file.h"
#include "tricks/exe/exe_trick.h"

using namespace zubreca;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string output = argv[1];
  int written = 0;
  struct SOURCE {
    const char* name;
    int slices[2];  // offsets inside the code section
  };
  for (const SOURCE& source : {SOURCE{"libc.so.6", {0x30000, 0x90000}}, SOURCE{"kernel32.dll", {0x5000, 0x20000}},
                               SOURCE{"notepad.exe", {0x2000, 0x5000}}}) {
    const std::string path = std::string(ZUBRECA_SOURCE_DIR) + "/../shared/corpus/x86/" + source.name;
    FILE* file = OpenFile(path.c_str(), "rb", true);
    DATA_BUFFER whole(file, 128);
    CloseFile(file);
    for (const int from : source.slices) {
      if (from + 1536 > whole.length) continue;
      for (const int mode : {kExe32, kExe16}) {
        DATA_BUFFER slice(1536, 128);
        slice.writeBlock(whole.data() + from, 1536);
        slice.flip();
        const EXE_SPLIT split = SplitAnyExe(mode, slice);
        fuzzing::EXE_FUZZ_INPUT input;
        input.mode = static_cast<uint8_t>(mode);
        input.length = 1536;
        for (const DATA_BUFFER* b = split.head; b; b = b->next) {
          input.streams.emplace_back(reinterpret_cast<const char*>(b->data()), static_cast<size_t>(b->length));
        }
        delete split.head;
        if (!fuzzing::WriteSeedFile(output, written, fuzzing::WriteExeInput(input))) return 1;
      }
    }
  }
  printf("%d seeds\n", written);
  return 0;
}
