// The segmentation trick's analysis on whole files, on its own: for each
// file the classes and pieces it finds and the seconds it takes, as a
// Markdown table on standard error (standard output gets the progress
// spinner), and the process's peak memory at the end.
//
//   build/bench/segment_tool [-lLEVEL] FILE... >/dev/null

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "tricks/segment_search.h"

using namespace zubreca;

int main(int argc, char** argv) {
  int level = 5;
  int first = 1;
  if (argc > 1 && strncmp(argv[1], "-l", 2) == 0) level = atoi(argv[1] + 2), first = 2;
  fprintf(stderr, "| file | bytes | classes | pieces | analysis s | MB/s |\n|---|---:|---:|---:|---:|---:|\n");
  for (int i = first; i < argc; ++i) {
    FILE* file = OpenFile(argv[i], "rb", true);
    DATA_BUFFER data(file, 128);
    CloseFile(file);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<SEGMENT_CLASS> classes = AnalyseSegments(data.data(), static_cast<uint32_t>(data.length), level);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t pieces = 0;
    for (const SEGMENT_CLASS& c : classes) pieces += c.pieces.size();
    const char* name = strrchr(argv[i], '/') ? strrchr(argv[i], '/') + 1 : argv[i];
    fprintf(stderr, "| %s | %d | %zu | %zu | %.3f | %.1f |\n", name, data.length, classes.size(), pieces, seconds,
           data.length / 1e6 / (seconds > 0 ? seconds : 1e-9));
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  fprintf(stderr, "\npeak memory: %.1f MB\n", usage.ru_maxrss / 1024.0);
  return 0;
}
