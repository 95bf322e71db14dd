// Tests of the branch target model on made-up programs: instruction starts
// and branch fields as the encoder and the decoder register them. The
// codes in streams 21 and 22 are worked out by hand from the numbering of
// the starts; every program is then decoded and its holes must be filled
// with the displacements the encoder was given.
#include "tricks/exe/branch_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "buffers/data_buffer.h"

namespace zubreca {
namespace {

using Bytes = std::vector<int>;

// One instruction: where it starts and, for a branch, its field, which
// ends the instruction.
struct INSTRUCTION {
  int32_t offset;
  int32_t length;
  int kind = -1;  // -1: no branch; 0: an 8-bit field; 1: a 16/32-bit field
  int width = 0;  // bytes in the field
  int32_t displacement = 0;
};

struct PROGRAM {
  std::vector<INSTRUCTION> code;
  int32_t next = 0;  // offset of the next instruction

  PROGRAM& plain(int count = 1, int32_t length = 2) {
    for (int i = 0; i < count; ++i) {
      code.push_back({next, length});
      next += length;
    }
    return *this;
  }
  // A short branch (opcode and 8-bit field) to `target`.
  PROGRAM& jumpShort(int32_t target, int32_t length = 2) {
    const int32_t d = target - (next + length);
    EXPECT_TRUE(d >= -128 && d <= 127) << "short branch at " << next << " cannot reach " << target;
    code.push_back({next, length, 0, 1, d});
    next += length;
    return *this;
  }
  // A far branch whose `width`-byte field ends the instruction.
  PROGRAM& jumpFar(int32_t target, int32_t length = 5, int width = 4) {
    code.push_back({next, length, 1, width, static_cast<int32_t>(static_cast<uint32_t>(target) - static_cast<uint32_t>(next + length))});
    next += length;
    return *this;
  }
};

struct CODED {
  std::vector<uint8_t> far, shorts;
  int32_t hits = 0, misses = 0;
  bool accepted = false;
  Bytes farCodes() const { return Bytes(far.begin(), far.end()); }
  Bytes shortCodes() const { return Bytes(shorts.begin(), shorts.end()); }
};

CODED Encode(const PROGRAM& program) {
  DATA_BUFFER far(16, 4), shorts(16, 12);
  auto model = std::make_unique<BRANCH_MODEL>(&far, &shorts);
  for (const INSTRUCTION& i : program.code) {
    model->registerStart(i.offset);
    if (i.kind >= 0) model->addPending(i.kind, i.displacement, i.offset + i.length);
  }
  model->flush();
  CODED coded;
  coded.far.assign(far.data(), far.cursor);
  coded.shorts.assign(shorts.data(), shorts.cursor);
  coded.hits = model->hitCount();
  coded.misses = model->missCount();
  coded.accepted = model->accepted();
  return coded;
}

// Decodes `coded` along the same starts and checks every branch field and
// that both streams were read exactly to their ends.
void ExpectDecodes(const PROGRAM& program, const CODED& coded) {
  std::vector<uint8_t> output(static_cast<size_t>(program.next) + 8, 0xEE);
  STREAM_READER far{coded.far.data(), coded.far.data() + coded.far.size()};
  STREAM_READER shorts{coded.shorts.data(), coded.shorts.data() + coded.shorts.size()};
  auto model = std::make_unique<BRANCH_MODEL>(&far, &shorts, output.data());
  for (const INSTRUCTION& i : program.code) {
    model->registerStart(i.offset);
    const int32_t field = i.offset + i.length - i.width;
    if (i.kind >= 0) model->addPending(i.kind, field, i.offset + i.length, i.width);
  }
  model->flush();
  EXPECT_FALSE(far.damaged || far.outOfStep || shorts.damaged || shorts.outOfStep);
  EXPECT_EQ(far.cursor, far.end) << "stream 21 not read to its end";
  EXPECT_EQ(shorts.cursor, shorts.end) << "stream 22 not read to its end";
  int wrong = 0;
  for (const INSTRUCTION& i : program.code) {
    if (i.kind < 0) continue;
    const int32_t field = i.offset + i.length - i.width;
    for (int b = 0; b < i.width; ++b) {
      const uint8_t expected = static_cast<uint8_t>(static_cast<uint32_t>(i.displacement) >> (8 * b));
      if (output[static_cast<size_t>(field + b)] != expected && ++wrong <= 5) {
        ADD_FAILURE() << "branch at " << i.offset << " (kind " << i.kind << ", displacement " << i.displacement
                      << "): byte " << b << " is " << int{output[static_cast<size_t>(field + b)]} << ", not "
                      << int{expected};
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

Bytes Repeat(int byte, int count) { return Bytes(static_cast<size_t>(count), byte); }

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// --- Acceptance --------------------------------------------------------------

// `hits` short branches, each to the instruction just before it: a new
// target each time, two instructions back (code 158). With `misses` 1 or
// 2 the program then jumps to itself (distance -1) and to its next
// instruction (distance 0), which are escaped.
PROGRAM HitsAndMisses(int hits, int misses) {
  PROGRAM p;
  p.plain(2);  // the first target is offset 2, not 0, the last target the model starts with
  for (int i = 0; i < hits; ++i) p.jumpShort(p.next - 2);
  if (misses >= 1) p.jumpShort(p.next);
  if (misses >= 2) p.jumpShort(p.next + 2);
  p.plain();
  return p;
}

TEST(BranchModel, AcceptedNeedsMoreThanSeventyFiveHitsAndFiveMorePerMiss) {
  struct CASE {
    int hits, misses;
    bool accepted;
  };
  for (const CASE& c : {CASE{76, 0, true}, CASE{75, 0, false}, CASE{86, 2, true}, CASE{85, 2, false},
                        CASE{81, 1, true}, CASE{80, 1, false}}) {
    const PROGRAM p = HitsAndMisses(c.hits, c.misses);
    const CODED coded = Encode(p);
    EXPECT_EQ(coded.hits, c.hits);
    EXPECT_EQ(coded.misses, c.misses);
    EXPECT_EQ(coded.accepted, c.accepted) << c.hits << " hits, " << c.misses << " misses";
    Bytes expected = Repeat(158, c.hits);
    if (c.misses >= 1) expected.insert(expected.end(), {32, 158});  // to itself: -2
    if (c.misses >= 2) expected.insert(expected.end(), {32, 160});  // to the next one: 0
    EXPECT_EQ(coded.shortCodes(), expected);
    EXPECT_TRUE(coded.far.empty());
    ExpectDecodes(p, coded);
  }
}

// --- Short branches ----------------------------------------------------------

TEST(BranchModel, ShortJumpsToThemselvesAndToTheNextInstructionAreEscaped) {
  PROGRAM p;
  p.plain();            // #0 at 0
  p.jumpShort(2);       // #1 at 2: EB FE, distance -1
  p.jumpShort(6);       // #2 at 4: EB 00, distance 0
  p.plain();            // #3 at 6
  const CODED coded = Encode(p);
  EXPECT_EQ(coded.shortCodes(), (Bytes{32, 158, 32, 160}));
  EXPECT_EQ(coded.hits, 0);
  EXPECT_EQ(coded.misses, 2);
  ExpectDecodes(p, coded);
}

TEST(BranchModel, AHundredShortBranchesToOneTargetAreCodedAsTheLastTargetAfterTheFirst) {
  // Two-byte instructions throughout, so instruction n starts at 2n. The
  // branches fill 100..298 and all go to 200 (#100); the first one's
  // next instruction is #51, so its distance is 49.
  PROGRAM p;
  p.plain(50);
  for (int i = 0; i < 100; ++i) p.jumpShort(200);
  p.plain();
  const CODED coded = Encode(p);
  EXPECT_EQ(coded.shortCodes(), Join({{160 + 49}, Repeat(160, 99)}));
  EXPECT_EQ(coded.hits, 1);
  EXPECT_EQ(coded.misses, 0);
  ExpectDecodes(p, coded);
}

TEST(BranchModel, TwoAlternatingTargetsSwapThePairEveryTime) {
  // Branches at 100..178 go to 90 (#45) and 200 (#100) in turn.
  PROGRAM p;
  p.plain(50);
  for (int i = 0; i < 40; ++i) p.jumpShort(i % 2 ? 200 : 90);
  p.plain(61);
  const CODED coded = Encode(p);
  // #45 - #51 = -6 and #100 - #52 = 48, then the other one of the pair.
  EXPECT_EQ(coded.shortCodes(), Join({{160 - 6, 160 + 48}, Repeat(159, 38)}));
  EXPECT_EQ(coded.hits, 2);
  ExpectDecodes(p, coded);
}

TEST(BranchModel, TheModelStartsWithZeroAsEveryTarget) {
  // The last target and all recent far targets start as offset 0.
  PROGRAM p;
  p.plain(10);
  p.jumpShort(0);  // at 20
  p.plain(40);
  p.jumpFar(0);  // at 102
  p.plain();
  const CODED coded = Encode(p);
  EXPECT_EQ(coded.shortCodes(), (Bytes{160}));
  EXPECT_EQ(coded.farCodes(), (Bytes{64, 65}));
  EXPECT_EQ(coded.hits + coded.misses, 0);
  ExpectDecodes(p, coded);
}

TEST(BranchModel, ADistanceOfMinus128IsEscapedSinceItsCodeWouldBeTheEscape) {
  // A data region makes every byte a start. When the code ends with a
  // two-byte branch 128 bytes behind its target, flush counts the
  // branch's second byte as a start too: 126 region bytes, the branch and
  // that byte are 128 starts between the target and the branch's next
  // instruction. The code 160 - 128 would be 32, the escape itself.
  PROGRAM p;
  p.plain(2);
  p.plain(126, 1);  // #2..#127 at 4..129
  p.jumpShort(4);   // #128 at 130, d = -128; flush adds 131 (#129) and 132 (#130)
  const CODED coded = Encode(p);
  EXPECT_EQ(coded.shortCodes(), (Bytes{32, 32}));
  ExpectDecodes(p, coded);
}

TEST(BranchModel, ShortBranchesMoreThanHundredBytesBackJoinTheRecentFarTargets) {
  for (const int d : {-112, -100}) {
    // Two-byte instructions at 0..198 but for the far branch at 200.
    PROGRAM p;
    p.plain(75);
    p.jumpShort(152 + d);  // at 150
    p.plain(24);
    p.jumpFar(152 + d);  // at 200
    p.plain();
    const CODED coded = Encode(p);
    ASSERT_GE(coded.far.size(), 2u);
    if (d == -112) {
      EXPECT_EQ(coded.farCodes(), (Bytes{64, 65}));  // found in slot 0
      EXPECT_EQ(coded.shortCodes(), (Bytes{160 - 56}));  // #20 - #76
    } else {
      EXPECT_EQ(coded.far[1], 78) << "a branch 100 bytes back does not join the far targets";
    }
    ExpectDecodes(p, coded);
  }
}

// --- Far branches ------------------------------------------------------------

TEST(BranchModel, AFarBranchToThePreviousFarTargetIsSlotZero) {
  PROGRAM p;
  p.plain(50);
  p.jumpFar(60);  // #50 at 100; 60 is #30, the next instruction #51
  p.jumpFar(60);  // #51 at 105
  p.plain();      // #52 at 110
  const CODED coded = Encode(p);
  // Distance -21: sign 255 and the complement 20 = 01 01 00 in its lowest
  // three 2-bit digits.
  EXPECT_EQ(coded.farCodes(), (Bytes{64, 78, 255, 0, 4, 8, 12, 17, 21, 24, 64, 65}));
  EXPECT_EQ(coded.hits, 1);
  EXPECT_TRUE(coded.shorts.empty());
  ExpectDecodes(p, coded);
}

TEST(BranchModel, AFarTargetPastTheEndIsCountedThroughThePretendedStartsOfFlush) {
  // The code ends with the branch at 100 (#50); flush registers 101, 102,
  // ... as #51, #52, ..., so 105 is #55 and 1105 is #1055: distance 1000
  // = 00 00 11 11 10 10 00.
  PROGRAM p;
  p.plain(50);
  p.jumpFar(1105);
  CODED coded = Encode(p);
  EXPECT_EQ(coded.farCodes(), (Bytes{64, 78, 254, 0, 4, 11, 15, 18, 22, 24}));
  EXPECT_EQ(coded.hits, 1);
  EXPECT_EQ(coded.misses, 0);
  ExpectDecodes(p, coded);

  // Beyond 105 + 8191 flush stops before the target: 9105 = 0x2391 goes
  // as an offset, and a displacement of 9000 is too far to count as a miss.
  PROGRAM beyond;
  beyond.plain(50);
  beyond.jumpFar(9105);
  coded = Encode(beyond);
  EXPECT_EQ(coded.farCodes(),
            (Bytes{64, 78, 254, 80, 84, 88, 92, 96, 100, 104, 108, 112, 118, 120, 127, 130, 133, 136, 141}));
  EXPECT_EQ(coded.hits + coded.misses, 0);
  ExpectDecodes(beyond, coded);
}

TEST(BranchModel, AFarTargetBeforeTheStartIsANegativeOffsetAndANearMiss) {
  PROGRAM p;
  p.plain(50);
  p.jumpFar(-10);  // displacement -115; complement of -10 is 9 = ... 10 01
  p.plain();
  const CODED coded = Encode(p);
  EXPECT_EQ(coded.farCodes(),
            (Bytes{64, 78, 255, 80, 84, 88, 92, 96, 100, 104, 108, 112, 116, 120, 124, 128, 132, 138, 141}));
  EXPECT_EQ(coded.misses, 1);
  ExpectDecodes(p, coded);
}

TEST(BranchModel, AnUnknownFarTargetIsAMissOnlyWithinFourKilobytes) {
  for (const int32_t d : {-4095, -4096, 4095, 4096}) {
    // The branch at 100 ends at 105. Targets before offset 0 are never
    // known, and count as misses only less than 4096 bytes away; forward
    // ones are known, since flush registers every offset up to 105 + 8191.
    PROGRAM p;
    p.plain(50);
    p.jumpFar(105 + d);
    p.plain();
    const CODED coded = Encode(p);
    if (d < 0) {
      EXPECT_EQ(coded.misses, d == -4095 ? 1 : 0) << "displacement " << d;
      EXPECT_EQ(coded.hits, 0);
    } else {
      EXPECT_EQ(coded.hits, 1) << "displacement " << d;
    }
    ExpectDecodes(p, coded);
  }
}

TEST(BranchModel, FarDisplacementsFrom120To200SetTheLastTarget) {
  // A six-byte far branch at 100 (#50) with its next instruction at 106,
  // two-byte instructions from there on, so o >= 106 is #(51 + (o - 106) / 2);
  // then a short branch to the far target. Only when the far displacement
  // lies in 120..200 is that target already the last one.
  struct CASE {
    int32_t farDisplacement;
    int32_t shortAt;
    Bytes shortCodes;
  };
  const CASE cases[] = {
      {120, 200, {160}},
      {200, 300, {160}},
      {144, 200, {160}},
      {119, 200, {32, 160 + 23}},  // 225 is no start: escaped
      {201, 300, {32, 160 + 5}},   // 307 neither
      {72, 200, {160 - 12}},       // 178 is #87, the short branch's next instruction #99
  };
  for (const CASE& c : cases) {
    PROGRAM p;
    p.plain(50);
    p.jumpFar(106 + c.farDisplacement, 6);
    while (p.next < c.shortAt) p.plain();
    p.jumpShort(106 + c.farDisplacement);
    p.plain(60);
    const CODED coded = Encode(p);
    EXPECT_EQ(coded.shortCodes(), c.shortCodes) << "far displacement " << c.farDisplacement;
    ExpectDecodes(p, coded);
  }
}

TEST(BranchModel, SixteenBitFarFieldsAreRestoredInTwoBytes) {
  PROGRAM p;
  p.plain(50);
  p.jumpFar(60, 3, 2);  // jmp near rel16 at 100
  p.jumpFar(40, 3, 2);
  p.jumpFar(60, 4, 2);  // with a prefix
  p.jumpFar(-3000, 3, 2);
  p.plain(10);
  ExpectDecodes(p, Encode(p));
}

TEST(BranchModel, AFarCodeThatDoesNotBeginWith64PutsTheDecoderOutOfStep) {
  PROGRAM p;
  p.plain(50);
  p.jumpFar(60);
  p.plain();
  CODED coded = Encode(p);
  ASSERT_EQ(coded.far[0], 64);
  coded.far[0] = 63;
  std::vector<uint8_t> output(static_cast<size_t>(p.next) + 8);
  STREAM_READER far{coded.far.data(), coded.far.data() + coded.far.size()};
  STREAM_READER shorts{coded.shorts.data(), coded.shorts.data() + coded.shorts.size()};
  auto model = std::make_unique<BRANCH_MODEL>(&far, &shorts, output.data());
  for (const INSTRUCTION& i : p.code) {
    model->registerStart(i.offset);
    if (i.kind >= 0) model->addPending(i.kind, i.offset + 1, i.offset + i.length, i.width);
  }
  model->flush();
  EXPECT_TRUE(far.outOfStep);
}

// --- Round trips -------------------------------------------------------------

// A random walk of starts over `size` bytes: instructions of 1 to 8 bytes,
// runs of one-byte starts as data regions do, and branches of both kinds
// to recent targets, to starts nearby, to any offset, before the start and
// past the end, and to any 32-bit offset.
PROGRAM RandomProgram(uint32_t seed, int32_t size) {
  std::mt19937 random(seed);
  auto below = [&](uint32_t n) { return static_cast<int32_t>(random() % n); };
  PROGRAM p;
  std::vector<int32_t> targets = {0};
  while (p.next < size) {
    const int r = below(100);
    if (r < 8) {
      p.plain(1 + below(40), 1);
    } else if (r < 45) {
      p.plain(1, 1 + below(8));
    } else if (r < 80) {
      const int32_t length = 2 + below(2);
      const int32_t position = p.next + length;
      int32_t target;
      const int how = below(4);
      if (how == 0) {
        target = targets[targets.size() - 1 - static_cast<size_t>(below(std::min<uint32_t>(targets.size(), 3)))];
      } else if (how == 1 && p.code.size() > 60) {
        target = p.code[p.code.size() - 1 - static_cast<size_t>(below(60))].offset;
      } else {
        target = position + below(256) - 128;
      }
      if (target - position < -128 || target - position > 127) target = position + below(256) - 128;
      targets.push_back(target);
      p.jumpShort(target, length);
    } else {
      const int width = below(5) ? 4 : 2;
      const int32_t length = width + 1 + below(2);
      const int32_t position = p.next + length;
      int32_t target;
      switch (below(7)) {
        case 0:
          target = targets[targets.size() - 1 - static_cast<size_t>(below(std::min<uint32_t>(targets.size(), 16)))];
          break;
        case 1:
          target = p.code.empty() ? 0 : p.code[static_cast<size_t>(below(static_cast<uint32_t>(p.code.size())))].offset;
          break;
        case 2:
          target = position + below(20000);
          break;
        case 3:
          target = -below(5000);
          break;
        case 4:
          target = static_cast<int32_t>(random());
          break;
        default:
          target = position - below(30000);
      }
      if (width == 2) {  // a 16-bit field reaches 32 KiB either way
        target = position + static_cast<int16_t>(target - position);
      }
      targets.push_back(target);
      p.jumpFar(target, length, width);
    }
  }
  return p;
}

TEST(BranchModel, RandomWalksOfStartsAndBranchesDecodeToTheirDisplacements) {
  const int32_t size = 60000;  // past the 16384 starts and offsets the maps remember
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    const PROGRAM p = RandomProgram(seed, size);
    const CODED coded = Encode(p);
    EXPECT_GT(coded.hits, 100) << "seed " << seed;  // distances were really used
    EXPECT_GT(coded.misses, 0) << "seed " << seed;
    ExpectDecodes(p, coded);
    if (HasFailure()) {
      ADD_FAILURE() << "seed " << seed;
      return;
    }
  }
}

}  // namespace
}  // namespace zubreca
