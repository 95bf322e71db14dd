// The executable trick's decoder: merges the 22 streams back into the
// file's bytes, checking the markers the encoder planted.
#include <algorithm>
#include <memory>
#include <new>

#include "buffers/data_buffer.h"
#include "driver/console.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "tricks/exe/branch_model.h"
#include "tricks/exe/exe_trick.h"
#include "tricks/exe/instruction_rules.h"
#include "tricks/exe/value_coder.h"
#include "tricks/wiki/sample_trick.h"

namespace zubreca {

namespace {

constexpr uint32_t kSeparator = 47;
constexpr uint32_t kRegionMarker = 39;
constexpr uint32_t kPaddingMarker = 144;
constexpr uint32_t kJccEscape = 55;
constexpr uint32_t kTwoByteEscape = 15;
// Room behind the output for what an instruction cut off by the end of
// the file still writes: at most two opcode bytes, ModRM, SIB, a six-byte
// field and a four-byte immediate, each wide value as four bytes, or a
// 16-byte run of fill.
constexpr uint32_t kSlack = 32;

void StoreValue(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class EXE_MERGER {
 public:
  EXE_MERGER(int mode, uint32_t length, DATA_BUFFER* const streams[kExeStreamCount + 1], uint8_t* output)
      : defaultSize(2u << mode), base(output), end(output + length) {
    for (int k = 1; k <= kExeStreamCount; ++k) {
      in[k].cursor = streams[k]->data();
      in[k].end = streams[k]->data() + streams[k]->length;
    }
    model.reset(new (std::nothrow) BRANCH_MODEL(&in[kFarBranches], &in[kShortBranches], output));
    if (!model) ReportError("out of memory");
  }

  EXE_MERGE run();

 private:
  int32_t offsetOf(const uint8_t* p) const { return static_cast<int32_t>(p - base); }
  bool stopped() const { return in[kInstructionStream].outOfStep || in[kInstructionStream].damaged || broken; }
  void copyRegion();
  void restorePadding(uint8_t* s);
  void restoreInstruction();
  uint32_t value(int valueClass) {
    return static_cast<uint32_t>(GetValue(caches[valueClass - kFirstValueClass], in[ValueStream(valueClass)], in[kLongValues]));
  }

  const uint32_t defaultSize;
  uint8_t* const base;
  uint8_t* const end;
  uint8_t* cursor = nullptr;
  STREAM_READER in[kExeStreamCount + 1];
  std::unique_ptr<BRANCH_MODEL> model;
  VALUE_CACHE caches[kValueClassCount];
  bool broken = false;  // a code that no encoder writes
};

void EXE_MERGER::copyRegion() {
  STREAM_READER& data = in[kDataStream];
  uint32_t n = 0, b;
  while ((b = data.next()) == 255 && !data.damaged) n += 255;
  n += b;
  if (n > static_cast<uint32_t>(end - cursor) || n > static_cast<uint32_t>(data.end - data.cursor)) {
    broken = true;
    return;
  }
  for (uint32_t i = 0; i < n; ++i) {
    model->registerStart(offsetOf(cursor));
    *cursor++ = static_cast<uint8_t>(data.next());
  }
}

// The 0x90 just written at s stands for alignment fill; its code follows.
void EXE_MERGER::restorePadding(uint8_t* s) {
  const uint32_t code = in[kInstructionStream].next();
  if (code < kPaddingMarker) {
    broken = true;
  } else if (code < 160) {
    for (uint32_t i = kPaddingMarker; i < code; ++i) *cursor++ = 0x90;
  } else if (code < 176) {
    const uint32_t k = (code - static_cast<uint32_t>(offsetOf(s)) - 2) & 15;
    if (k >= kPaddingPatternCount) {
      broken = true;
      return;
    }
    const PADDING_PATTERN& pattern = PADDING_PATTERNS[k];
    std::copy(pattern.bytes, pattern.bytes + pattern.length, s);
    cursor = s + pattern.length;
  } else {
    cursor = s;
    do *cursor++ = 0xCC;
    while ((offsetOf(cursor) & 15) != (code & 15));
  }
}

void EXE_MERGER::restoreInstruction() {
  STREAM_READER& instructions = in[kInstructionStream];
  uint32_t operandSize = defaultSize, addressSize = defaultSize;
  uint32_t b = instructions.next();
  if (b == kRegionMarker) {
    copyRegion();
    return;
  }
  model->registerStart(offsetOf(cursor));
  uint32_t flags = OPCODE_FLAGS[b];
  bool noPrefix = true;
  while (flags == 0) {
    *cursor++ = static_cast<uint8_t>(b);
    TestExe(instructions, kSeparator);
    if (cursor >= end || stopped()) break;
    if (b == 0x66) operandSize = 6 - defaultSize;
    if (b == 0x67) addressSize = 6 - defaultSize;
    b = instructions.next();
    flags = OPCODE_FLAGS[b];
    noPrefix = false;
  }

  uint32_t opcode = b;
  if (b == kJccEscape || b == kTwoByteEscape) {
    const uint32_t c = instructions.next();
    if (b == kJccEscape && (c == kJccEscape || (c >= 0x70 && c <= 0x7F))) {
      opcode = c;
      flags = OPCODE_FLAGS[c];
    } else {
      *cursor++ = 0x0F;
      opcode = 0x0F00 | c;
      flags = OPCODE_FLAGS_0F[c];
    }
  }
  uint8_t* const opcodeAt = cursor;
  *cursor++ = static_cast<uint8_t>(opcode);
  if (opcode == 0x90 && noPrefix) {
    restorePadding(opcodeAt);
    return;
  }

  uint32_t modrm = 0;
  if (flags & OPF_MODRM) {
    modrm = instructions.next();
    *cursor++ = static_cast<uint8_t>(modrm);
    uint32_t sib = 0;
    if (HasSib(defaultSize, modrm)) {
      sib = instructions.next();
      *cursor++ = static_cast<uint8_t>(sib);
    }
    flags |= AddressingFlags(defaultSize, modrm, sib);
    if (IsTestWithImmediate(opcode, modrm)) flags |= TestImmediateFlags(opcode);
  }

  if (flags & OPF_WORD2) {
    const uint32_t size = 2 + (flags & OPF_FIELD ? addressSize : 0);
    for (uint32_t i = 0; i < size; ++i) *cursor++ = static_cast<uint8_t>(instructions.next());
  } else if (flags & OPF_FIELD) {
    const uint32_t wideBit = WideBit(opcode);
    if (flags & OPF_FIELD8) {
      if (flags & OPF_REL) {
        model->addPending(0, offsetOf(cursor), offsetOf(cursor) + 1, 1);
      } else {
        const int stream = IsIndirectCall(opcode, modrm) ? kInstructionStream : ShortDisplacementStream(flags, opcode, wideBit);
        const uint32_t d = in[stream].next();
        *cursor = static_cast<uint8_t>((d << 2) | (d >> 6));
      }
      ++cursor;
    } else {
      if (flags & OPF_REL) {
        model->addPending(1, offsetOf(cursor), offsetOf(cursor) + static_cast<int32_t>(addressSize),
                          static_cast<int>(addressSize));
      } else if (opcode == kCall || IsIndirectCall(opcode, modrm)) {
        uint32_t t = instructions.next() << 24;
        t |= instructions.next() << 16;
        t |= ((instructions.next() - 80) & 0xFF) << 12;
        t |= ((instructions.next() - 144) & 0xFF) << 8;
        t |= ((instructions.next() - 208) & 0xFF) << 4;
        t |= (instructions.next() - 16) & 0xFF;
        const uint32_t behind = static_cast<uint32_t>(offsetOf(cursor)) + addressSize;
        StoreValue(cursor, opcode == kCall ? t - behind : t);
      } else {
        StoreValue(cursor, value(DisplacementClass(flags, wideBit)));
      }
      cursor += addressSize;
    }
  }

  if (flags & OPF_IMM) {
    if (flags & OPF_IMM8) {
      *cursor++ = static_cast<uint8_t>(64 - in[flags & OPF_IMMCLASS ? kShortImmediates : kInstructionStream].next());
    } else {
      StoreValue(cursor, value(ImmediateClass(flags, opcode)));
      cursor += operandSize;
    }
  }
}

EXE_MERGE EXE_MERGER::run() {
  cursor = base;
  while (cursor < end && !stopped()) {
    TestExe(in[kInstructionStream], kSeparator);
    if (stopped()) break;
    restoreInstruction();
  }
  if (!stopped()) model->flush();
  bool outOfStep = false, damaged = broken;
  for (int k = 1; k <= kExeStreamCount; ++k) {
    outOfStep = outOfStep || in[k].outOfStep;
    damaged = damaged || in[k].damaged;
  }
  if (outOfStep) return EXE_MERGE::kOutOfStep;
  return damaged ? EXE_MERGE::kDamaged : EXE_MERGE::kRestored;
}

}  // namespace

EXE_MERGE MergeExeStreams(int mode, uint32_t length, DATA_BUFFER* const streams[kExeStreamCount + 1],
                          DATA_BUFFER*& output) {
  output = new DATA_BUFFER(static_cast<int>(length + kSlack), 128, nullptr);
  const EXE_MERGE result = EXE_MERGER(mode, length, streams, output->data()).run();
  output->avail -= static_cast<int>(length);
  output->cursor += length;
  output->flip();
  return result;
}

DATA_BUFFER* DecodeExe(ENTRY_READER& entry) {
  const int mode = headerBuffer->getByte();
  if (mode < 0) return nullptr;
  if (mode >= kExeFallback) return DecodeSamples(entry);
  if (headerBuffer->avail < 4) return nullptr;
  const uint32_t length = headerBuffer->getU32();
  if (length != entry.fileLength) return nullptr;

  DATA_BUFFER* streams[kExeStreamCount + 1];
  std::unique_ptr<DATA_BUFFER> head(CreateExeStreams(length, streams));
  for (int k = 1; k <= kExeStreamCount; ++k) {
    streams[k]->next = nullptr;  // decoded one by one, each flipped on its own
    entry.decode(streams[k], static_cast<uint32_t>(std::min<uint64_t>(ExeStreamBound(k, length) + 1, kDecodeLimit + 1)));
    streams[k]->next = k < kExeStreamCount ? streams[k + 1] : nullptr;
  }
  if (!entry.sound) return nullptr;
  DATA_BUFFER* output = nullptr;
  const EXE_MERGE result = MergeExeStreams(mode, length, streams, output);
  if (result == EXE_MERGE::kRestored) return output;
  delete output;
  if (result == EXE_MERGE::kOutOfStep) ReportError(".EXE integrity check");
  return nullptr;
}

}  // namespace zubreca
