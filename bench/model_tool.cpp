// Codes whole files as single buffers with a given model order and memory,
// checks that each decodes back to the same bytes, and prints the size,
// bits per byte, encode and decode seconds and the peak memory.
//
//   model_tool [-mMB] [-oORDER] [-e] file...     (-e: encode only, no check)

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"

using namespace zubreca;
#ifdef ZUBRECA_STATS
namespace zubreca { extern double statBits[4]; extern uint64_t statCount[4]; extern double escBits[8]; extern uint64_t escCount[8]; }
#endif

namespace {

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t memory = 256;
  bool encodeOnly = false;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (argv[first][1] == 'm') memory = static_cast<uint32_t>(atoi(argv[first] + 2));
    if (argv[first][1] == 'o') modelOrder = atoi(argv[first] + 2);
    if (argv[first][1] == 'e') encodeOnly = true;
  }
  if (!MODEL_MEMORY::reserve(memory)) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }
  // Progress marks go to standard output; keep the table on standard error.
  int64_t totalIn = 0, totalOut = 0;
  bool allExact = true;
  fprintf(stderr, "| file | bytes | coded | bpb | encode s | decode s | exact |\n|---|---:|---:|---:|---:|---:|---|\n");
  for (int i = first; i < argc; ++i) {
    FILE* in = fopen(argv[i], "rb");
    if (!in) {
      fprintf(stderr, "can't open %s\n", argv[i]);
      return 1;
    }
    DATA_BUFFER source(in, 128);
    fclose(in);
    FILE* stream = tmpfile();
    auto t0 = std::chrono::steady_clock::now();
    EncodeBuffer(stream, &source);
    const double encodeSeconds = Seconds(t0);
    const long coded = ftell(stream);
    rewind(stream);
    DATA_BUFFER restored(4 << 20, 128);
    t0 = std::chrono::steady_clock::now();
    if (!encodeOnly) DecodeBuffer(&restored, stream);
    const double decodeSeconds = Seconds(t0);
    fclose(stream);
    const bool exact =
        encodeOnly || (restored.length == source.length &&
                       memcmp(restored.data(), source.data(), static_cast<size_t>(source.length)) == 0);
    allExact &= exact;
    const char* name = strrchr(argv[i], '/') ? strrchr(argv[i], '/') + 1 : argv[i];
    fprintf(stderr, "| %s | %d | %ld | %.3f | %.2f | %.2f | %s |\n", name, source.length, coded,
            source.length ? 8.0 * coded / source.length : 0.0, encodeSeconds, decodeSeconds,
            exact ? "yes" : "NO");
    totalIn += source.length;
    totalOut += coded;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  fprintf(stderr, "| total | %lld | %lld | %.3f | | | %s |\npeak memory: %ld MB\n",
          static_cast<long long>(totalIn), static_cast<long long>(totalOut),
          totalIn ? 8.0 * static_cast<double>(totalOut) / static_cast<double>(totalIn) : 0.0,
          allExact ? "yes" : "NO", usage.ru_maxrss / 1024);
#ifdef ZUBRECA_STATS
  for (int k = 0; k < 8; ++k)
    fprintf(stderr, "escapes %d: %llu bytes, %.0f coded bytes, %.2f bits each\n", k, (unsigned long long)escCount[k], escBits[k] / 8, escCount[k] ? escBits[k] / escCount[k] : 0.0);
  const char* kinds[4] = {"one-symbol", "top candidates", "escaped candidates", "tails by value"};
  for (int k = 0; k < 4; ++k)
    fprintf(stderr, "%s: %llu decisions, %.0f bytes\n", kinds[k], (unsigned long long)statCount[k], statBits[k] / 8);
#endif
  MODEL_MEMORY::release();
  return allExact ? 0 : 2;
}
