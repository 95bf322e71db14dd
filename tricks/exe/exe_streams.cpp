#include "tricks/exe/exe_streams.h"

#include "buffers/data_buffer.h"

namespace zubreca {

namespace {

struct STREAM_SETUP {
  uint8_t shift;     // initial capacity: length >> shift
  uint8_t maxOrder;
  uint8_t expansion;  // the most bytes written per byte of the file
};

// Streams 1 to 22. The expansions: an instruction byte costs at most three
// stream bytes (a one-byte nop: separator, marker, padding code), a data
// region two more than its bytes, a wide value two bytes for at least two
// bytes of code, or 14 more in full; a far branch 19 bytes for at least
// three, a short one two for two.
constexpr STREAM_SETUP kSetup[kExeStreamCount + 1] = {
    {0, 0, 0},                                                       // unused
    {0, 128, 6},                                                     // 1 instructions
    {2, 128, 3},                                                     // 2 data regions
    {5, 128, 1}, {5, 128, 1}, {5, 128, 1}, {5, 128, 1},             // 3..6 8-bit displacements
    {5, 128, 1}, {5, 128, 1}, {5, 128, 1}, {5, 128, 1},             // 7..10 frame based
    {5, 6, 1},                                                       // 11 8-bit immediates
    {5, 2, 2}, {5, 2, 2}, {5, 2, 2}, {5, 12, 2}, {5, 3, 2}, {5, 2, 2},  // 12..17 value classes 11..16
    {5, 9, 2}, {5, 3, 2},                                            // 18, 19 absolute addresses
    {3, 6, 8},                                                       // 20 long values
    {4, 4, 8},                                                       // 21 far branches
    {4, 12, 2},                                                      // 22 short branches
};

}  // namespace

DATA_BUFFER* CreateExeStreams(uint32_t length, DATA_BUFFER* streams[kExeStreamCount + 1]) {
  streams[0] = nullptr;
  DATA_BUFFER* next = nullptr;
  for (int k = kExeStreamCount; k >= 1; --k) {
    streams[k] = new DATA_BUFFER(static_cast<int>(length >> kSetup[k].shift), kSetup[k].maxOrder, next);
    streams[k]->modelNumber = k;
    next = streams[k];
  }
  return streams[1];
}

uint64_t ExeStreamBound(int k, uint32_t length) { return uint64_t{kSetup[k].expansion} * length + 64; }

}  // namespace zubreca
