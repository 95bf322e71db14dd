// The rules by which the executable trick walks x86 instructions: the
// addressing flags of the ModRM and SIB bytes, which stream or value class
// each field goes to, and whether an instruction looks like real code. The
// encoder's two passes and the decoder apply the same rules in the same
// order; any difference between them would break decoding.
#pragma once

#include <cstdint>

#include "tricks/exe/opcode_tables.h"

namespace zubreca {

// The flags of an opcode: a byte, or 0x0F00 + b for the two-byte 0x0F b.
inline uint32_t FlagsOf(uint32_t opcode) {
  return opcode > 0xFF ? OPCODE_FLAGS_0F[opcode & 0xFF] : OPCODE_FLAGS[opcode];
}

// A SIB byte follows the ModRM byte (32-bit code only).
inline bool HasSib(uint32_t defaultSize, uint32_t modrm) {
  return defaultSize == 4 && (modrm >> 6) != 3 && (modrm & 7) == 4;
}

// The flags that the ModRM byte (and the SIB byte, when there is one) add.
// The form of the ModRM byte follows the code's default size, not a 0x67
// prefix.
uint32_t AddressingFlags(uint32_t defaultSize, uint32_t modrm, uint32_t sib);

// `test` with an immediate: 0xF6 and 0xF7 whose ModRM bits 3..5 are 0.
inline bool IsTestWithImmediate(uint32_t opcode, uint32_t modrm) {
  return (opcode == 0xF6 || opcode == 0xF7) && ((modrm >> 3) & 7) == 0;
}
inline uint32_t TestImmediateFlags(uint32_t opcode) { return opcode == 0xF6 ? OPF_IMM | OPF_IMM8 : OPF_IMM; }

// `call` through memory: 0xFF whose ModRM bits 3..5 are 2.
inline bool IsIndirectCall(uint32_t opcode, uint32_t modrm) { return opcode == 0xFF && ((modrm >> 3) & 7) == 2; }

// Bit 0 of the opcode, or 1 for the floating-point escapes.
inline uint32_t WideBit(uint32_t opcode) { return opcode >= 0xD8 && opcode <= 0xDF ? 1 : opcode & 1; }

inline constexpr uint32_t kLea = 0x8D;
inline constexpr uint32_t kCall = 0xE8;
inline constexpr uint32_t kPushImmediate = 0x68;

// The stream (3 to 10) of an 8-bit displacement that is not a branch.
inline int ShortDisplacementStream(uint32_t flags, uint32_t opcode, uint32_t wideBit) {
  const uint32_t c = (flags & OPF_FRAME ? 4 : 0) + (flags & OPF_SIB ? 3 : wideBit + (opcode == kLea ? 1 : 0));
  return 3 + static_cast<int>(c);
}

// The value class (14 to 19) of a wide displacement that is not a branch.
inline int DisplacementClass(uint32_t flags, uint32_t wideBit) {
  if (flags & OPF_FRAME) return 14;
  if (flags & OPF_ABS) return 17 + static_cast<int>(flags & OPF_SIB ? 2 : wideBit);
  return 15 + static_cast<int>(wideBit);
}

// The value class (11 to 13) of a wide immediate.
inline int ImmediateClass(uint32_t flags, uint32_t opcode) {
  return 11 + (flags & OPF_IMMCLASS ? 2 : 0) + (opcode == kPushImmediate ? 1 : 0);
}

// One instruction measured in plausibility mode: `cursor` moves behind it
// (behind a run of zero bytes where the zero rule applies); bytes past
// `end` read as 0. Returns whether the instruction looks like real code of
// a file of `length` bytes and gives its opcode.
struct PLAUSIBILITY_PARSER {
  const uint8_t* base;
  const uint8_t* end;
  uint32_t defaultSize;
  uint32_t length;

  uint32_t byteAt(const uint8_t* p) const { return p < end ? *p : 0; }
  bool parse(const uint8_t*& cursor, uint32_t& opcode) const;
};

}  // namespace zubreca
