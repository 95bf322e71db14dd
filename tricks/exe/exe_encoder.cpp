// The executable trick's encoder: pass 1 finds the data regions, pass 2
// writes the streams.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/console.h"
#include "driver/run_settings.h"
#include "tricks/exe/branch_model.h"
#include "tricks/exe/exe_trick.h"
#include "tricks/exe/instruction_rules.h"
#include "tricks/exe/value_coder.h"
#include "tricks/wiki/sample_trick.h"

namespace zubreca {

namespace {

constexpr int kSeparator = 47;
constexpr int kRegionMarker = 39;
constexpr int kPaddingMarker = 144;
constexpr int kJccEscape = 55;
constexpr int kTwoByteEscape = 15;
constexpr uint8_t kRegionOpcode = 0x27;  // the opcode that shares its byte with the region marker
constexpr int kLongestRun = 16;

// A stretch of the input copied to stream 2 instead of being parsed, as
// offsets [begin, end).
struct DATA_REGION {
  int32_t begin;
  int32_t end;
};

class EXE_ENCODER {
 public:
  EXE_ENCODER(int mode, const DATA_BUFFER& input)
      : defaultSize(2u << mode),
        length(static_cast<uint32_t>(input.length)),
        base(input.data()),
        end(input.data() + input.length),
        rules{base, end, defaultSize, length} {}

  // Pass 1: whether the input is code, and where its data regions lie.
  bool findDataRegions();
  // Pass 2: the streams (chained 1 -> 22 behind the returned head).
  DATA_BUFFER* emitCode();
  bool accepted() const { return model->accepted(); }

 private:
  uint32_t byteAt(const uint8_t* p) const { return p < end ? *p : 0; }
  int32_t offsetOf(const uint8_t* p) const { return static_cast<int32_t>(p - base); }
  bool anchorAt(const uint8_t* a) const;
  void closeCode(const uint8_t* regionStart);
  void emitRegion(int32_t from, int32_t to);
  bool emitPadding(const uint8_t* limit);
  void emitInstruction();
  int32_t wideValue(uint32_t size) const;

  const uint32_t defaultSize;
  const uint32_t length;
  const uint8_t* const base;
  const uint8_t* const end;
  const PLAUSIBILITY_PARSER rules;

  std::vector<DATA_REGION> regions;
  int64_t codeTotal = 0;

