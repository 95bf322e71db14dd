#include "tricks/exe/instruction_rules.h"

namespace zubreca {

uint32_t AddressingFlags(uint32_t defaultSize, uint32_t modrm, uint32_t sib) {
  const uint32_t mod = modrm >> 6, rm = modrm & 7;
  if (mod == 3) return 0;
  uint32_t flags = 0;
  if (defaultSize == 4) {
    if (mod == 0 && rm == 5) flags |= OPF_FIELD | OPF_ABS;
    if (mod == 1) flags |= OPF_FIELD | OPF_FIELD8 | (rm == 5 ? OPF_FRAME : 0);
    if (mod == 2) flags |= OPF_FIELD | (rm == 5 ? OPF_FRAME : 0);
    if (rm == 4) {
      flags |= OPF_SIB;
      const uint32_t sibBase = sib & 7;
      if (mod == 0 && sibBase == 5) flags |= OPF_FIELD | OPF_ABS;
      if (mod == 0 && sibBase == 4) flags |= OPF_FRAME;
      if (mod != 0 && (sibBase == 4 || sibBase == 5)) flags |= OPF_FRAME;
    }
  } else {
    const bool frame = rm == 2 || rm == 3 || rm == 6;
    if (mod == 0 && rm == 6) flags |= OPF_FIELD | OPF_ABS;
    if (mod == 1) flags |= OPF_FIELD | OPF_FIELD8 | (frame ? OPF_FRAME : 0);
    if (mod == 2) flags |= OPF_FIELD | (frame ? OPF_FRAME : 0);
  }
  return flags;
}

bool PLAUSIBILITY_PARSER::parse(const uint8_t*& cursor, uint32_t& opcode) const {
  uint32_t operandSize = defaultSize, addressSize = defaultSize;
  while (cursor < end && OPCODE_FLAGS[*cursor] == 0) {
    if (*cursor == 0x66) operandSize = 6 - defaultSize;
    if (*cursor == 0x67) addressSize = 6 - defaultSize;
    opcode = *cursor++;
  }
  // A prefix that is the last byte of the input ends the instruction.
  if (cursor >= end) return true;

  opcode = *cursor++;
  if (opcode == 0x0F) opcode = 0x0F00 | byteAt(cursor++);
  uint32_t flags = FlagsOf(opcode);
  bool plausible = !(flags & OPF_RARE);

  uint32_t modrm = 0;
  if (flags & OPF_MODRM) {
    modrm = byteAt(cursor++);
    uint32_t sib = 0;
    if (HasSib(defaultSize, modrm)) {
      sib = byteAt(cursor++);
      if (sib == 0 && opcode == 0x00) plausible = false;
    }
    flags |= AddressingFlags(defaultSize, modrm, sib);
    if (IsTestWithImmediate(opcode, modrm)) {
      flags |= TestImmediateFlags(opcode) | OPF_NONZERO;
    } else if (opcode == 0 && modrm == 0 && byteAt(cursor) == 0) {
      // A run of zero bytes: one implausible instruction to its end.
      plausible = false;
      while (cursor < end && *cursor == 0) ++cursor;
    }
  }

  if (flags & OPF_WORD2) {
    if ((flags & OPF_NONZERO) && (byteAt(cursor) | byteAt(cursor + 1)) == 0) plausible = false;
    cursor += 2 + (flags & OPF_FIELD ? addressSize : 0);
  } else if ((flags & OPF_FIELD) && (flags & OPF_FIELD8)) {
    const uint32_t d = byteAt(cursor++);
    if (d == 0 && (((flags & OPF_REL) && opcode != 0xEB) || opcode == 0x00)) plausible = false;
  } else if (flags & OPF_FIELD) {
    const uint32_t raw = byteAt(cursor) | byteAt(cursor + 1) << 8 | byteAt(cursor + 2) << 16 | byteAt(cursor + 3) << 24;
    const int32_t v = addressSize == 4 ? static_cast<int32_t>(raw) : static_cast<int16_t>(raw);
    cursor += addressSize;
    if (opcode == kCall) {
      const uint32_t behind = static_cast<uint32_t>(cursor - base);
      if (behind + static_cast<uint32_t>(v) + addressSize + 2 * length > 4 * length) plausible = false;
    } else if (opcode != kLea && !IsIndirectCall(opcode, modrm) && v < -8388608) {
      plausible = false;
    }
  }

  if (flags & OPF_IMM) {
    if (flags & OPF_IMM8) {
      const uint32_t i = byteAt(cursor++);
      if ((flags & OPF_COUNT5) && i >= 32) plausible = false;
      if ((flags & OPF_NONZERO) && i == 0) plausible = false;
    } else {
      if ((flags & OPF_NONZERO) &&
          (byteAt(cursor) | byteAt(cursor + 1) | byteAt(cursor + 2) | byteAt(cursor + 3)) == 0) {
        plausible = false;
      }
      cursor += operandSize;
    }
  }
  return plausible;
}

}  // namespace zubreca
