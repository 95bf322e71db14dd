#include "tricks/segment_trick.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "tricks/segment_search.h"

namespace zubreca {

namespace {

constexpr uint32_t kDefaultLevel = 5;
constexpr const char* kDefaultClassTrick = "3";
// Classes are not cut again.
constexpr const char* kInsteadOfSegments = "0";
constexpr int kLargestClassTrickBytes = 1 + 5;  // the number and trick 3's mode and length

bool IsTrickText(char c) { return (c >= '0' && c <= '9') || c == '(' || c == ')'; }

// The class assignments ",(K)=T" at `position`; returns the position after
// the last one. A text cut short ends the parse where it ends.
const char* ParseAssignments(const char* position, std::vector<const char*>& tricks) {
  while (*position == ',') {
    ++position;
    const uint32_t k = ParseTrickParam(position, 0, 999, 1);
    if (!*position) break;
    ++position;  // the one character before the trick string
    const char* trick = atoi(position) == 1 ? kInsteadOfSegments : position;
    if (k == 0) {
      std::fill(tricks.begin(), tricks.end(), trick);
    } else if (k <= tricks.size()) {
      tricks[k - 1] = trick;
    }
    while (IsTrickText(*position)) ++position;
  }
  return position;
}

}  // namespace

uint32_t SegmentParameterBound(uint32_t fileLength) {
  constexpr uint32_t kPieceBytes = 9, kClassBytes = 1 + kLargestClassTrickBytes;
  const uint64_t limit = SegmentLimit(fileLength) + fileLength / 52428800 + 1;
  return static_cast<uint32_t>(4 + limit * (kPieceBytes + kClassBytes));
}

const char* EncodeSegments(const char* position, DATA_BUFFER*& chain) {
  const int level = static_cast<int>(ParseTrickParam(position, 0, 9, kDefaultLevel));
  DATA_BUFFER* input = chain;
  const uint32_t length = static_cast<uint32_t>(input->length);
  headerBuffer->putU32(length);
  const std::vector<SEGMENT_CLASS> classes = AnalyseSegments(input->data(), length, level);
  std::vector<const char*> tricks(classes.size(), kDefaultClassTrick);
  position = ParseAssignments(position, tricks);

  DATA_BUFFER* result = nullptr;
  uint32_t classBase = 0;
  for (size_t k = 0; k < classes.size(); ++k) {
    const SEGMENT_CLASS& c = classes[k];
    DATA_BUFFER* buffer = new DATA_BUFFER(static_cast<int>(c.length()), 128, nullptr);
    uint32_t base = classBase;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      const PIECE& p = c.pieces[i];
      headerBuffer->putU32(p.length);
      headerBuffer->putU32(p.offset - base);
      buffer->writeBlock(input->data() + p.offset, static_cast<int>(p.length));
      headerBuffer->putByte(i + 1 < c.pieces.size());
      base = p.end();
    }
    classBase = c.pieces.front().end();
    buffer->flip();
    EncodeTrick(tricks[k], buffer);
    headerBuffer->putByte(k + 1 < classes.size());
    result = AppendChain(buffer, result);
  }
  chain = ReplaceByChain(result, input);
  return position;
}

DATA_BUFFER* DecodeSegments(ENTRY_READER& entry) {
  if (headerBuffer->avail < 4) return nullptr;
  const uint32_t length = headerBuffer->getU32();
  if (length != entry.fileLength) return nullptr;
  std::unique_ptr<DATA_BUFFER> output(new DATA_BUFFER(static_cast<int>(length), 128, nullptr));
  uint8_t* const out = output->data();
  std::vector<PIECE> all;
  uint32_t classBase = 0;
  uint32_t classes = 0;
  for (bool more = true; more;) {
    // More classes than bytes cannot be sound: each holds one at least.
    if (++classes > length) return nullptr;
    std::vector<PIECE> pieces;
    uint64_t classLength = 0;
    uint32_t base = classBase;
    for (int flag = 1; flag;) {
      if (headerBuffer->avail < 9) return nullptr;
      PIECE p;
      p.length = headerBuffer->getU32();
      p.offset = base + headerBuffer->getU32();
      flag = headerBuffer->getByte();
      if (p.length == 0 || p.offset > length || p.length > length - p.offset) return nullptr;
      pieces.push_back(p);
      classLength += p.length;
      if (classLength > length) return nullptr;
      base = p.end();
    }
    classBase = pieces.front().end();
    // A class is never cut again: a nested trick 1 is damage.
    if (headerBuffer->avail >= 1 && headerBuffer->cursor[0] == 1) return nullptr;
    ENTRY_READER classEntry{entry.archive, static_cast<uint32_t>(classLength), true};
    std::unique_ptr<DATA_BUFFER> restored(DecodeTrick(classEntry));
    entry.sound = entry.sound && classEntry.sound;
    if (!restored || static_cast<uint64_t>(restored->length) != classLength) return nullptr;
    const uint8_t* from = restored->data();
    for (const PIECE& p : pieces) {
      memcpy(out + p.offset, from, p.length);
      from += p.length;
      all.push_back(p);
    }
    more = headerBuffer->getByte() > 0;
  }
  // The pieces must cover the file once: no overlap, nothing left out.
  std::sort(all.begin(), all.end(), [](const PIECE& p, const PIECE& q) { return p.offset < q.offset; });
  uint64_t covered = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0 && all[i - 1].end() > all[i].offset) return nullptr;
    covered += all[i].length;
  }
  if (covered != length) return nullptr;
  output->avail -= static_cast<int>(length);
  output->cursor += length;
  output->flip();
  return output.release();
}

}  // namespace zubreca
