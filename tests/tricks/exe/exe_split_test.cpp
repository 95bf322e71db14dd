// Tests of the executable trick's split into 22 streams and of the merge
// back. Each instruction under test sits between two runs of
// `mov eax, eax` (89 C0), which pass 1 takes as code with an anchor, so
// that the instruction is coded as an instruction and not as data; the
// bytes it adds to each stream are worked out by hand. The merge is also
// run on streams made by hand, on random bytes, and on mutated slices of
// real machine code.
#include "tricks/exe/exe_trick.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using namespace testkit;

using Bytes = std::vector<int>;
using Code = std::vector<uint8_t>;

// `count` times mov eax, eax, and what it writes to stream 1.
Code Movs(int count) {
  Code c;
  for (int i = 0; i < count; ++i) c.insert(c.end(), {0x89, 0xC0});
  return c;
}
Bytes MovCodes(int count) {
  Bytes b;
  for (int i = 0; i < count; ++i) b.insert(b.end(), {47, 0x89, 0xC0});
  return b;
}

template <typename T>
std::vector<T> Join(std::initializer_list<std::vector<T>> parts) {
  std::vector<T> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Streams 1..22 (index 0 unused).
struct STREAMS {
  std::vector<Bytes> s = std::vector<Bytes>(kExeStreamCount + 1);
  bool accepted = false;
};

STREAMS Split(int mode, const Code& input) {
  DATA_BUFFER buffer(static_cast<int>(input.size()), 128);
  buffer.writeBlock(input.data(), static_cast<int>(input.size()));
  buffer.flip();
  const EXE_SPLIT split = SplitAnyExe(mode, buffer);
  STREAMS streams;
  streams.accepted = split.accepted;
  int k = 1;
  for (DATA_BUFFER* b = split.head; b; b = b->next, ++k) {
    if (k <= kExeStreamCount) streams.s[static_cast<size_t>(k)] = Bytes(b->data(), b->data() + b->length);
  }
  EXPECT_EQ(k, kExeStreamCount + 1) << "a chain of 22 streams";
  delete split.head;
  return streams;
}

struct MERGED {
  EXE_MERGE result;
  Code bytes;
};

MERGED Merge(int mode, uint32_t length, const std::vector<Bytes>& streams) {
  DATA_BUFFER* buffers[kExeStreamCount + 1] = {};
  for (int k = 1; k <= kExeStreamCount; ++k) {
    const Bytes& content = streams[static_cast<size_t>(k)];
    buffers[k] = new DATA_BUFFER(static_cast<int>(content.size()), 128);
    for (int b : content) buffers[k]->putByte(b);
    buffers[k]->flip();
  }
  DATA_BUFFER* output = nullptr;
  MERGED merged;
  merged.result = MergeExeStreams(mode, length, buffers, output);
  if (output) merged.bytes.assign(output->data(), output->data() + output->length);
  delete output;
  for (int k = 1; k <= kExeStreamCount; ++k) delete buffers[k];
  return merged;
}

// Hand-made streams: the given ones, all others empty.
std::vector<Bytes> Streams(const std::map<int, Bytes>& given) {
  std::vector<Bytes> s(kExeStreamCount + 1);
  for (const auto& [k, bytes] : given) s[static_cast<size_t>(k)] = bytes;
  return s;
}

// Splits `input` in `mode`, merges the streams back and reports where the
// result differs.
::testing::AssertionResult RoundTrips(int mode, const Code& input) {
  const STREAMS split = Split(mode, input);
  const MERGED merged = Merge(mode, static_cast<uint32_t>(input.size()), split.s);
  if (merged.result != EXE_MERGE::kRestored) {
    return ::testing::AssertionFailure() << "mode " << mode << ", " << input.size() << " bytes: merge result "
                                         << static_cast<int>(merged.result);
  }
  if (merged.bytes.size() != input.size()) {
    return ::testing::AssertionFailure() << "mode " << mode << ": " << merged.bytes.size() << " bytes back for "
                                         << input.size();
  }
  for (size_t i = 0; i < input.size(); ++i) {
    if (merged.bytes[i] != input[i]) {
      return ::testing::AssertionFailure() << "mode " << mode << ", " << input.size() << " bytes: offset " << i
                                           << " is " << int{merged.bytes[i]} << ", not " << int{input[i]};
    }
  }
  return ::testing::AssertionSuccess();
}

// Checks every stream of `split` against `expected`, where streams not
// named are empty.
void ExpectStreams(const STREAMS& split, const std::map<int, Bytes>& expected, const std::string& what) {
  for (int k = 1; k <= kExeStreamCount; ++k) {
    const auto it = expected.find(k);
    EXPECT_EQ(split.s[static_cast<size_t>(k)], it == expected.end() ? Bytes{} : it->second)
        << what << ": stream " << k;
  }
}

// --- One instruction between runs of code -----------------------------------

struct INSTRUCTION_CASE {
  const char* what;
  int mode;
  Code bytes;
  std::map<int, Bytes> streams;  // stream 1: what the instruction adds to it
};

// The long form of a value in stream 20 for the few values below.
const Bytes kLong4660 = {0, 2, 64, 72, 80, 88, 96, 104, 114, 122, 128, 135, 137, 140};      // 0x1234
const Bytes kLong256 = {0, 2, 64, 72, 80, 88, 96, 104, 112, 121, 128, 132, 136, 140};       // 0x100
const Bytes kLong0x401000 = {0, 2, 64, 72, 80, 92, 96, 104, 114, 120, 128, 132, 136, 140};  // bits 22 and 12

TEST(ExeSplit, EachKindOfFieldGoesToItsStream) {
  const INSTRUCTION_CASE cases[] = {
      // Alignment fill.
      {"sixteen nops", 1, Code(16, 0x90), {{1, {47, 144, 159}}}},
      {"seventeen nops", 1, Code(17, 0x90), {{1, {47, 144, 159, 47, 144, 144}}}},
      {"a five-byte pattern at 100, ending at 105", 1, {0x90, 0x8D, 0x74, 0x26, 0x00}, {{1, {47, 144, 0xA9}}}},
      {"the fifteen-byte pattern, ending at 115", 1,
       {0x90, 0x8D, 0xB4, 0x26, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xBC, 0x27, 0x00, 0x00, 0x00, 0x00},
       {{1, {47, 144, 0xA3}}}},
      {"mov esi, esi, ending at 102", 1, {0x8B, 0xF6}, {{1, {47, 144, 0xA6}}}},
      {"pause: a prefix turns padding off", 1, {0xF3, 0x90}, {{1, {47, 0xF3, 47, 0x90}}}},
      // Calls.
      {"call back to -95", 1, {0xE8, 0x38, 0xFF, 0xFF, 0xFF}, {{1, {47, 0xE8, 0xFF, 0xFF, 95, 159, 218, 17}}}},
      {"call [0x403020]", 1, {0xFF, 0x15, 0x20, 0x30, 0x40, 0x00}, {{1, {47, 0xFF, 0x15, 0x00, 0x40, 83, 144, 210, 16}}}},
      {"call [ebp-8]", 1, {0xFF, 0x55, 0xF8}, {{1, {47, 0xFF, 0x55, 0x3E}}}},
      // Branches: 98 is #49, the next instruction behind 100 is #51 (or
      // #51 at 106 behind a six-byte one), 104 is #52.
      {"jmp short back to 98", 1, {0xEB, 0xFC}, {{1, {47, 0xEB}}, {22, {160 - 2}}}},
      {"je short to 104", 1, {0x74, 0x02}, {{1, {47, 55, 0x74}}, {22, {160 + 1}}}},
      {"je near back to 98", 1, {0x0F, 0x84, 0xF8, 0xFF, 0xFF, 0xFF},
       {{1, {47, 55, 0x84}}, {21, {64, 78, 255, 0, 4, 8, 12, 16, 20, 25}}}},
      {"cmove eax, ecx", 1, {0x0F, 0x44, 0xC1}, {{1, {47, 55, 0x44, 0xC1}}}},
      {"imul eax, ecx", 1, {0x0F, 0xAF, 0xC1}, {{1, {47, 15, 0xAF, 0xC1}}}},
      // ModRM, SIB and 8-bit displacements (rotated right by two bits).
      {"mov eax, [esp]", 1, {0x8B, 0x04, 0x24}, {{1, {47, 0x8B, 0x04, 0x24}}}},
      {"mov al, [eax+8]", 1, {0x88, 0x40, 0x08}, {{1, {47, 0x88, 0x40}}, {3, {0x02}}}},
      {"mov eax, [eax+8]", 1, {0x8B, 0x40, 0x08}, {{1, {47, 0x8B, 0x40}}, {4, {0x02}}}},
      {"lea eax, [eax+8]", 1, {0x8D, 0x40, 0x08}, {{1, {47, 0x8D, 0x40}}, {5, {0x02}}}},
      {"mov eax, [eax+ebx+8]", 1, {0x8B, 0x44, 0x18, 0x08}, {{1, {47, 0x8B, 0x44, 0x18}}, {6, {0x02}}}},
      {"mov [ebp-8], al", 1, {0x88, 0x45, 0xF8}, {{1, {47, 0x88, 0x45}}, {7, {0x3E}}}},
      {"mov eax, [ebp-8]", 1, {0x8B, 0x45, 0xF8}, {{1, {47, 0x8B, 0x45}}, {8, {0x3E}}}},
      {"lea eax, [ebp-8]", 1, {0x8D, 0x45, 0xF8}, {{1, {47, 0x8D, 0x45}}, {9, {0x3E}}}},
      {"mov eax, [esp+8]", 1, {0x8B, 0x44, 0x24, 0x08}, {{1, {47, 0x8B, 0x44, 0x24}}, {10, {0x02}}}},
      // 8-bit immediates, stored as 64 - i.
      {"add eax, 8", 1, {0x83, 0xC0, 0x08}, {{1, {47, 0x83, 0xC0, 56}}}},
      {"add cl, 5", 1, {0x80, 0xC1, 0x05}, {{1, {47, 0x80, 0xC1}}, {11, {59}}}},
      {"push 16", 1, {0x6A, 0x10}, {{1, {47, 0x6A, 48}}}},
      {"test al, 1", 1, {0xF6, 0xC0, 0x01}, {{1, {47, 0xF6, 0xC0}}, {11, {63}}}},
      // Wide immediates by class.
      {"add eax, 5", 1, {0x05, 0x05, 0x00, 0x00, 0x00}, {{1, {47, 0x05}}, {12, {196}}}},
      {"test eax, 256", 1, {0xF7, 0xC0, 0x00, 0x01, 0x00, 0x00}, {{1, {47, 0xF7, 0xC0}}, {12, {63}}, {20, kLong256}}},
      {"push 5", 1, {0x68, 0x05, 0x00, 0x00, 0x00}, {{1, {47, 0x68}}, {13, {36}}}},
      {"mov ax, 0x1234", 1, {0x66, 0xB8, 0x34, 0x12}, {{1, {47, 0x66, 47, 0xB8}}, {14, {63}}, {20, kLong4660}}},
      {"mov ax, 0x1234 in 16-bit code", 0, {0xB8, 0x34, 0x12}, {{1, {47, 0xB8}}, {14, {63}}, {20, kLong4660}}},
      // Wide displacements by class.
      {"mov eax, [ebp-16] with a 32-bit field", 1, {0x8B, 0x85, 0xF0, 0xFF, 0xFF, 0xFF},
       {{1, {47, 0x8B, 0x85}}, {15, {15}}}},
      {"mov [eax+256], al", 1, {0x88, 0x80, 0x00, 0x01, 0x00, 0x00}, {{1, {47, 0x88, 0x80}}, {16, {63}}, {20, kLong256}}},
      {"mov eax, [eax+256]", 1, {0x8B, 0x80, 0x00, 0x01, 0x00, 0x00}, {{1, {47, 0x8B, 0x80}}, {17, {63}}, {20, kLong256}}},
      {"mov eax, [0x401000]", 1, {0x8B, 0x05, 0x00, 0x10, 0x40, 0x00},
       {{1, {47, 0x8B, 0x05}}, {18, {63}}, {20, kLong0x401000}}},
      {"mov eax, [0x401000] through a SIB", 1, {0x8B, 0x04, 0x25, 0x00, 0x10, 0x40, 0x00},
       {{1, {47, 0x8B, 0x04, 0x25}}, {19, {63}}, {20, kLong0x401000}}},
      {"mov ax, [di] in 16-bit code", 0, {0x8B, 0x05}, {{1, {47, 0x8B, 0x05}}}},
      {"mov ax, [0x1234] in 16-bit code", 0, {0x8B, 0x06, 0x34, 0x12},
       {{1, {47, 0x8B, 0x06}}, {18, {63}}, {20, kLong4660}}},
  };
  for (const INSTRUCTION_CASE& c : cases) {
    const Code input = Join<uint8_t>({Movs(50), c.bytes, Movs(50)});
    std::map<int, Bytes> expected = c.streams;
    expected[1] = Join<int>({MovCodes(50), expected[1], MovCodes(50)});
    ExpectStreams(Split(c.mode, input), expected, c.what);
    EXPECT_TRUE(RoundTrips(c.mode, input)) << c.what;
  }
}

TEST(ExeSplit, SixteenInt3AtOffset0x20AreOneRunAndASeventeenthStartsAnother) {
  const Code sixteen = Join<uint8_t>({Movs(16), Code(16, 0xCC), Movs(50)});
  ExpectStreams(Split(kExe32, sixteen), {{1, Join<int>({MovCodes(16), {47, 144, 0xB0}, MovCodes(50)})}}, "sixteen");
  EXPECT_TRUE(RoundTrips(kExe32, sixteen));
  const Code seventeen = Join<uint8_t>({Movs(16), Code(17, 0xCC), Movs(50)});
  ExpectStreams(Split(kExe32, seventeen),
                {{1, Join<int>({MovCodes(16), {47, 144, 0xB0, 47, 144, 0xB1}, MovCodes(50)})}}, "seventeen");
  EXPECT_TRUE(RoundTrips(kExe32, seventeen));
}

TEST(ExeSplit, ACallAt0x1000WritesItsAbsoluteTarget) {
  // call +0x10 at 0x1000: the field ends at 0x1005, the target is 0x1015.
  const Code input = Join<uint8_t>({Movs(2048), {0xE8, 0x10, 0x00, 0x00, 0x00}, Movs(50)});
  const STREAMS split = Split(kExe32, input);
  ExpectStreams(split, {{1, Join<int>({MovCodes(2048), {47, 0xE8, 0x00, 0x00, 81, 144, 209, 21}, MovCodes(50)})}},
                "call");
  EXPECT_TRUE(RoundTrips(kExe32, input));
}

TEST(ExeSplit, ARegionOpcodeAtAnInstructionStartIsAOneByteDataRegion) {
  // In 32-bit code daa is implausible, so pass 1 puts it in a region of
  // its own between two stretches of code.
  const Code daa = Join<uint8_t>({Movs(50), {0x27}, Movs(50)});
  ExpectStreams(Split(kExe32, daa), {{1, Join<int>({MovCodes(50), {47, 39}, MovCodes(50)})}, {2, {1, 0x27}}}, "daa");
  EXPECT_TRUE(RoundTrips(kExe32, daa));

  // In 16-bit code 8D 74 26 is an instruction of three bytes and 00 27 one
  // of two, so pass 1 finds nothing implausible; pass 2 takes the four
  // bytes 8D 74 26 00 as a padding pattern (ending at 104) and meets the
  // 0x27 at an instruction start, which must not follow a separator as an
  // opcode.
  const Code shifted = Join<uint8_t>({Movs(50), {0x8D, 0x74, 0x26, 0x00, 0x27}, Movs(50)});
  ExpectStreams(Split(kExe16, shifted),
                {{1, Join<int>({MovCodes(50), {47, 144, 0xA8, 47, 39}, MovCodes(50)})}, {2, {1, 0x27}}}, "shifted");
  EXPECT_TRUE(RoundTrips(kExe16, shifted));
}

TEST(ExeSplit, InputWithoutCodeIsOneDataRegion) {
  const Code daa(300, 0x27);
  ExpectStreams(Split(kExe32, daa), {{1, {47, 39}}, {2, Join<int>({{255, 45}, Bytes(300, 0x27)})}}, "300 bytes");
  EXPECT_TRUE(RoundTrips(kExe32, daa));
  // Code too short to end a region is data too.
  const Code short40 = Movs(40);
  ExpectStreams(Split(kExe32, short40), {{1, {47, 39}}, {2, Join<int>({{80}, Bytes(short40.begin(), short40.end())})}},
                "80 bytes");
  ExpectStreams(Split(kExe32, {}), {}, "nothing");
  EXPECT_TRUE(RoundTrips(kExe32, {}));
}

TEST(ExeSplit, AFileEndingInAPrefixRepeatsThePrefixAsItsOpcode) {
  const Code input = Join<uint8_t>({Movs(50), {0x66}});
  ExpectStreams(Split(kExe32, input), {{1, Join<int>({MovCodes(50), {47, 0x66, 47, 0x66}})}}, "prefix");
  EXPECT_TRUE(RoundTrips(kExe32, input));
  EXPECT_TRUE(RoundTrips(kExe32, Join<uint8_t>({Movs(50), {0xF3, 0x66}})));
  EXPECT_TRUE(RoundTrips(kExe16, Join<uint8_t>({Movs(50), {0x0F}})));
  EXPECT_TRUE(RoundTrips(kExe32, Join<uint8_t>({Movs(50), {0x8B, 0x85, 0x01}})));  // a field cut off
}

// --- Data regions found by pass 1 ---------------------------------------------

// `count` times mov eax, eax written as 8B C0: code, but no anchor in
// 32-bit code (the ModRM's low bits are not 5).
Code PlainMovs(int count) {
  Code c;
  for (int i = 0; i < count; ++i) c.insert(c.end(), {0x8B, 0xC0});
  return c;
}

bool IsCode(int mode, const Code& input) {
  DATA_BUFFER buffer(static_cast<int>(input.size()), 128);
  buffer.writeBlock(input.data(), static_cast<int>(input.size()));
  buffer.flip();
  const EXE_SPLIT split = SplitExe(mode, buffer);
  delete split.head;
  return split.head != nullptr;
}

TEST(ExeSplit, ALoneImplausibleByteBetweenLongRunsOfCodeIsCodedAsAnInstruction) {
  // hlt at 100 becomes a region of one byte when the 100 bytes before it
  // are closed as code; the 100 bytes behind it close it in turn, and
  // since it is that short, its node is reused for the end.
  const Code input = Join<uint8_t>({Movs(50), {0xF4}, Movs(50)});
  ExpectStreams(Split(kExe32, input), {{1, Join<int>({MovCodes(50), {47, 0xF4}, MovCodes(50)})}}, "hlt");
  EXPECT_TRUE(IsCode(kExe32, input));
  EXPECT_TRUE(RoundTrips(kExe32, input));
  // Two bytes are still dropped, three are kept.
  const Code two = Join<uint8_t>({Movs(50), {0xF4, 0xF4}, Movs(50)});
  ExpectStreams(Split(kExe32, two), {{1, Join<int>({MovCodes(50), {47, 0xF4, 47, 0xF4}, MovCodes(50)})}}, "two hlt");
  const Code three = Join<uint8_t>({Movs(50), {0xF4, 0xF4, 0xF4}, Movs(50)});
  ExpectStreams(Split(kExe32, three),
                {{1, Join<int>({MovCodes(50), {47, 39}, MovCodes(50)})}, {2, {3, 0xF4, 0xF4, 0xF4}}}, "three hlt");
  EXPECT_TRUE(RoundTrips(kExe32, two));
  EXPECT_TRUE(RoundTrips(kExe32, three));
}

TEST(ExeSplit, ImplausibleBytesCloserThanTheGapShareOneRegion) {
  // 40 bytes of code between two hlt: fewer than 90 in 32-bit code, so
  // one region 100..141; in 16-bit code the gap is 8 and each hlt is
  // coded as an instruction.
  const Code input = Join<uint8_t>({Movs(50), {0xF4}, Movs(20), {0xF4}, Movs(50)});
  Bytes region = {42, 0xF4};
  for (int i = 0; i < 20; ++i) region.insert(region.end(), {0x89, 0xC0});
  region.push_back(0xF4);
  ExpectStreams(Split(kExe32, input), {{1, Join<int>({MovCodes(50), {47, 39}, MovCodes(50)})}, {2, region}},
                "40 bytes apart");
  ExpectStreams(Split(kExe16, input), {{1, Join<int>({MovCodes(50), {47, 0xF4}, MovCodes(20), {47, 0xF4}, MovCodes(50)})}},
                "40 bytes apart, 16-bit");
  EXPECT_TRUE(RoundTrips(kExe32, input));
  EXPECT_TRUE(RoundTrips(kExe16, input));
}

TEST(ExeSplit, TheGapIsNinetyBytesOfCodeIn32BitCodeAndNineIn16BitCode) {
  // Two hlt with `between` bytes of code between them: one region of
  // both, or two regions of one byte each, which are then reused.
  struct CASE {
    int mode;
    Code between;
    bool oneRegion;
  };
  const CASE cases[] = {
      {kExe32, Join<uint8_t>({Movs(44), {0x50}}), true},  // 89 bytes
      {kExe32, Movs(45), false},                          // 90 bytes
      {kExe16, Movs(4), true},                            // 8 bytes
      {kExe16, Join<uint8_t>({Movs(4), {0x50}}), false},  // 9 bytes
  };
  for (const CASE& c : cases) {
    const Code input = Join<uint8_t>({Movs(50), {0xF4}, c.between, {0xF4}, Movs(50)});
    const STREAMS split = Split(c.mode, input);
    if (c.oneRegion) {
      Bytes region = {static_cast<int>(c.between.size()) + 2, 0xF4};
      region.insert(region.end(), c.between.begin(), c.between.end());
      region.push_back(0xF4);
      EXPECT_EQ(split.s[2], region) << c.between.size() << " bytes between";
    } else {
      EXPECT_TRUE(split.s[2].empty()) << c.between.size() << " bytes between";
    }
    EXPECT_TRUE(RoundTrips(c.mode, input));
  }
}

TEST(ExeSplit, CodeWithoutAnAnchorDoesNotEndARegion) {
  // 100 bytes of 8B C0 between two hlt hold no anchor: one region from
  // the first hlt to the second.
  const Code input = Join<uint8_t>({Movs(50), {0xF4}, PlainMovs(50), {0xF4}, Movs(50)});
  Bytes region = {102, 0xF4};
  for (int i = 0; i < 50; ++i) region.insert(region.end(), {0x8B, 0xC0});
  region.push_back(0xF4);
  ExpectStreams(Split(kExe32, input), {{1, Join<int>({MovCodes(50), {47, 39}, MovCodes(50)})}, {2, region}}, "no anchor");
  EXPECT_TRUE(RoundTrips(kExe32, input));
}

TEST(ExeSplit, ACallIsAnAnchorOnlyWhenItsTargetLiesWithinTwiceTheLength) {
  // A call at 0, then 8B C0 up to a hlt at 101, then 8B C0 and one 89 C0
  // up to 200. A call to 5 makes the first 101 bytes code; a call to -5
  // does not, and they join the hlt's region.
  Bytes tail;
  for (int i = 0; i < 48; ++i) tail.insert(tail.end(), {47, 0x8B, 0xC0});
  tail.insert(tail.end(), {47, 0x89, 0xC0});
  const Code near = Join<uint8_t>({{0xE8, 0x00, 0x00, 0x00, 0x00}, PlainMovs(48), {0xF4}, PlainMovs(48), Movs(1)});
  ASSERT_EQ(near.size(), 200u);
  ExpectStreams(Split(kExe32, near),
                {{1, Join<int>({{47, 0xE8, 0x00, 0x00, 80, 144, 208, 21}, Bytes(tail.begin(), tail.end() - 3),
                                {47, 0xF4}, tail})}},
                "call to 5");
  const Code below = Join<uint8_t>({{0xE8, 0xF6, 0xFF, 0xFF, 0xFF}, PlainMovs(48), {0xF4}, PlainMovs(48), Movs(1)});
  Bytes region = {102};
  region.insert(region.end(), below.begin(), below.begin() + 102);
  ExpectStreams(Split(kExe32, below), {{1, Join<int>({{47, 39}, tail})}, {2, region}}, "call to -5");
  EXPECT_TRUE(RoundTrips(kExe32, near));
  EXPECT_TRUE(RoundTrips(kExe32, below));
}

TEST(ExeSplit, AnAnchorCanStartInsideAnInstruction) {
  // push 0x00018DE8 at 0 holds an E8 at 1 whose four bytes behind it,
  // 8D 01 00 00, point 1 + 5 + 397 = 403 bytes on: below 2 * 202 in a file
  // of 202 bytes, so the first 101 bytes are code with an anchor. One
  // more, 404, is not below, and nothing else in them is an anchor.
  for (const uint8_t low : {0x8D, 0x8E}) {
    const Code input =
        Join<uint8_t>({{0x68, 0xE8, low, 0x01, 0x00}, {0x00, 0xC0}, PlainMovs(47), {0xF4}, PlainMovs(49), Movs(1)});
    ASSERT_EQ(input.size(), 202u);
    const STREAMS split = Split(kExe32, input);
    if (low == 0x8D) {
      EXPECT_TRUE(split.s[2].empty());
    } else {
      Bytes region = {102};
      region.insert(region.end(), input.begin(), input.begin() + 102);
      EXPECT_EQ(split.s[2], region);
    }
    EXPECT_TRUE(RoundTrips(kExe32, input));
  }
}

TEST(ExeSplit, BehindAReturnTheRegionStartsAtTheReturnAndEndsAtAFunctionStart) {
  // ret at 100, hlt at 101: the region starts behind the ret and code
  // resumes at the first push (0x55) or sub esp (83 EC) within 45 bytes.
  for (const Code& start : {Code{0x55}, Code{0x83, 0xEC, 0x10}}) {
    const Code input = Join<uint8_t>({Movs(50), {0xC3, 0xF4}, PlainMovs(3), start, Movs(50)});
    const Bytes startCodes = start.size() == 1 ? Bytes{47, 0x55} : Bytes{47, 0x83, 0xEC, 64 - 0x10};
    ExpectStreams(Split(kExe32, input),
                  {{1, Join<int>({MovCodes(50), {47, 0xC3, 47, 39}, startCodes, MovCodes(50)})},
                   {2, {7, 0xF4, 0x8B, 0xC0, 0x8B, 0xC0, 0x8B, 0xC0}}},
                  "function start");
    EXPECT_TRUE(RoundTrips(kExe32, input));
  }
}

TEST(ExeSplit, AnEmptyFirstRegionStaysWhenTheSecondByteIsTheRegionOpcode) {
  // 89 27 is mov [edi], esp. When the code before the first region is
  // closed, the list's first node is still empty at offset 0; as byte 1
  // is 0x27 it is not reused but kept as a region of no bytes.
  const Code input = Join<uint8_t>({{0x89, 0x27}, Movs(50), {0xF4}, Movs(50)});
  ExpectStreams(Split(kExe32, input),
                {{1, Join<int>({{47, 39, 47, 0x89, 0x27}, MovCodes(50), {47, 0xF4}, MovCodes(50)})}, {2, {0}}},
                "empty region");
  EXPECT_TRUE(RoundTrips(kExe32, input));
}

TEST(ExeSplit, InputIsCodeWithMoreThan1024BytesOfItAndAQuarterOfTheFile) {
  // Code on both sides of ten hlt: 512 + 512 bytes are not enough, 512 + 513 are.
  EXPECT_FALSE(IsCode(kExe32, Join<uint8_t>({Movs(256), Code(10, 0xF4), Movs(256)})));
  EXPECT_TRUE(IsCode(kExe32, Join<uint8_t>({Movs(256), Code(10, 0xF4), Movs(256), {0x50}})));
  // 1200 bytes of code need more than a quarter of the file: below 3600
  // bytes of hlt.
  EXPECT_TRUE(IsCode(kExe32, Join<uint8_t>({Movs(300), Code(3599, 0xF4), Movs(300)})));
  EXPECT_FALSE(IsCode(kExe32, Join<uint8_t>({Movs(300), Code(3600, 0xF4), Movs(300)})));
  // Without any region, the input is code whatever its length.
  EXPECT_TRUE(IsCode(kExe32, Movs(50)));
  EXPECT_FALSE(IsCode(kExe32, Movs(40)));
  EXPECT_FALSE(IsCode(kExe32, Code(300, 0x27)));
}

// --- Decoding hand-made streams -----------------------------------------------

TEST(ExeSplit, PaddingCodesRestoreTheirPatternsAndRuns) {
  // Two runs of sixteen nops put the cursor at 0x20; 0xA5 there is the
  // pattern (0xA5 - 0x20 - 2) & 15 = 3.
  MERGED m = Merge(kExe32, 37, Streams({{1, {47, 144, 159, 47, 144, 159, 47, 144, 0xA5}}}));
  EXPECT_EQ(m.result, EXE_MERGE::kRestored);
  EXPECT_EQ(m.bytes, Join<uint8_t>({Code(32, 0x90), {0x90, 0x8D, 0x74, 0x26, 0x00}}));

  // 0xB4 at 0x1F: int3 up to 0x24, the first offset with low bits 4.
  m = Merge(kExe32, 36, Streams({{1, {47, 144, 159, 47, 144, 158, 47, 144, 0xB4}}}));
  EXPECT_EQ(m.result, EXE_MERGE::kRestored);
  EXPECT_EQ(m.bytes, Join<uint8_t>({Code(31, 0x90), Code(5, 0xCC)}));

  // 0xBF at 0x0F: at least one int3, so sixteen up to 0x1F.
  m = Merge(kExe32, 31, Streams({{1, {47, 144, 158, 47, 144, 0xBF}}}));
  EXPECT_EQ(m.result, EXE_MERGE::kRestored);
  EXPECT_EQ(m.bytes, Join<uint8_t>({Code(15, 0x90), Code(16, 0xCC)}));

  // One nop is the code 144 alone.
  m = Merge(kExe16, 2, Streams({{1, {47, 144, 144, 47, 144, 144}}}));
  EXPECT_EQ(m.result, EXE_MERGE::kRestored);
  EXPECT_EQ(m.bytes, Code(2, 0x90));
}

TEST(ExeSplit, ADataRegionOf300BytesIsCountedAs255And45) {
  Bytes data = {255, 45};
  Code expected;
  for (int i = 0; i < 300; ++i) {
    data.push_back((i * 7) & 0xFF);
    expected.push_back(static_cast<uint8_t>((i * 7) & 0xFF));
  }
  const MERGED m = Merge(kExe32, 300, Streams({{1, {47, 39}}, {2, data}}));
  EXPECT_EQ(m.result, EXE_MERGE::kRestored);
  EXPECT_EQ(m.bytes, expected);
}

TEST(ExeSplit, AWrongMarkerPutsTheMergeOutOfStep) {
  // Stream 1 must begin with the separator.
  EXPECT_EQ(Merge(kExe32, 1, Streams({{1, {48, 39}}, {2, {1, 0x27}}})).result, EXE_MERGE::kOutOfStep);
  EXPECT_EQ(Merge(kExe32, 1, Streams({{1, {0x90, 47, 144, 144}}})).result, EXE_MERGE::kOutOfStep);
  // A separator follows every prefix.
  EXPECT_EQ(Merge(kExe32, 2, Streams({{1, {47, 0x66, 46, 0x90}}})).result, EXE_MERGE::kOutOfStep);
  EXPECT_EQ(Merge(kExe32, 2, Streams({{1, {47, 0x66, 47, 0x90}}})).result, EXE_MERGE::kRestored);
  // A far branch code begins with 64.
  EXPECT_EQ(Merge(kExe32, 5, Streams({{1, {47, 0xE9}}, {21, {63, 65}}})).result, EXE_MERGE::kOutOfStep);
  EXPECT_EQ(Merge(kExe32, 5, Streams({{1, {47, 0xE9}}, {21, {64, 65}}})).result, EXE_MERGE::kRestored);
  // A long value begins with 0.
  const Bytes longForm = {0, 2, 64, 72, 80, 88, 96, 104, 114, 122, 128, 135, 137, 140};
  EXPECT_EQ(Merge(kExe32, 5, Streams({{1, {47, 0x05}}, {12, {63}}, {20, longForm}})).result, EXE_MERGE::kRestored);
  Bytes wrong = longForm;
  wrong[0] = 1;
  EXPECT_EQ(Merge(kExe32, 5, Streams({{1, {47, 0x05}}, {12, {63}}, {20, wrong}})).result, EXE_MERGE::kOutOfStep);
}

// --- Round trips ---------------------------------------------------------------

TEST(ExeSplit, RandomBytesRoundTripInBothModes) {
  std::mt19937 random(20240);
  std::vector<size_t> lengths = {0, 1, 2, 3, 4, 5, 7, 15, 16, 17, 100, 1000, 4095, 4096, 5000};
  for (int i = 0; i < (kUnderSanitizer ? 10 : 60); ++i) lengths.push_back(random() % 5001);
  for (size_t length : lengths) {
    Code input(length);
    for (uint8_t& b : input) b = static_cast<uint8_t>(random());
    for (int mode : {kExe16, kExe32}) {
      ASSERT_TRUE(RoundTrips(mode, input));
    }
  }
}

// Bytes biased towards the ones that make instructions, fill and regions.
TEST(ExeSplit, InstructionLikeRandomBytesRoundTripInBothModes) {
  const uint8_t common[] = {0x00, 0x0F, 0x27, 0x66, 0x67, 0x89, 0x8B, 0x8D, 0x90, 0xCC, 0xE8, 0xE9,
                            0xEB, 0x74, 0xFF, 0x24, 0x26, 0x74, 0xB4, 0xBC, 0xF6, 0xC3, 0x05, 0x45};
  std::mt19937 random(77);
  for (int n = 0; n < (kUnderSanitizer ? 30 : 200); ++n) {
    Code input(random() % 3000);
    for (uint8_t& b : input) b = random() % 3 ? common[random() % sizeof common] : static_cast<uint8_t>(random());
    for (int mode : {kExe16, kExe32}) ASSERT_TRUE(RoundTrips(mode, input)) << "case " << n;
  }
}

TEST(ExeSplit, MutatedSlicesOfRealCodeRoundTripInBothModes) {
  const std::string path = CorpusRoot() + "/x86/libc.so.6";
  if (!FileExists(path)) GTEST_SKIP() << "no x86 corpus";
  const std::string file = CorpusFile("x86/libc.so.6");
  std::mt19937 random(6);
  const int cases = kUnderSanitizer ? 40 : 300;
  for (int n = 0; n < cases; ++n) {
    // Every tenth slice is long enough to wrap the branch model's maps.
    const size_t length = 1 + random() % (n % 10 == 0 ? 70000 : 6000);
    const size_t at = random() % (file.size() - length);
    Code input(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + length));
    const int edits = static_cast<int>(random() % 12);
    for (int e = 0; e < edits && !input.empty(); ++e) {
      const size_t where = random() % input.size();
      switch (random() % 3) {
        case 0:
          input[where] ^= static_cast<uint8_t>(1 + random() % 255);
          break;
        case 1:
          input.insert(input.begin() + static_cast<long>(where), static_cast<uint8_t>(random()));
          break;
        default:
          input.erase(input.begin() + static_cast<long>(where));
      }
    }
    for (int mode : {kExe16, kExe32}) {
      ASSERT_TRUE(RoundTrips(mode, input)) << "slice " << n << " at " << at << ", " << edits << " edits";
    }
  }
}

TEST(ExeSplit, LongSlicesOfRealCodeAreAcceptedAndRoundTrip) {
  const std::string path = CorpusRoot() + "/x86/libc.so.6";
  if (!FileExists(path)) GTEST_SKIP() << "no x86 corpus";
  const std::string file = CorpusFile("x86/libc.so.6");
  // The middle of the C library is machine code.
  const size_t length = kUnderSanitizer ? 100000 : 400000;
  const Code input(file.begin() + static_cast<long>(file.size() / 4),
                   file.begin() + static_cast<long>(file.size() / 4 + length));
  EXPECT_TRUE(Split(kExe32, input).accepted);
  EXPECT_TRUE(RoundTrips(kExe32, input));
  EXPECT_TRUE(RoundTrips(kExe16, input));
}

}  // namespace
}  // namespace zubreca
