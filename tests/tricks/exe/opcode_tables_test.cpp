// Tests of the opcode flag tables and the padding patterns. The tables are
// part of the archive format, so each cell is compared with a second copy
// typed here in a different layout: the one-byte map as runs of equal
// entries, the 0x0F map as one letter per cell, the padding patterns as hex
// strings. A slip in either copy shows up as a mismatch.
#include "tricks/exe/opcode_tables.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zubreca {
namespace {

// The one-byte map as runs [first, last] sharing one value, in ascending
// order and covering 0x00..0xFF without gaps.
struct OPCODE_RUN {
  int first;
  int last;
  uint16_t flags;
};

// clang-format off
const OPCODE_RUN kOneByteRuns[] = {
  {0x00, 0x03, 0x0002}, {0x04, 0x04, 0x8060}, {0x05, 0x05, 0x8020}, {0x06, 0x07, 0x0001},
  {0x08, 0x0B, 0x0002}, {0x0C, 0x0C, 0x8060}, {0x0D, 0x0D, 0x8020}, {0x0E, 0x0F, 0x0001},
  {0x10, 0x13, 0x0002}, {0x14, 0x14, 0x0060}, {0x15, 0x15, 0x0020}, {0x16, 0x17, 0x0001},
  {0x18, 0x1B, 0x0002}, {0x1C, 0x1C, 0x0060}, {0x1D, 0x1D, 0x0020}, {0x1E, 0x1F, 0x0001},
  {0x20, 0x23, 0x0002}, {0x24, 0x24, 0x8060}, {0x25, 0x25, 0x8020}, {0x26, 0x26, 0x0000}, {0x27, 0x27, 0x0401},
  {0x28, 0x2B, 0x0002}, {0x2C, 0x2C, 0x8060}, {0x2D, 0x2D, 0x8020}, {0x2E, 0x2E, 0x0000}, {0x2F, 0x2F, 0x0401},
  {0x30, 0x33, 0x0002}, {0x34, 0x34, 0x8060}, {0x35, 0x35, 0x8020}, {0x36, 0x36, 0x0000}, {0x37, 0x37, 0x0C01},
  {0x38, 0x3B, 0x0002}, {0x3C, 0x3C, 0x00E0}, {0x3D, 0x3D, 0x0020}, {0x3E, 0x3E, 0x0000}, {0x3F, 0x3F, 0x0401},
  {0x40, 0x61, 0x0001},
  {0x62, 0x62, 0x0002}, {0x63, 0x63, 0x0402}, {0x64, 0x67, 0x0000}, {0x68, 0x68, 0x0020},
  {0x69, 0x69, 0x8022}, {0x6A, 0x6A, 0x0060}, {0x6B, 0x6B, 0x8062}, {0x6C, 0x6F, 0x0401},
  {0x70, 0x7F, 0x0A0C},
  {0x80, 0x80, 0x00E2}, {0x81, 0x81, 0x0022}, {0x82, 0x82, 0x0401}, {0x83, 0x83, 0x0062},
  {0x84, 0x8D, 0x0002}, {0x8E, 0x8E, 0x0402}, {0x8F, 0x8F, 0x0002},
  {0x90, 0x99, 0x0001}, {0x9A, 0x9A, 0x0014}, {0x9B, 0x9F, 0x0001},
  {0xA0, 0xA3, 0x4004}, {0xA4, 0xA7, 0x0001}, {0xA8, 0xA8, 0x8060}, {0xA9, 0xA9, 0x8020}, {0xAA, 0xAF, 0x0001},
  {0xB0, 0xB7, 0x0060}, {0xB8, 0xBF, 0x00A0},
  {0xC0, 0xC1, 0x8162}, {0xC2, 0xC2, 0x8010}, {0xC3, 0xC3, 0x0001}, {0xC4, 0xC5, 0x0002},
  {0xC6, 0xC6, 0x00E2}, {0xC7, 0xC7, 0x00A2}, {0xC8, 0xC8, 0x0170}, {0xC9, 0xC9, 0x0001},
  {0xCA, 0xCA, 0x0010}, {0xCB, 0xCC, 0x0001}, {0xCD, 0xCD, 0x0060}, {0xCE, 0xCE, 0x0001}, {0xCF, 0xCF, 0x0401},
  {0xD0, 0xD3, 0x0002}, {0xD4, 0xD5, 0x0460}, {0xD6, 0xD6, 0x0401}, {0xD7, 0xD7, 0x0001}, {0xD8, 0xDF, 0x0002},
  {0xE0, 0xE3, 0x020C}, {0xE4, 0xE7, 0x0460}, {0xE8, 0xE8, 0x0004}, {0xE9, 0xE9, 0x0204},
  {0xEA, 0xEA, 0x0414}, {0xEB, 0xEB, 0x020C}, {0xEC, 0xEF, 0x0401},
  {0xF0, 0xF0, 0x0000}, {0xF1, 0xF1, 0x0401}, {0xF2, 0xF3, 0x0000}, {0xF4, 0xF4, 0x0401},
  {0xF5, 0xF5, 0x0001}, {0xF6, 0xF6, 0x0082}, {0xF7, 0xF7, 0x0002}, {0xF8, 0xFD, 0x0001}, {0xFE, 0xFF, 0x0002},
};

// The 0x0F map, one row of sixteen letters per high nibble:
//   . 0001   m 0002   i 0062   s 8162   b 0162   c 0802   j 0A04
const char* const kTwoByteRows[16] = {
  "mmmm............",  // 0F 0x
  "................",  // 0F 1x
  "mmmmm.m.........",  // 0F 2x
  "................",  // 0F 3x
  "cccccccccccccccc",  // 0F 4x
  "................",  // 0F 5x
  "mmmmmmmmmmm...mm",  // 0F 6x
  ".iiimmm.......mm",  // 0F 7x
  "jjjjjjjjjjjjjjjj",  // 0F 8x
  "cccccccccccccccc",  // 0F 9x
  "...msmmm...msmmm",  // 0F Ax
  "..mmmmmm..bmmmm.",  // 0F Bx
  "mm.....mm.......",  // 0F Cx
  ".mmm.m..mm.mmm.m",  // 0F Dx
  ".mm..m..mm.mmm.m",  // 0F Ex
  ".mmm.m..mmm.mmm.",  // 0F Fx
};

// Padding patterns by index, as hex strings.
const char* const kPaddingHex[kPaddingPatternCount] = {
  "8BF6",
  "8D7600",
  "8D742600",
  "908D742600",
  "8DB600000000",
  "8DB42600000000",
  "908DB42600000000",
  "8BF68DBC2700000000",
  "8D76008DBC2700000000",
  "8D7426008DBC2700000000",
  "8DB6000000008DBF00000000",
  "8DB6000000008DBC2700000000",
  "8DB426000000008DBC2700000000",
  "908DB426000000008DBC2700000000",
};
// clang-format on

std::string Hex(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

uint16_t TwoByteLetter(char letter) {
  switch (letter) {
    case '.': return 0x0001;
    case 'm': return 0x0002;
    case 'i': return 0x0062;
    case 's': return 0x8162;
    case 'b': return 0x0162;
    case 'c': return 0x0802;
    case 'j': return 0x0A04;
  }
  ADD_FAILURE() << "unknown letter '" << letter << "'";
  return 0xFFFF;
}

std::vector<uint8_t> ParseHex(const char* text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < std::strlen(text); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(OpcodeTablesTest, OneByteMapMatchesRunsAndHasExactlyTheElevenPrefixes) {
  int next = 0;
  for (const OPCODE_RUN& run : kOneByteRuns) {
    ASSERT_EQ(run.first, next) << "runs leave a gap or overlap at " << Hex(next);
    ASSERT_LE(run.first, run.last);
    for (int opcode = run.first; opcode <= run.last; ++opcode) {
      EXPECT_EQ(OPCODE_FLAGS[opcode], run.flags) << "OPCODE_FLAGS[" << Hex(opcode) << "]";
    }
    next = run.last + 1;
  }
  EXPECT_EQ(next, 256);

  std::vector<int> prefixes;
  for (int opcode = 0; opcode < 256; ++opcode) {
    if (OPCODE_FLAGS[opcode] == 0) prefixes.push_back(opcode);
  }
  const std::vector<int> expected = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3};
  EXPECT_EQ(prefixes, expected);
}

TEST(OpcodeTablesTest, TwoByteMapMatchesLettersAndHasNoZeroEntry) {
  for (int row = 0; row < 16; ++row) {
    ASSERT_EQ(std::strlen(kTwoByteRows[row]), 16u) << "row " << Hex(row << 4);
    for (int column = 0; column < 16; ++column) {
      const int b = row << 4 | column;
      EXPECT_EQ(OPCODE_FLAGS_0F[b], TwoByteLetter(kTwoByteRows[row][column])) << "OPCODE_FLAGS_0F[" << Hex(b) << "]";
      EXPECT_NE(OPCODE_FLAGS_0F[b], 0) << "OPCODE_FLAGS_0F[" << Hex(b) << "] is zero";
    }
  }
}

TEST(OpcodeTablesTest, PaddingPatternsMatchByteForByte) {
  for (int k = 0; k < kPaddingPatternCount; ++k) {
    const std::vector<uint8_t> expected = ParseHex(kPaddingHex[k]);
    ASSERT_EQ(expected.size(), static_cast<size_t>(k + 2)) << "typed pattern " << k;
    const PADDING_PATTERN& pattern = PADDING_PATTERNS[k];
    ASSERT_EQ(pattern.length, k + 2) << "pattern " << k;
    for (int i = 0; i < k + 2; ++i) {
      EXPECT_EQ(pattern.bytes[i], expected[i]) << "pattern " << k << " byte " << i;
    }
  }
}

}  // namespace
}  // namespace zubreca
