// zubreca-dict: writes the word dictionary of the wiki trick from sample
// text.
//
//   zubreca-dict [-oFILE] [-cN] [-wN] FILE...
//
// Every FILE (a wiki XML dump or plain text) adds its words; the result is
// written to "EnWiki.fsd" in the current directory, or to FILE with -o.
// -c leaves out words seen fewer than N times (default 1: none), -w keeps at
// most N words per section (default 400000).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "driver/console.h"
#include "driver/staged_file.h"
#include "tricks/wiki/dictionary_builder.h"

using namespace zubreca;

int main(int argc, char** argv) {
  const char* output = kDictionaryName;
  DICTIONARY_LIMITS limits;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    const char* value = argv[first] + 2;
    switch (argv[first][1]) {
      case 'o':
        output = value;
        break;
      case 'c':
        limits.minCount = strtoull(value, nullptr, 10);
        break;
      case 'w':
        limits.maxWords = static_cast<uint32_t>(strtoul(value, nullptr, 10));
        break;
      default:
        ReportError("unknown switch '%s'", argv[first]);
    }
  }
  if (first >= argc) {
    printf("Usage: zubreca-dict [-oFILE] [-cMINCOUNT] [-wMAXWORDS] FILE...\n");
    return -1;
  }
  DICTIONARY_BUILDER builder;
  for (int i = first; i < argc; ++i) {
    FILE* file = OpenFile(argv[i], "rb", true);
    DATA_BUFFER* input = new DATA_BUFFER(file, 128);
    CloseFile(file);
    builder.addInput(input->data(), input->length);
    printf("%s: %d bytes, %zu + %zu + %zu distinct words so far\n", argv[i], input->length,
           builder.distinctWords(kTextWords), builder.distinctWords(kLinkWords),
           builder.distinctWords(kLanguageWords));
    delete input;
  }
  const std::string dictionary = builder.build(limits);
  STAGED_FILE staged(output);
  if (fwrite(dictionary.data(), 1, dictionary.size(), staged.stream()) != dictionary.size() ||
      !staged.commit(0644, nullptr)) {
    ReportError("read/write for file %s", output);
  }
  printf("%s: %zu bytes\n", output, dictionary.size());
  return 0;
}