  const uint8_t* cursor = nullptr;
  DATA_BUFFER* streams[kExeStreamCount + 1] = {};
  std::unique_ptr<BRANCH_MODEL> model;
  VALUE_CACHE caches[kValueClassCount];
};

bool EXE_ENCODER::anchorAt(const uint8_t* a) const {
  const uint32_t b = *a, n = byteAt(a + 1);
  if (b == 0x89) return (n & 0x38) == 0;
  if (b == 0x8B) return defaultSize == 2 || (n & 7) == 5;
  if (defaultSize == 2) return b == 0xFF && n == 0x76;
  if (b != kCall) return false;
  const uint32_t rel = n | byteAt(a + 2) << 8 | byteAt(a + 3) << 16 | byteAt(a + 4) << 24;
  return static_cast<uint32_t>(offsetOf(a)) + 5 + rel < 2 * length;
}

// Code between the current region and `regionStart` ends that region when
// it is long enough and holds an anchor; the next region then begins at
// `regionStart`. A region of at most two bytes is reused (and its bytes
// coded as instructions) unless it holds the region opcode.
void EXE_ENCODER::closeCode(const uint8_t* regionStart) {
  DATA_REGION& current = regions.back();
  const int64_t codeLength = offsetOf(regionStart) - current.end;
  const int64_t gap = defaultSize == 4 ? 89 : 8;
  if (codeLength <= gap) return;
  const uint8_t* a = base + current.end;
  while (a < regionStart && !anchorAt(a)) ++a;
  if (a == regionStart) return;
  codeTotal += codeLength;
  if (current.end - current.begin > 2 || byteAt(base + current.begin) == kRegionOpcode ||
      byteAt(base + current.begin + 1) == kRegionOpcode) {
    regions.push_back(DATA_REGION{0, 0});
  }
  regions.back().begin = offsetOf(regionStart);
}

bool EXE_ENCODER::findDataRegions() {
  regions.assign(1, DATA_REGION{0, 0});
  codeTotal = 0;
  const uint8_t* lastReturnEnd = nullptr;
  cursor = base;
  while (cursor < end) {
    const uint8_t* start = cursor;
    uint32_t opcode = 0;
    const bool plausible = rules.parse(cursor, opcode);
    if (IsReturn(opcode)) lastReturnEnd = cursor;
    if (plausible) continue;
    const uint8_t* regionStart = start;
    const uint8_t* resume = cursor;
    // Just behind a return, the region starts at the return, and code
    // resumes at what looks like the next function's first instruction.
    if (lastReturnEnd && cursor - lastReturnEnd < 48) {
      regionStart = lastReturnEnd;
      for (const uint8_t* p = cursor; p < cursor + 45 && p < end; ++p) {
        if (*p == 0x51 || (*p >= 0x53 && *p <= 0x57) || (*p == 0x83 && byteAt(p + 1) == 0xEC)) {
          resume = p;
          break;
        }
      }
    }
    closeCode(regionStart);
    regions.back().end = offsetOf(resume);
    cursor = resume;
  }
  closeCode(end);
  regions.back().end = offsetOf(end);
  if (regions.size() > 1) return codeTotal > 1024 && 4 * codeTotal > length;
  return regions[0].begin == offsetOf(end);
}

void EXE_ENCODER::emitRegion(int32_t from, int32_t to) {
  streams[kInstructionStream]->putByte(kRegionMarker);
  streams[kDataStream]->putCounted(to - from, 0, 255);
  for (int32_t o = from; o < to; ++o) {
    model->registerStart(o);
    streams[kDataStream]->putByte(base[o]);
  }
  cursor = base + to;
}

// Alignment fill at the cursor, ending at `limit` at the latest: a padding
// pattern, or a run of 0xCC or 0x90 bytes, as the marker 144 and one code.
bool EXE_ENCODER::emitPadding(const uint8_t* limit) {
  const uint32_t first = *cursor;
  if (first != 0x8B && first != 0x8D && first != 0x90 && first != 0xCC) return false;
  int code = -1;
  for (int k = kPaddingPatternCount - 1; k >= 0 && code < 0; --k) {
    const PADDING_PATTERN& pattern = PADDING_PATTERNS[k];
    // The first two bytes tell most patterns apart before the comparison.
    if (limit - cursor >= pattern.length && pattern.bytes[0] == first && pattern.bytes[1] == cursor[1] &&
        memcmp(cursor, pattern.bytes, pattern.length) == 0) {
      cursor += pattern.length;
      code = 0xA0 | (offsetOf(cursor) & 15);
    }
  }
  if (code < 0 && (first == 0xCC || first == 0x90)) {
    int run = 0;
    while (run < kLongestRun && cursor < limit && *cursor == first) ++cursor, ++run;
    code = first == 0xCC ? 0xB0 | (offsetOf(cursor) & 15) : kPaddingMarker + run - 1;
  }
  if (code < 0) return false;
  streams[kInstructionStream]->putByte(kPaddingMarker);
  streams[kInstructionStream]->putByte(code);
  return true;
}

int32_t EXE_ENCODER::wideValue(uint32_t size) const {
  const uint32_t raw = byteAt(cursor) | byteAt(cursor + 1) << 8 | byteAt(cursor + 2) << 16 | byteAt(cursor + 3) << 24;
  return size == 4 ? static_cast<int32_t>(raw) : static_cast<int16_t>(raw);
}

void EXE_ENCODER::emitInstruction() {
  DATA_BUFFER& instructions = *streams[kInstructionStream];
  uint32_t operandSize = defaultSize, addressSize = defaultSize;
  uint32_t prefix = 0;
  while (cursor < end && OPCODE_FLAGS[*cursor] == 0) {
    prefix = *cursor++;
    instructions.putByte(static_cast<int>(prefix));
    instructions.putByte(kSeparator);
    if (prefix == 0x66) operandSize = 6 - defaultSize;
    if (prefix == 0x67) addressSize = 6 - defaultSize;
  }
  // The file ends inside a run of prefixes: the last one stands in for the
  // opcode.
  if (cursor >= end) {
    instructions.putByte(static_cast<int>(prefix));
    return;
  }

  uint32_t opcode = *cursor++;
  if (opcode == 0x0F) opcode = 0x0F00 | byteAt(cursor++);
  uint32_t flags = FlagsOf(opcode);
  if (flags & OPF_JCC) {
    instructions.putByte(kJccEscape);
  } else if (opcode > 0xFF) {
    instructions.putByte(kTwoByteEscape);
  }
  instructions.putByte(static_cast<int>(opcode & 0xFF));

  uint32_t modrm = 0;
  if (flags & OPF_MODRM) {
    modrm = byteAt(cursor++);
    instructions.putByte(static_cast<int>(modrm));
    uint32_t sib = 0;
    if (HasSib(defaultSize, modrm)) {
      sib = byteAt(cursor++);
      instructions.putByte(static_cast<int>(sib));
    }
    flags |= AddressingFlags(defaultSize, modrm, sib);
    if (IsTestWithImmediate(opcode, modrm)) flags |= TestImmediateFlags(opcode);
  }

  if (flags & OPF_WORD2) {
    const uint32_t size = 2 + (flags & OPF_FIELD ? addressSize : 0);
    for (uint32_t i = 0; i < size; ++i) instructions.putByte(static_cast<int>(byteAt(cursor++)));
  } else if (flags & OPF_FIELD) {
    const uint32_t wideBit = WideBit(opcode);
    if (flags & OPF_FIELD8) {
      const uint32_t d = byteAt(cursor++);
      if (flags & OPF_REL) {
        model->addPending(0, static_cast<int8_t>(d), offsetOf(cursor));
      } else {
        const int rotated = static_cast<int>(((d >> 2) | (d << 6)) & 0xFF);
        const int stream = IsIndirectCall(opcode, modrm) ? kInstructionStream : ShortDisplacementStream(flags, opcode, wideBit);
        streams[stream]->putByte(rotated);
      }
    } else {
      const int32_t v = wideValue(addressSize);
      cursor += addressSize;
      if (flags & OPF_REL) {
        model->addPending(1, v, offsetOf(cursor));
      } else if (opcode == kCall || IsIndirectCall(opcode, modrm)) {
        // Absolute targets repeat where relative ones do not.
        const uint32_t t = static_cast<uint32_t>(v) + (opcode == kCall ? static_cast<uint32_t>(offsetOf(cursor)) : 0);
        instructions.putByte(static_cast<int>(t >> 24));
        instructions.putByte(static_cast<int>((t >> 16) & 0xFF));
        instructions.putByte(static_cast<int>(80 + ((t >> 12) & 15)));
        instructions.putByte(static_cast<int>(144 + ((t >> 8) & 15)));
        instructions.putByte(static_cast<int>(208 + ((t >> 4) & 15)));
        instructions.putByte(static_cast<int>(16 + (t & 15)));
      } else {
        const int valueClass = DisplacementClass(flags, wideBit);
        PutValue(valueClass, v, caches[valueClass - kFirstValueClass], *streams[ValueStream(valueClass)],
                 *streams[kLongValues]);
      }
    }
  }

  if (flags & OPF_IMM) {
    if (flags & OPF_IMM8) {
      const int i = static_cast<int>((64 - byteAt(cursor++)) & 0xFF);
      streams[flags & OPF_IMMCLASS ? kShortImmediates : kInstructionStream]->putByte(i);
    } else {
      const int32_t v = wideValue(operandSize);
      cursor += operandSize;
      const int valueClass = ImmediateClass(flags, opcode);
      PutValue(valueClass, v, caches[valueClass - kFirstValueClass], *streams[ValueStream(valueClass)],
               *streams[kLongValues]);
    }
  }
}

DATA_BUFFER* EXE_ENCODER::emitCode() {
  DATA_BUFFER* head = CreateExeStreams(length, streams);
  model.reset(new (std::nothrow) BRANCH_MODEL(streams[kFarBranches], streams[kShortBranches]));
  if (!model) ReportError("out of memory");
  size_t next = 0;  // the next region
  cursor = base;
  while (cursor < end) {
    streams[kInstructionStream]->putByte(kSeparator);
    const int32_t at = offsetOf(cursor);
    // Regions that instructions have walked past (alignment fill can end
    // inside one) are left behind; the rest of one walked into is still
    // coded as a region.
    while (next < regions.size() && regions[next].begin < at && regions[next].end <= at) ++next;
    if (next < regions.size() && regions[next].begin <= at) {
      emitRegion(at, regions[next].end);
      ++next;
      continue;
    }
    // A separator followed by the region marker always means a region: a
    // region opcode outside one becomes a region of one byte.
    if (*cursor == kRegionOpcode) {
      emitRegion(at, at + 1);
      continue;
    }
    model->registerStart(at);
    const uint8_t* limit = next < regions.size() && base + regions[next].begin < end ? base + regions[next].begin : end;
    if (emitPadding(limit)) continue;
    emitInstruction();
  }
  model->flush();
  return head;
}

// The decoder's inverse run in memory on the streams: true when it gives
// the input back.
bool MergesBack(int mode, const DATA_BUFFER& input, DATA_BUFFER* head) {
  DATA_BUFFER* streams[kExeStreamCount + 1] = {};
  int k = 1;
  for (DATA_BUFFER* b = head; b && k <= kExeStreamCount; b = b->next) streams[k++] = b;
  DATA_BUFFER* merged = nullptr;
  const EXE_MERGE result = MergeExeStreams(mode, static_cast<uint32_t>(input.length), streams, merged);
  const bool same = result == EXE_MERGE::kRestored && merged->length == input.length &&
                    memcmp(merged->data(), input.data(), static_cast<size_t>(input.length)) == 0;
  delete merged;
  return same;
}

EXE_SPLIT Split(int mode, const DATA_BUFFER& input, bool onlyCode) {
  EXE_ENCODER encoder(mode, input);
  EXE_SPLIT split;
  if (!encoder.findDataRegions() && onlyCode) return split;
  split.head = encoder.emitCode();
  for (DATA_BUFFER* b = split.head; b; b = b->next) b->flip();
  split.accepted = encoder.accepted();
  return split;
}

// One attempt: the stream chain, or null when the input is not accepted as
// code of this mode (the header then loses the mode byte and the length).
DATA_BUFFER* TryEncode(int mode, DATA_BUFFER* input) {
  headerBuffer->putU32(static_cast<uint32_t>(input->length));
  EXE_SPLIT split = Split(mode, *input, true);
  if (split.head && !(split.accepted && MergesBack(mode, *input, split.head))) {
    delete split.head;
    split.head = nullptr;
  }
  if (!split.head) {
    constexpr int kModeAndLength = 5;
    headerBuffer->avail += kModeAndLength;
    headerBuffer->cursor -= kModeAndLength;
  }
  return split.head;
}

}  // namespace

EXE_SPLIT SplitExe(int mode, const DATA_BUFFER& input) { return Split(mode, input, true); }
EXE_SPLIT SplitAnyExe(int mode, const DATA_BUFFER& input) { return Split(mode, input, false); }

const char* EncodeExe(const char* position, DATA_BUFFER*& chain) {
  DATA_BUFFER* input = chain;
  DATA_BUFFER* streams = nullptr;
  for (int mode : {kExe32, kExe16}) {
    headerBuffer->putByte(mode);
    if ((streams = TryEncode(mode, input))) break;
  }
  if (!streams) {
    headerBuffer->putByte(kExeFallback);
    EncodeSamples("", chain);
    return position;
  }
  chain = ReplaceByChain(streams, input);
  return position;
}

}  // namespace zubreca
