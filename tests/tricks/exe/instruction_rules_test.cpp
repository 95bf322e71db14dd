// Tests of the instruction rules of the executable trick: how long an
// instruction is under each mode and prefix, which addressing flags its
// ModRM and SIB bytes add, which of its fields make it implausible, and
// which stream or value class each kind of field goes to. Every expected
// length is counted by hand from the layout prefix, opcode, ModRM, SIB,
// field, immediate.
#include "tricks/exe/instruction_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zubreca {
namespace {

constexpr uint32_t k32 = 4, k16 = 2;  // default sizes of modes 1 and 0

struct PARSED {
  bool plausible;
  long length;  // bytes the parse stepped over
  uint32_t opcode;
};

// One instruction at `at` in `bytes`, a file of `fileLength` bytes (the
// size of `bytes` when 0) as far as the call rule is concerned.
PARSED Parse(uint32_t defaultSize, const std::vector<uint8_t>& bytes, size_t at = 0, uint32_t fileLength = 0) {
  const PLAUSIBILITY_PARSER parser{bytes.data(), bytes.data() + bytes.size(), defaultSize,
                                   fileLength ? fileLength : static_cast<uint32_t>(bytes.size())};
  const uint8_t* cursor = bytes.data() + at;
  uint32_t opcode = 0xFFFFFFFF;
  const bool plausible = parser.parse(cursor, opcode);
  return {plausible, cursor - (bytes.data() + at), opcode};
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char h[4];
  for (uint8_t b : bytes) {
    snprintf(h, sizeof h, "%02X ", b);
    s += h;
  }
  return s;
}

struct LAYOUT {
  uint32_t defaultSize;
  std::vector<uint8_t> bytes;  // the instruction and whatever follows it
  long length;
  bool plausible;
};

void ExpectLayouts(const std::vector<LAYOUT>& cases) {
  for (const LAYOUT& c : cases) {
    const PARSED p = Parse(c.defaultSize, c.bytes);
    EXPECT_EQ(p.length, c.length) << "mode " << (c.defaultSize == k32 ? 1 : 0) << ": " << Hex(c.bytes);
    EXPECT_EQ(p.plausible, c.plausible) << "mode " << (c.defaultSize == k32 ? 1 : 0) << ": " << Hex(c.bytes);
  }
}

// --- Lengths -----------------------------------------------------------------

TEST(InstructionRules, OperandSizePrefixShortensTheImmediateInMode1AndWidensItInMode0) {
  const PARSED p = Parse(k32, {0x66, 0xB8, 0x34, 0x12, 0x90, 0x90});  // mov ax, 0x1234
  EXPECT_EQ(p.length, 4);
  EXPECT_EQ(p.opcode, 0xB8u);
  EXPECT_TRUE(p.plausible);
  EXPECT_EQ(FlagsOf(0xB8), OPF_IMM | OPF_IMMCLASS);
  ExpectLayouts({
      {k32, {0xB8, 0x34, 0x12, 0x00, 0x00, 0x90}, 5, true},
      {k16, {0xB8, 0x34, 0x12, 0x90, 0x90}, 3, true},
      {k16, {0x66, 0xB8, 0x78, 0x56, 0x34, 0x12, 0x90}, 6, true},
      {k32, {0x66, 0x66, 0xB8, 0x34, 0x12, 0x90}, 5, true},  // the same prefix twice
      {k32, {0x81, 0xC1, 0x00, 0x01, 0x00, 0x00, 0x90}, 6, true},
      {k16, {0x81, 0xC1, 0x00, 0x01, 0x90}, 4, true},
  });
}

TEST(InstructionRules, ModRmFormFollowsTheModeAndFieldLengthFollowsTheAddressSize) {
  // 8B 04 24, mov eax, [esp]: a SIB byte with base 4, no field.
  EXPECT_EQ(AddressingFlags(k32, 0x04, 0x24), OPF_SIB | OPF_FRAME);
  // 8B 05 in mode 1: [disp32]; in mode 0 the same ModRM is [di], while 06
  // is [disp16].
  EXPECT_EQ(AddressingFlags(k32, 0x05, 0), OPF_FIELD | OPF_ABS);
  EXPECT_EQ(AddressingFlags(k16, 0x05, 0), 0u);
  EXPECT_EQ(AddressingFlags(k16, 0x06, 0), OPF_FIELD | OPF_ABS);
  ExpectLayouts({
      {k32, {0x8B, 0x04, 0x24, 0x90}, 3, true},
      {k32, {0x8B, 0x05, 0x00, 0x10, 0x40, 0x00, 0x90}, 6, true},
      {k16, {0x8B, 0x05, 0x90, 0x90}, 2, true},
      {k16, {0x8B, 0x06, 0x34, 0x12, 0x90}, 4, true},
      // 0x67 shortens the field to 2 bytes but keeps the 32-bit ModRM form.
      {k32, {0x67, 0x8B, 0x05, 0x34, 0x12, 0x90}, 5, true},
      {k32, {0x67, 0x8B, 0x04, 0x24, 0x90}, 4, true},
      {k16, {0x67, 0x8B, 0x06, 0x00, 0x10, 0x40, 0x00, 0x90}, 7, true},  // and widens it in mode 0
      // Displacements of one byte and of addressSize bytes, with an immediate.
      {k32, {0xC7, 0x45, 0xF8, 0x01, 0x00, 0x00, 0x00, 0x90}, 7, true},
      {k32, {0xC7, 0x05, 0x00, 0x10, 0x40, 0x00, 0x01, 0x00, 0x00, 0x00, 0x90}, 10, true},
      {k32, {0x8B, 0x84, 0x24, 0x00, 0x01, 0x00, 0x00, 0x90}, 7, true},  // SIB and disp32
      {k32, {0x8B, 0x04, 0x25, 0x00, 0x10, 0x40, 0x00, 0x90}, 7, true},  // SIB base 5 in mod 0: disp32
      {k16, {0x8B, 0x46, 0xFE, 0x90}, 3, true},
      {k16, {0x8B, 0x86, 0xFE, 0xFF, 0x90}, 4, true},
      // Memory offsets of 0xA0..0xA3 come from the table, not from a ModRM.
      {k32, {0xA1, 0x00, 0x10, 0x40, 0x00, 0x90}, 5, true},
      {k16, {0xA1, 0x00, 0x10, 0x90}, 3, true},
  });
}

TEST(InstructionRules, TwoByteOpcodesTakeTheSecondTableAndConditionalOnesCarryJcc) {
  PARSED p = Parse(k32, {0x0F, 0x84, 0x10, 0x00, 0x00, 0x00, 0x90});  // je rel32
  EXPECT_EQ(p.opcode, 0x0F84u);
  EXPECT_EQ(p.length, 6);
  EXPECT_TRUE(p.plausible);
  EXPECT_EQ(FlagsOf(p.opcode), OPF_JCC | OPF_REL | OPF_FIELD);
  p = Parse(k32, {0x0F, 0x44, 0xC1, 0x90});  // cmove eax, ecx
  EXPECT_EQ(p.opcode, 0x0F44u);
  EXPECT_EQ(p.length, 3);
  EXPECT_EQ(FlagsOf(p.opcode), OPF_JCC | OPF_MODRM);
  EXPECT_EQ(FlagsOf(0x74), OPF_JCC | OPF_REL | OPF_FIELD | OPF_FIELD8);
  EXPECT_EQ(FlagsOf(0x0FAF), OPF_MODRM);  // imul: no escape to 55
  ExpectLayouts({
      {k16, {0x0F, 0x84, 0x10, 0x00, 0x90}, 4, true},  // rel16
      {k32, {0x0F, 0xB6, 0x45, 0x08, 0x90}, 4, true},  // movzx eax, byte [ebp+8]
  });
}

TEST(InstructionRules, FarPointersAndEnterCarryATwoByteField) {
  ExpectLayouts({
      {k32, {0x9A, 0x00, 0x10, 0x40, 0x00, 0x08, 0x00, 0x90}, 7, true},  // call far ptr16:32
      {k16, {0x9A, 0x00, 0x10, 0x08, 0x00, 0x90}, 5, true},
      {k32, {0xEA, 0x00, 0x10, 0x40, 0x00, 0x08, 0x00, 0x90}, 7, false},  // jmp far: rare
      {k32, {0xC8, 0x10, 0x00, 0x00, 0x90}, 4, true},  // enter 16, 0
      {k32, {0xC8, 0x10, 0x00, 0x20, 0x90}, 4, false},  // nesting level 32
      {k32, {0xC2, 0x04, 0x00, 0x90}, 3, true},  // ret 4
      {k32, {0xC2, 0x00, 0x00, 0x90}, 3, false},  // ret 0 is written C3
      {k32, {0xCA, 0x00, 0x00, 0x90}, 3, true},   // retf 0: no such rule
  });
}

TEST(InstructionRules, TestWithAnImmediateGetsOneAndAZeroOneIsImplausible) {
  EXPECT_TRUE(IsTestWithImmediate(0xF6, 0xC0));
  EXPECT_TRUE(IsTestWithImmediate(0xF7, 0x05));
  EXPECT_FALSE(IsTestWithImmediate(0xF7, 0xD0));  // not
  EXPECT_FALSE(IsTestWithImmediate(0xF7, 0xC8));  // bits 3..5 = 1
  EXPECT_FALSE(IsTestWithImmediate(0x85, 0xC0));
  EXPECT_EQ(TestImmediateFlags(0xF6), OPF_IMM | OPF_IMM8);
  EXPECT_EQ(TestImmediateFlags(0xF7), OPF_IMM);
  ExpectLayouts({
      {k32, {0xF6, 0xC0, 0x01, 0x90}, 3, true},
      {k32, {0xF6, 0xC0, 0x00, 0x90}, 3, false},
      {k32, {0xF7, 0xC0, 0x00, 0x01, 0x00, 0x00, 0x90}, 6, true},
      {k32, {0xF7, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x90}, 6, false},
      {k32, {0xF7, 0xD0, 0x90}, 2, true},  // not eax: no immediate
      {k32, {0xF6, 0x45, 0x08, 0x01, 0x90}, 4, true},  // test byte [ebp+8], 1
      // In mode 0 the immediate is 2 bytes, but 4 bytes are tested.
      {k16, {0xF7, 0xC0, 0x00, 0x00, 0x05, 0x90}, 4, true},
      {k16, {0xF7, 0xC0, 0x00, 0x00, 0x00, 0x00}, 4, false},
  });
}

TEST(InstructionRules, APrefixThatEndsTheFileEndsTheInstruction) {
  const PARSED p = Parse(k32, {0x66});
  EXPECT_EQ(p.length, 1);
  EXPECT_EQ(p.opcode, 0x66u);
  EXPECT_TRUE(p.plausible);
  const PARSED run = Parse(k32, {0x90, 0xF3, 0x66}, 1);  // a run of prefixes
  EXPECT_EQ(run.length, 2);
  EXPECT_TRUE(run.plausible);
}

// --- Plausibility ------------------------------------------------------------

TEST(InstructionRules, AZeroRunIsOneImplausibleInstructionUpToTheNextNonZeroByte) {
  const std::vector<uint8_t> code = {0x00, 0x00, 0x00, 0x00, 0x00, 0xC3};
  const PARSED zeros = Parse(k32, code);
  EXPECT_FALSE(zeros.plausible);
  EXPECT_EQ(zeros.length, 5);
  const PARSED ret = Parse(k32, code, 5);
  EXPECT_TRUE(ret.plausible);
  EXPECT_EQ(ret.opcode, 0xC3u);
  EXPECT_TRUE(IsReturn(ret.opcode));
  ExpectLayouts({
      {k32, {0x00, 0x00}, 2, false},  // the byte past the end reads as 0
      {k32, {0x00, 0x00, 0x00}, 3, false},
      {k16, {0x00, 0x00, 0x00, 0x00, 0x01}, 4, false},
      {k32, {0x00, 0x00, 0x05}, 2, true},  // add [eax], al
      {k32, {0x00, 0x04, 0x00, 0xC3}, 3, false},  // a zero SIB behind opcode 0
      {k32, {0x00, 0x04, 0x08, 0x00}, 3, true},
      {k32, {0x01, 0x04, 0x00, 0xC3}, 3, true},   // only opcode 0 has the SIB rule
      {k32, {0x00, 0x40, 0x00, 0x90}, 3, false},  // opcode 0 with a zero disp8
      {k32, {0x00, 0x40, 0x01, 0x90}, 3, true},
      {k32, {0x01, 0x40, 0x00, 0x90}, 3, true},
  });
}

TEST(InstructionRules, ShiftCountsAboveThirtyOneAndZeroImmediatesAreImplausible) {
  ExpectLayouts({
      {k32, {0xC1, 0xE0, 0x20, 0x90}, 3, false},  // shl eax, 32
      {k32, {0xC1, 0xE0, 0x1F, 0x90}, 3, true},   // shl eax, 31
      {k32, {0xC1, 0xE0, 0x00, 0x90}, 3, false},  // shl eax, 0
      {k32, {0x0F, 0xBA, 0xE0, 0x20, 0x90}, 4, false},  // bt eax, 32
      {k32, {0x0F, 0xBA, 0xE0, 0x00, 0x90}, 4, true},   // bt eax, 0: no zero rule
      {k32, {0x0F, 0xA4, 0xC0, 0x00, 0x90}, 4, false},  // shld eax, eax, 0
      {k32, {0x6B, 0xC0, 0x40, 0x90}, 3, true},         // imul eax, eax, 64: no count rule
      {k32, {0x6B, 0xC0, 0x00, 0x90}, 3, false},
      {k32, {0x69, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x90}, 6, false},
      {k32, {0x04, 0x00, 0x90}, 2, false},  // add al, 0
      {k32, {0x14, 0x00, 0x90}, 2, true},   // adc al, 0
      {k32, {0x05, 0x00, 0x00, 0x00, 0x00, 0x90}, 5, false},
  });
}

TEST(InstructionRules, ShortBranchesByZeroAreImplausibleButJmpShortIsNot) {
  ExpectLayouts({
      {k32, {0x74, 0x05}, 2, true},
      {k32, {0x74, 0x00}, 2, false},
      {k32, {0xE3, 0x00}, 2, false},
      {k32, {0xEB, 0x00}, 2, true},
      {k32, {0xEB, 0xFE}, 2, true},
  });
}

TEST(InstructionRules, WideDisplacementsBelowMinus2To23AreImplausibleExceptForLeaAndIndirectCalls) {
  ExpectLayouts({
      {k32, {0x8B, 0x80, 0x00, 0x00, 0x80, 0xFF, 0x90}, 6, true},   // -8388608
      {k32, {0x8B, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0x90}, 6, false},  // -8388609
      {k32, {0x8D, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0x90}, 6, true},
      {k32, {0xFF, 0x90, 0xFF, 0xFF, 0x7F, 0xFF, 0x90}, 6, true},   // call [eax + disp32]
      {k32, {0xFF, 0xA0, 0xFF, 0xFF, 0x7F, 0xFF, 0x90}, 6, false},  // jmp [eax + disp32]
      {k32, {0x8B, 0x80, 0x00, 0x00, 0x00, 0x80, 0x90}, 6, false},
      {k16, {0x8B, 0x86, 0x00, 0x80, 0x90}, 4, true},  // 16-bit fields never reach so far
      // A branch field is held to the same bound.
      {k32, {0xE9, 0xFF, 0xFF, 0x7F, 0xFF, 0x90}, 5, false},
  });
}

TEST(InstructionRules, ACallIsImplausibleWhenItsTargetLiesMoreThanTwiceTheFileLengthAway) {
  // In a file of 100 bytes a call at offset 0 has the field end at 5:
  // 5 + v + 4 + 200 must not exceed 400 as an unsigned number.
  auto call = [](int32_t v, uint32_t defaultSize) {
    std::vector<uint8_t> bytes = {0xE8};
    for (uint32_t i = 0; i < defaultSize; ++i) bytes.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    bytes.push_back(0x90);
    return Parse(defaultSize, bytes, 0, 100);
  };
  EXPECT_TRUE(call(191, k32).plausible);
  EXPECT_FALSE(call(192, k32).plausible);
  EXPECT_TRUE(call(-209, k32).plausible);
  EXPECT_FALSE(call(-210, k32).plausible);
  EXPECT_EQ(call(0, k32).length, 5);
  // Mode 0: the field ends at 3 and counts 2: v up to 195 and down to -205.
  EXPECT_TRUE(call(195, k16).plausible);
  EXPECT_FALSE(call(196, k16).plausible);
  EXPECT_TRUE(call(-205, k16).plausible);
  EXPECT_FALSE(call(-206, k16).plausible);
  EXPECT_EQ(call(0, k16).length, 3);
  // Further into the file the bound moves with the call: at offset 10 the
  // field ends at 15.
  const std::vector<uint8_t> at10 = {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90,
                                     0xE8, 181, 0x00, 0x00, 0x00, 0xE8, 182, 0x00, 0x00, 0x00};
  EXPECT_TRUE(Parse(k32, at10, 10, 100).plausible);
  EXPECT_FALSE(Parse(k32, at10, 15, 100).plausible);  // field end 20: 20 + 182 + 4 + 200 > 400
}

TEST(InstructionRules, RareOpcodesAreImplausible) {
  ExpectLayouts({
      {k32, {0x27, 0x90}, 1, false},        // daa
      {k32, {0x63, 0xC0, 0x90}, 2, false},  // arpl
      {k32, {0xF4, 0x90}, 1, false},        // hlt
      {k32, {0xE4, 0x60, 0x90}, 2, false},  // in al, 0x60
      {k32, {0x8E, 0xD8, 0x90}, 2, false},  // mov ds, ax
      {k32, {0x37, 0x90}, 1, false},        // aaa
      {k32, {0x90, 0x90}, 1, true},
  });
}

// --- Addressing flags ----------------------------------------------------------

TEST(InstructionRules, AddressingFlagsOfEachModAndRm) {
  struct CASE {
    uint32_t defaultSize, modrm, sib, flags;
  };
  const uint32_t F = OPF_FIELD, F8 = OPF_FIELD | OPF_FIELD8, S = OPF_SIB, R = OPF_FRAME, A = OPF_ABS;
  const CASE cases[] = {
      // 32-bit forms.
      {k32, 0xC0, 0, 0}, {k32, 0xC5, 0, 0}, {k32, 0xC4, 0x24, 0},  // registers: nothing
      {k32, 0x00, 0, 0}, {k32, 0x06, 0, 0}, {k32, 0x07, 0, 0},
      {k32, 0x05, 0, F | A}, {k32, 0x3D, 0, F | A},
      {k32, 0x04, 0x00, S}, {k32, 0x04, 0x24, S | R}, {k32, 0x04, 0x25, S | F | A}, {k32, 0x04, 0x8D, S | F | A},
      {k32, 0x04, 0x23, S},
      {k32, 0x40, 0, F8}, {k32, 0x45, 0, F8 | R}, {k32, 0x46, 0, F8},
      {k32, 0x44, 0x24, F8 | S | R}, {k32, 0x44, 0x25, F8 | S | R}, {k32, 0x44, 0x20, F8 | S},
      {k32, 0x80, 0, F}, {k32, 0x85, 0, F | R}, {k32, 0x84, 0x24, F | S | R}, {k32, 0x84, 0x05, F | S | R},
      {k32, 0x84, 0x06, F | S},
      // 16-bit forms: no SIB; bp-based forms 2, 3 and 6 are frame based
      // outside mod 0, where 6 is the absolute address.
      {k16, 0xC6, 0, 0},
      {k16, 0x06, 0, F | A}, {k16, 0x02, 0, 0}, {k16, 0x04, 0x24, 0}, {k16, 0x05, 0, 0},
      {k16, 0x40, 0, F8}, {k16, 0x42, 0, F8 | R}, {k16, 0x43, 0, F8 | R}, {k16, 0x46, 0, F8 | R},
      {k16, 0x44, 0, F8}, {k16, 0x47, 0, F8},
      {k16, 0x80, 0, F}, {k16, 0x82, 0, F | R}, {k16, 0x86, 0, F | R}, {k16, 0x87, 0, F},
  };
  for (const CASE& c : cases) {
    EXPECT_EQ(AddressingFlags(c.defaultSize, c.modrm, c.sib), c.flags)
        << "mode " << (c.defaultSize == k32 ? 1 : 0) << ", ModRM " << c.modrm << ", SIB " << c.sib;
  }
  EXPECT_TRUE(HasSib(k32, 0x04));
  EXPECT_TRUE(HasSib(k32, 0x44));
  EXPECT_TRUE(HasSib(k32, 0xBC));
  EXPECT_FALSE(HasSib(k32, 0xC4));
  EXPECT_FALSE(HasSib(k32, 0x05));
  EXPECT_FALSE(HasSib(k16, 0x04));
}

// --- Where fields go ---------------------------------------------------------

TEST(InstructionRules, StreamsAndClassesOfFields) {
  EXPECT_EQ(WideBit(0x88), 0u);
  EXPECT_EQ(WideBit(0x89), 1u);
  EXPECT_EQ(WideBit(0xD7), 1u);
  EXPECT_EQ(WideBit(0xD8), 1u);  // the floating-point escapes count as wide
  EXPECT_EQ(WideBit(0xDA), 1u);
  EXPECT_EQ(WideBit(0xDE), 1u);
  EXPECT_EQ(WideBit(0xE0), 0u);
  EXPECT_EQ(WideBit(0x0FB6), 0u);
  EXPECT_EQ(WideBit(0x0FB7), 1u);

  // 8-bit displacements: streams 3 to 10.
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8, 0x88, 0), 3);
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8, 0x8B, 1), 4);
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8, 0x8D, 1), 5);  // lea
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8 | OPF_SIB, 0x8D, 1), 6);
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8 | OPF_FRAME, 0x88, 0), 7);
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8 | OPF_FRAME, 0x8B, 1), 8);
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8 | OPF_FRAME, 0x8D, 1), 9);
  EXPECT_EQ(ShortDisplacementStream(OPF_FIELD8 | OPF_FRAME | OPF_SIB, 0x88, 0), 10);

  // Wide displacements: classes 14 to 19.
  EXPECT_EQ(DisplacementClass(OPF_FIELD | OPF_FRAME, 0), 14);
  EXPECT_EQ(DisplacementClass(OPF_FIELD | OPF_FRAME | OPF_SIB, 1), 14);
  EXPECT_EQ(DisplacementClass(OPF_FIELD, 0), 15);
  EXPECT_EQ(DisplacementClass(OPF_FIELD | OPF_SIB, 1), 16);
  EXPECT_EQ(DisplacementClass(OPF_FIELD | OPF_ABS, 0), 17);
  EXPECT_EQ(DisplacementClass(OPF_FIELD | OPF_ABS, 1), 18);
  EXPECT_EQ(DisplacementClass(OPF_FIELD | OPF_ABS | OPF_SIB, 0), 19);

  // Wide immediates: classes 11 to 13.
  EXPECT_EQ(ImmediateClass(FlagsOf(0x05), 0x05), 11);
  EXPECT_EQ(ImmediateClass(FlagsOf(0x68), 0x68), 12);
  EXPECT_EQ(ImmediateClass(FlagsOf(0xB8), 0xB8), 13);
  EXPECT_EQ(ImmediateClass(FlagsOf(0xA9), 0xA9), 11);

  EXPECT_TRUE(IsIndirectCall(0xFF, 0x15));
  EXPECT_TRUE(IsIndirectCall(0xFF, 0xD0));
  EXPECT_FALSE(IsIndirectCall(0xFF, 0x25));  // jmp through memory
  EXPECT_FALSE(IsIndirectCall(0xFE, 0x15));
}

}  // namespace
}  // namespace zubreca
