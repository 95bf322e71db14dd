#include "tricks/exe/branch_model.h"

#include "buffers/data_buffer.h"

namespace zubreca {

namespace {

constexpr int kFarMarker = 64;
constexpr int kFirstSlotCode = 65;
constexpr int kNotRecent = 13;  // the slot code 78
constexpr int kNonNegative = 254, kNegative = 255;
constexpr int kWideDigits = 80;  // the first digit of a target offset starts here
constexpr int kShortBase = 160;
constexpr int kShortEscape = 32;
constexpr int kPairLow = 120, kPairHigh = 200;  // far displacements that join the pair
constexpr int kRecentShort = -100;  // short branches further back join the recent targets
constexpr int kMissRange = 4096;    // far misses count only when this near

void Store(uint8_t* p, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

BRANCH_MODEL::BRANCH_MODEL(DATA_BUFFER* farBranches, DATA_BUFFER* shortBranches)
    : targetStream(farBranches), shortStream(shortBranches) {
  for (int i = 0; i < kMapSize; ++i) startOf[i] = indexOf[i] = -kMapSize;
}

BRANCH_MODEL::BRANCH_MODEL(STREAM_READER* farBranches, STREAM_READER* shortBranches, uint8_t* out)
    : farReader(farBranches), shortReader(shortBranches), output(out) {
  for (int i = 0; i < kMapSize; ++i) startOf[i] = indexOf[i] = -kMapSize;
}

void BRANCH_MODEL::addPending(int kind, int64_t value, int32_t position, int width) {
  ring[ringWrite] = PENDING_BRANCH{position, kind, width, value};
  ringWrite = (ringWrite + 1) % kRingSize;
}

void BRANCH_MODEL::registerStart(int32_t offset) {
  startOf[startCount & (kMapSize - 1)] = offset;
  indexOf[offset & (kMapSize - 1)] = startCount;
  ++startCount;
  settleDue(offset);
}

void BRANCH_MODEL::settleDue(int32_t offset) {
  while (ringRead != ringWrite && offset - kSettleDistance >= ring[ringRead].position) {
    settle(ring[ringRead]);
    ringRead = (ringRead + 1) % kRingSize;
  }
}

void BRANCH_MODEL::flush() {
  while (ringRead != ringWrite) registerStart(startOf[(startCount - 1) & (kMapSize - 1)] + 1);
}

void BRANCH_MODEL::settle(const PENDING_BRANCH& e) {
  if (output) {
    e.kind ? decodeFar(e) : decodeShort(e);
  } else {
    e.kind ? encodeFar(e) : encodeShort(e);
  }
}

// A new target pushes the last one into second place; the second one
// coming back swaps the two, which is the same move.
void BRANCH_MODEL::updatePair(int32_t target) {
  if (target == lastTarget) return;
  prevTarget = lastTarget;
  lastTarget = target;
}

int BRANCH_MODEL::moveToFront(int32_t target) {
  recentTargets[kRecentTargets] = target;
  int j = 0;
  while (recentTargets[j] != target) ++j;
  for (int k = j; k > 0; --k) recentTargets[k] = recentTargets[k - 1];
  recentTargets[0] = target;
  return j;
}

bool BRANCH_MODEL::distanceTo(int32_t target, const PENDING_BRANCH& e, int32_t& distance) const {
  const int32_t k = indexOf[target & (kMapSize - 1)];
  if (startOf[k & (kMapSize - 1)] != target) return false;
  distance = k - indexOf[e.position & (kMapSize - 1)];
  return true;
}

int32_t BRANCH_MODEL::startAtDistance(int32_t distance, const PENDING_BRANCH& e) const {
  return startOf[(distance + indexOf[e.position & (kMapSize - 1)]) & (kMapSize - 1)];
}

void BRANCH_MODEL::encodeFar(const PENDING_BRANCH& e) {
  const int32_t d = static_cast<int32_t>(e.value);
  const int32_t target = static_cast<int32_t>(static_cast<uint32_t>(e.position) + static_cast<uint32_t>(d));
  if (d >= kPairLow && d <= kPairHigh) updatePair(target);
  const int j = moveToFront(target);
  targetStream->putByte(kFarMarker);
  targetStream->putByte(kFirstSlotCode + j);
  if (j != kNotRecent) return;
  int32_t x;
  const bool known = distanceTo(target, e, x);
  if (known) {
    ++hits;
  } else {
    if (d > -kMissRange && d < kMissRange) ++misses;
    x = target;
  }
  targetStream->putByte(x < 0 ? kNegative : kNonNegative);
  const uint32_t u = static_cast<uint32_t>(x < 0 ? ~x : x);
  if (known) {
    for (int t = 0; t < 7; ++t) targetStream->putByte(4 * t + ((u >> (12 - 2 * t)) & 3));
  } else {
    for (int t = 0; t < 16; ++t) targetStream->putByte(kWideDigits + 4 * t + ((u >> (30 - 2 * t)) & 3));
  }
}

void BRANCH_MODEL::encodeShort(const PENDING_BRANCH& e) {
  const int32_t d = static_cast<int32_t>(e.value);
  const int32_t target = e.position + d;
  if (d < kRecentShort) moveToFront(target);
  int32_t code;
  int32_t distance;
  if (target == lastTarget) {
    code = 0;
  } else if (target == prevTarget) {
    prevTarget = lastTarget;
    lastTarget = target;
    code = -1;
  } else {
    prevTarget = lastTarget;
    lastTarget = target;
    // A distance of -128 would write the escape byte itself (160 - 128 is
    // 32), and the decoder would read it as an escape: such a target is
    // escaped instead.
    if (distanceTo(target, e, distance) && distance != -1 && distance != 0 && distance != -128) {
      ++hits;
      code = distance;
    } else {
      shortStream->putByte(kShortEscape);
      ++misses;
      code = d;
    }
  }
  shortStream->putByte(kShortBase + code);
}

void BRANCH_MODEL::decodeFar(const PENDING_BRANCH& e) {
  STREAM_READER& in = *farReader;
  TestExe(in, kFarMarker);
  const uint32_t j = in.next() - kFirstSlotCode;
  if (j > kNotRecent) {
    in.damaged = true;
    return;
  }
  if (j == kNotRecent) {
    const uint32_t sign = in.next();
    const uint32_t h = in.next();
    uint32_t x;
    int32_t target;
    if (h < kWideDigits) {
      x = h << 12;
      for (int n = 10, base = 4; n >= 0; n -= 2, base += 4) x += ((in.next() - base) & 0xFF) << n;
      if (sign == kNegative) x = ~x;
      target = startAtDistance(static_cast<int32_t>(x), e);
    } else {
      x = (h - kWideDigits) << 30;
      for (int n = 28, base = 84; n >= 0; n -= 2, base += 4) x += ((in.next() - base) & 0xFF) << n;
      if (sign == kNegative) x = ~x;
      target = static_cast<int32_t>(x);
    }
    recentTargets[kNotRecent] = target;
  }
  const int32_t target = recentTargets[j];
  for (uint32_t k = j; k > 0; --k) recentTargets[k] = recentTargets[k - 1];
  recentTargets[0] = target;
  const int32_t d = static_cast<int32_t>(static_cast<uint32_t>(target) - static_cast<uint32_t>(e.position));
  if (d >= kPairLow && d <= kPairHigh) updatePair(target);
  Store(output + e.value, static_cast<uint32_t>(d), e.width == 4 ? 4 : 2);
}

void BRANCH_MODEL::decodeShort(const PENDING_BRANCH& e) {
  STREAM_READER& in = *shortReader;
  const uint32_t b = in.next();
  int32_t target;
  if (b == kShortBase) {
    target = lastTarget;
  } else if (b == kShortBase - 1) {
    target = prevTarget;
    prevTarget = lastTarget;
    lastTarget = target;
  } else {
    if (b == kShortEscape) {
      target = e.position + static_cast<int8_t>(in.next() - kShortBase);
    } else {
      target = startAtDistance(static_cast<int8_t>(b - kShortBase), e);
    }
    prevTarget = lastTarget;
    lastTarget = target;
  }
  if (target - e.position < kRecentShort) moveToFront(target);
  output[e.value] = static_cast<uint8_t>(target - e.position);
}

}  // namespace zubreca
