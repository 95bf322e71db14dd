// What the executable trick knows of x86 instructions: for every opcode,
// where its fields lie and what kind each is. Nothing is decoded into
// mnemonics. The tables are part of the archive format: the encoder and
// the decoder walk instructions with them, so a changed cell changes how
// stored archives decode.
#pragma once

#include <cstdint>

namespace zubreca {

// Flag bits of an instruction. The tables hold the bits up to OPF_JCC and
// OPF_NONZERO; the ModRM and SIB bytes add OPF_SIB, OPF_FRAME and OPF_ABS
// and sometimes OPF_FIELD and OPF_FIELD8. A table entry of 0 marks a prefix.
inline constexpr uint32_t OPF_PLAIN = 0x0001;     // a valid opcode byte (so that no opcode has the flags 0)
inline constexpr uint32_t OPF_MODRM = 0x0002;     // a ModRM byte follows the opcode
inline constexpr uint32_t OPF_FIELD = 0x0004;     // a displacement, memory offset or branch field of addressSize bytes
inline constexpr uint32_t OPF_FIELD8 = 0x0008;    // ... of one byte
inline constexpr uint32_t OPF_WORD2 = 0x0010;     // a two-byte field; with OPF_FIELD an addressSize field comes with it
inline constexpr uint32_t OPF_IMM = 0x0020;       // an immediate follows the fields
inline constexpr uint32_t OPF_IMM8 = 0x0040;      // ... of one byte; otherwise operandSize bytes
inline constexpr uint32_t OPF_IMMCLASS = 0x0080;  // the immediate goes to the second group of immediate streams
inline constexpr uint32_t OPF_COUNT5 = 0x0100;    // an 8-bit immediate above 31 is implausible (shift counts, bit numbers)
inline constexpr uint32_t OPF_REL = 0x0200;       // the OPF_FIELD field is a relative branch displacement
inline constexpr uint32_t OPF_RARE = 0x0400;      // implausible in ordinary code
inline constexpr uint32_t OPF_JCC = 0x0800;       // written behind the escape byte 55
inline constexpr uint32_t OPF_SIB = 0x1000;       // a SIB byte is present
inline constexpr uint32_t OPF_FRAME = 0x2000;     // the memory operand is based on the frame or stack pointer
inline constexpr uint32_t OPF_ABS = 0x4000;       // the memory operand is an absolute address
inline constexpr uint32_t OPF_NONZERO = 0x8000;   // a zero immediate or zero two-byte field is implausible

// Flags of the one-byte opcodes, and of the byte b of the two-byte opcode
// 0x0F b. OPCODE_FLAGS[0x0F] is never used: 0x0F always takes the next
// byte as the second byte of the opcode.
extern const uint16_t OPCODE_FLAGS[256];
extern const uint16_t OPCODE_FLAGS_0F[256];

// Fourteen multi-byte no-operation sequences used as alignment fill; the
// one at index k is k + 2 bytes long.
inline constexpr int kPaddingPatternCount = 14;
inline constexpr int kLongestPadding = kPaddingPatternCount + 1;
struct PADDING_PATTERN {
  uint8_t length;
  uint8_t bytes[kLongestPadding];
};
extern const PADDING_PATTERN PADDING_PATTERNS[kPaddingPatternCount];

// The returns: 0xC2, 0xC3, 0xCA, 0xCB.
inline bool IsReturn(uint32_t opcode) { return opcode == 0xC2 || opcode == 0xC3 || opcode == 0xCA || opcode == 0xCB; }

}  // namespace zubreca
