#include "tricks/trick.h"

#include <algorithm>
#include <cstdlib>

#include "driver/console.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "tricks/exe/exe_trick.h"
#include "tricks/segment_trick.h"
#include "tricks/wiki/record_trick.h"
#include "tricks/wiki/sample_trick.h"
#include "tricks/wiki/wiki_trick.h"

namespace zubreca {

// Tricks 1 to 5 take their places here as they are built:
// 1 EncodeSegments/DecodeSegments, 2 EncodeWiki/DecodeWiki,
// 3 EncodeExe/DecodeExe, 4 EncodeSamples/DecodeSamples,
// 5 EncodeRecords/DecodeRecords.
const TRICK trickTable[kTrickCount] = {
    {EncodePlain, DecodePlain, NoParameters},
    {EncodeSegments, DecodeSegments, SegmentParameterBound},
    {EncodeWiki, DecodeWiki, WikiParameterBound},
    {EncodeExe, DecodeExe, ExeParameterBound},
    {EncodeSamples, DecodeSamples, SampleParameterBound},
    {EncodeRecords, DecodeRecords, NoParameters},
};

namespace {

const TRICK& LookUp(long number) {
  if (number < 0 || number >= kTrickCount) ReportError("unknown trick");
  return trickTable[number];
}

// The trick number of the -t text as atoi reads it, kept within long so
// that a long run of digits cannot overflow.
long TrickNumber(const char* trick) {
  const long n = strtol(trick, nullptr, 10);
  return n > 1000000 ? 1000000 : n < -1000000 ? -1000000 : n;
}

}  // namespace

const char* EncodeTrick(const char* trick, DATA_BUFFER*& chain) {
  long number = 0;
  if (trick && chain->length != 0) {
    number = TrickNumber(trick);
    // The number is taken to be one digit long.
    if (*trick) ++trick;
  }
  headerBuffer->putByte(static_cast<int>(number));
  const TRICK& entry = LookUp(number);
  if (!entry.encode) ReportError("unknown trick");
  return entry.encode(trick, chain);
}

void ENTRY_READER::decode(DATA_BUFFER* buffer, uint32_t limit) {
  sound = DecodeBuffer(buffer, archive, limit) && sound;
}

DATA_BUFFER* DecodeTrick(ENTRY_READER& entry) {
  const TRICK& trick = LookUp(headerBuffer->getByte());
  if (!trick.decode) ReportError("unknown trick");
  return trick.decode(entry);
}

int64_t TrickParameterBound(int number, uint32_t fileLength) {
  if (number < 0 || number >= kTrickCount || !trickTable[number].parameterBound) return -1;
  return trickTable[number].parameterBound(fileLength);
}

uint32_t ParseTrickParam(const char*& position, uint32_t low, uint32_t high, uint32_t fallback) {
  const char* p = position;
  if (!p || *p != '(') return fallback;
  while (*p && (*p < '0' || *p > '9')) ++p;
  position = p;
  if (!*p) return fallback;
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint32_t>(*p++ - '0');
  while (*p == ')') ++p;
  position = p;
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

const char* EncodePlain(const char* position, DATA_BUFFER*& /*chain*/) { return position; }

DATA_BUFFER* DecodePlain(ENTRY_READER& entry) {
  DATA_BUFFER* buffer = new DATA_BUFFER(4194304, 128, nullptr);
  // Room for the end-of-data decision after the file's bytes; a stream that
  // runs on instead is damaged, and the byte too many shows it.
  entry.decode(buffer, std::min(entry.fileLength, kDecodeLimit) + 1);
  return buffer;
}

}  // namespace zubreca
