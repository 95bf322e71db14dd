#include "tricks/wiki/record_trick.h"

#include <algorithm>
#include <cstring>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"

namespace zubreca {

namespace {

constexpr int kCodedCapacity = 8388608;

}  // namespace

const char* EncodeRecords(const char* position, DATA_BUFFER*& chain) {
  DATA_BUFFER* input = chain;
  const int n = input->length;
  const uint8_t* r = input->data();
  const uint8_t* const end = r + n;
  if (n > 0 && end[-1] != 0) {
    // The trick number is the last byte the dispatch wrote to the header.
    headerBuffer->cursor[-1] = 0;
    return position;
  }
  DATA_BUFFER* coded = new DATA_BUFFER(4 * n, kRecordOrder, nullptr);
  while (r < end) {
    const uint8_t* zero = static_cast<const uint8_t*>(memchr(r, 0, static_cast<size_t>(end - r)));
    for (const uint8_t* p = zero; p > r;) coded->putByte(*--p);
    for (int i = 0; i < kRecordSeparatorLength; ++i) coded->putByte(i);
    r = zero + 1;
  }
  chain = ReplaceBuffer(coded, input);
  chain->maxOrder = kRecordOrder;
  return position;
}

DATA_BUFFER* DecodeRecords(ENTRY_READER& entry) {
  DATA_BUFFER* coded = new DATA_BUFFER(kCodedCapacity, kRecordOrder, nullptr);
  // A sound stream holds at most 14 bytes per byte of the file (a file of
  // bytes 0 alone), and the end-of-data decision after them.
  entry.decode(coded, static_cast<uint32_t>(std::min<uint64_t>(14ull * entry.fileLength, kDecodeLimit) + 1));
  const int n = coded->length;
  DATA_BUFFER* restored = new DATA_BUFFER(n / 2, 128, nullptr);
  const uint8_t* r = coded->data();
  const uint8_t* const end = r + n;
  while (r < end) {
    const uint8_t* zero = static_cast<const uint8_t*>(memchr(r, 0, static_cast<size_t>(end - r)));
    if (!zero) zero = end;  // a damaged stream: the record runs to the end
    for (const uint8_t* p = zero; p > r;) restored->putByte(*--p);
    restored->putByte(0);
    r = end - zero > kRecordSeparatorLength ? zero + kRecordSeparatorLength : end;
  }
  return ReplaceBuffer(restored, coded);
}

}  // namespace zubreca
