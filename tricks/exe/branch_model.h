// Relative branches of x86 code, coded by their targets.
//
// A branch's displacement changes whenever code moves; the instruction it
// lands on is usually a recent target again, or one counted a few
// instructions away. The model holds every branch back until the code
// 8191 bytes beyond it has been walked, so that forward targets can be
// counted in instructions too, and then codes it:
//
//  far branches (16/32-bit fields), stream 21: 64, then 65 + j for slot j
//    of the 13 most recent far targets, or 78 for none of them and then a
//    sign byte (254, or 255 with the number complemented) and either 7
//    digits 4t + 2 bits (the distance in instructions) or 16 digits
//    80 + 4t + 2 bits (the target offset);
//  short branches (8-bit fields), stream 22: 160 + code, where code 0 is
//    the last target, -1 the one before, anything else a distance in
//    instructions; or 32 and then 160 + the displacement.
//
// The encoder and the decoder register the same instruction starts (every
// byte of a data region counts as one) in the same order, so both settle
// each branch at the same moment; the decoder leaves a hole in its output
// for the field and fills it then. The hit and miss counts decide whether
// the encoder keeps its attempt at all.
#pragma once

#include <cstdint>

#include "tricks/exe/exe_streams.h"

namespace zubreca {

class DATA_BUFFER;

struct PENDING_BRANCH {
  int32_t position;  // offset just behind the field: the base of the displacement
  int32_t kind;      // 0: 8-bit field, 1: 16/32-bit field
  int32_t width;     // decoder: the field's size in bytes
  int64_t value;     // encoder: the displacement; decoder: the field's offset in the output
};

class BRANCH_MODEL {
 public:
  static constexpr int kRingSize = 8192;
  static constexpr int kMapSize = 16384;
  static constexpr int kSettleDistance = 8191;
  static constexpr int kRecentTargets = 13;

  // The encoder's model, writing streams 21 and 22.
  BRANCH_MODEL(DATA_BUFFER* farBranches, DATA_BUFFER* shortBranches);
  // The decoder's model: reads streams 21 and 22 and fills the holes of
  // `output`.
  BRANCH_MODEL(STREAM_READER* farBranches, STREAM_READER* shortBranches, uint8_t* output);

  void addPending(int kind, int64_t value, int32_t position, int width = 0);
  void registerStart(int32_t offset);
  // Continues the code with pretended one-byte instructions until every
  // pending branch is settled.
  void flush();
  bool accepted() const { return hits > 5 * misses + 75; }

  int32_t hitCount() const { return hits; }
  int32_t missCount() const { return misses; }

 private:
  void settleDue(int32_t offset);
  void settle(const PENDING_BRANCH& e);
  void encodeFar(const PENDING_BRANCH& e);
  void encodeShort(const PENDING_BRANCH& e);
  void decodeFar(const PENDING_BRANCH& e);
  void decodeShort(const PENDING_BRANCH& e);
  void updatePair(int32_t target);
  int moveToFront(int32_t target);
  // The distance in instructions from e's position to `target`, if the
  // target is a registered start the maps still remember.
  bool distanceTo(int32_t target, const PENDING_BRANCH& e, int32_t& distance) const;
  int32_t startAtDistance(int32_t distance, const PENDING_BRANCH& e) const;

  int32_t startCount = 0;
  int32_t ringRead = 0;
  int32_t ringWrite = 0;
  int32_t hits = 0;
  int32_t misses = 0;
  int32_t recentTargets[kRecentTargets + 1] = {};  // and the search's sentinel
  int32_t lastTarget = 0;
  int32_t prevTarget = 0;
  int32_t startOf[kMapSize];
  int32_t indexOf[kMapSize];
  PENDING_BRANCH ring[kRingSize];
  DATA_BUFFER* targetStream = nullptr;
  DATA_BUFFER* shortStream = nullptr;
  STREAM_READER* farReader = nullptr;
  STREAM_READER* shortReader = nullptr;
  uint8_t* output = nullptr;  // decoder: the output's first byte
};

}  // namespace zubreca
