#include "model/coded_buffer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "buffers/data_buffer.h"
#include "driver/console.h"
#include "model/model_start.h"
#include "model/store_decision.h"
#include "model/symbol_coder.h"

namespace zubreca {

namespace {

constexpr int kStoredMark = 0xFF;
// ".": a stretch of coded text; "|": the end of a buffer. After a cut-back
// of the tree the marks become "," and "\".
void ProgressMark(bool endOfBuffer) {
  static const char kMarks[] = ".|,\\";
  putchar(kMarks[(endOfBuffer ? 1 : 0) + (ModelRestarted() ? 2 : 0)]);
}

inline bool ProgressDue() { return MaskRound() == 1 && SymbolCount() % 512 == 0; }

void WriteStored(FILE* archive, const DATA_BUFFER* buffer) {
  const uint32_t length = static_cast<uint32_t>(buffer->length);
  uint8_t header[5] = {kStoredMark, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                       static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  fwrite(header, 1, sizeof header, archive);
  if (length) fwrite(buffer->data(), 1, length, archive);
}

}  // namespace

void EncodeBuffer(FILE* archive, DATA_BUFFER* buffer) {
  if (ShouldStoreUnmodelled(buffer->data(), static_cast<size_t>(buffer->length))) {
    WriteStored(archive, buffer);
    ProgressMark(true);
    return;
  }
  const off_t start = ftello(archive);
  const int used = StartModel(buffer->modelNumber, buffer, 0);
  putc(used, archive);
  coder.attach(archive);
  coder.startEncoder();
  const uint8_t* data = buffer->data();
  const int32_t length = buffer->length;
  for (int32_t i = 0; i < length; ++i) {
    EncodeSymbol(data[i]);
    if (ProgressDue()) ProgressMark(false);
  }
  EncodeSymbol(-1);
  coder.flush();

  const int64_t written = static_cast<int64_t>(ftello(archive)) - start;
  if (written > static_cast<int64_t>(length) + 5) {
    // Coding did not pay: nothing of the coded bytes may remain.
    fflush(archive);
    if (fseeko(archive, start, SEEK_SET) != 0 || ftruncate(fileno(archive), start) != 0) {
      ReportError("read/write for file %s", "archive");
    }
    WriteStored(archive, buffer);
  }
  ProgressMark(true);
}

namespace {

// The bound of a decoder that has produced `produced` bytes, kept in
// `bound`: a refined limit is asked for only when the current one is
// reached. Decoding goes on while this is true.
inline bool WithinLimit(uint32_t produced, uint32_t& bound, const DECODE_LIMIT& limit, const DATA_BUFFER& buffer) {
  if (produced < bound) return true;
  if (!limit.refine) return false;
  bound = std::min(limit.refine(buffer), kDecodeLimit + 1);
  return produced < bound;
}

}  // namespace

bool DecodeBuffer(DATA_BUFFER* buffer, FILE* archive, DECODE_LIMIT limit) {
  bool sound = false;
  uint32_t bound = std::min(limit.bytes, kDecodeLimit + 1);
  const int first = getc(archive);
  if (first == kStoredMark) {
    uint8_t field[4] = {0, 0, 0, 0};
    if (fread(field, 1, 4, archive) == 4) {
      const uint32_t length = field[0] | field[1] << 8 | field[2] << 16 | static_cast<uint32_t>(field[3]) << 24;
      uint32_t produced = 0;
      for (; produced < length && WithinLimit(produced, bound, limit, *buffer); ++produced) {
        const int b = getc(archive);
        if (b == EOF) break;  // the caller sees the archive's end-of-file flag
        buffer->putByte(b);
      }
      sound = produced == length;
    }
  } else if (first != EOF) {
    const uint32_t base = static_cast<uint32_t>(buffer->length - buffer->avail);
    if (StartModel(first, buffer, base) != first) ReportError("model file not found");
    coder.attach(archive);
    coder.startDecoder();
    for (uint32_t produced = 0; WithinLimit(produced, bound, limit, *buffer); ++produced) {
      if (DecodeSymbol(buffer) == CODE_RESULT::kEnd) {
        sound = coder.endedExactly();
        break;
      }
      if (ProgressDue()) ProgressMark(false);
      // A sound stream is never read past its end; a damaged one stops here.
      if (coder.pastEnd) break;
    }
  }
  ProgressMark(true);
  buffer->flip();
  return sound;
}

}  // namespace zubreca
