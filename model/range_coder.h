// Carry-propagating binary range coder.
//
// Every decision is coded with the probability of "yes" given as an integer
// weight out of an integer total. "Yes" takes the lower part of the interval
// [0, bound), "no" the upper part [bound, range); whatever the truncated
// division loses belongs to "no". The encoder holds back runs of 0xFF bytes
// until it knows whether a carry will turn them into 0x00.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zubreca {

class RANGE_CODER {
 public:
  static constexpr uint32_t kTop = 1u << 24;

  void attach(FILE* stream) { file = stream; }

  // Encoder side -----------------------------------------------------------
  void startEncoder() {
    low = 0;
    range = 0xFFFFFFFFu;
    widenings = 0;
    cache = 0;
    pendingCount = 0;
  }

  void normalizeEncoder() {
    while (range < kTop) {
      shiftLow();
      range <<= 8;
      ++widenings;
    }
  }

  // The model calls normalize before every decision, never after it.
  void encodeDecision(bool hit, uint32_t weight, uint32_t total) {
    normalizeEncoder();
    const uint32_t bound = weight * (range / total);
    if (hit) {
      range = bound;
    } else {
      low += bound;
      range -= bound;
    }
  }

  void shiftLow() {
    if (static_cast<uint32_t>(low) < 0xFF000000u || (low >> 32) != 0) {
      const uint32_t carry = static_cast<uint32_t>(low >> 32);
      putc_unlocked(static_cast<int>((cache + carry) & 0xFF), file);
      for (; pendingCount != 0; --pendingCount) putc_unlocked(static_cast<int>((0xFF + carry) & 0xFF), file);
      cache = static_cast<uint32_t>(low >> 24) & 0xFF;
    } else {
      ++pendingCount;
    }
    low = (low & 0x00FFFFFFu) << 8;
  }

  void flush() {
    for (int i = 0; i < 5; ++i) shiftLow();
  }

  // Decoder side -----------------------------------------------------------
  // The encoder's first byte is the cache it starts with, 0, which no carry
  // can reach (low + range stays below 2^32 until the first shift); it
  // falls outside the code register, so it is only checked.
  void startDecoder() {
    range = 0xFFFFFFFFu;
    widenings = 0;
    code = 0;
    pastEnd = false;
    leadByteZero = nextByte() == 0;
    for (int i = 0; i < 4; ++i) code = (code << 8) | nextByte();
  }

  // After the last decision of a sound stream: the encoder's flush wrote
  // out the whole low end of its interval, and the decoder holds the
  // distance of the coded value above that end, so it finds 0 there.
  bool endedExactly() const { return leadByteZero && !pastEnd && code == 0; }

  void normalizeDecoder() {
    while (range < kTop) {
      code = (code << 8) | nextByte();
      range <<= 8;
      ++widenings;
    }
  }

  // A sound stream is never read past its end: the decoder reads exactly the
  // bytes the encoder wrote. Past the end every bit of the byte is set.
  uint32_t nextByte() {
    const int b = getc_unlocked(file);
    if (b == EOF) pastEnd = true;
    return static_cast<uint32_t>(b);
  }

  bool decodeDecision(uint32_t weight, uint32_t total) {
    normalizeDecoder();
    const uint32_t bound = weight * (range / total);
    if (code < bound) {
      range = bound;
      return true;
    }
    code -= bound;
    range -= bound;
    return false;
  }

  // What the decisions coded so far have cost, in sixteenths of a bit, up
  // to a constant (and modulo 2^32): eight bits for each byte the range was
  // widened by, less the log of the range now. Encoder and decoder keep the
  // same range, so both read the same costs.
  uint32_t spentSixteenths() const {
    const int top = 31 - __builtin_clz(range);
    const uint32_t fraction = (top >= 4 ? range >> (top - 4) : range << (4 - top)) & 15;
    return widenings * 128 - static_cast<uint32_t>(top * 16) - fraction;
  }

  uint64_t low = 0;
  uint32_t range = 0xFFFFFFFFu;
  uint32_t widenings = 0;  // times the range was multiplied by 256
  uint32_t cache = 0;
  uint32_t pendingCount = 0;
  uint32_t code = 0;
  bool pastEnd = false;  // the decoder has read past the end of its input
  bool leadByteZero = false;
  FILE* file = nullptr;
};

}  // namespace zubreca
