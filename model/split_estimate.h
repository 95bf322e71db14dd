// Learned probabilities for the decisions that code the tail of a long
// candidate list (symbol_coder.cpp): each row is a curve that maps the
// frequency share of "yes" to a probability, learned from the outcomes, and
// a decision averages the curves of two rows, each chosen by a context of
// its own.
// The curve has 33 knots over the stretched share, ln(p / (1 - p)) from -8
// to 8, and reads between the two knots around the share; the nearer knot
// learns. A row starts as the identity, so a new row codes by the share.
#pragma once

#include <cstdint>

namespace zubreca {

namespace split_curve {

// Stretched shares u run from 0 to 2047 (ln(p / (1 - p)) from -8 to 8 in
// steps of 1/128); a knot every 64.
constexpr int kKnotShift = 6, kKnots = 32;
// 65535 / (1 + e^-s) at s = -8, -7.5, ... 8: the identity curve, and the
// table the stretch is read from. Integers, so that every machine builds
// the same tables.
constexpr uint16_t kSquashKnots[kKnots + 1] = {
    22,    36,    60,    98,    162,   267,   439,   720,   1179,  1921,  3108,  4971,  7812,  11955, 17625, 24742, 32768,
    40793, 47910, 53580, 57723, 60564, 62427, 63614, 64356, 64815, 65096, 65268, 65373, 65437, 65475, 65499, 65513};
constexpr uint32_t SquashAt(int u) {
  const int knot = u >> kKnotShift, frac = u & ((1 << kKnotShift) - 1);
  return (kSquashKnots[knot] * static_cast<uint32_t>((1 << kKnotShift) - frac) +
          kSquashKnots[knot + 1] * static_cast<uint32_t>(frac)) >>
         kKnotShift;
}
// The stretch of a share in 4096ths: the largest u whose squash is not
// above it.
struct STRETCH_TABLE {
  int16_t v[4096] = {};
  constexpr STRETCH_TABLE() {
    for (uint32_t p = 0; p < 4096; ++p) {
      int lo = 0, hi = 2047;
      while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (SquashAt(mid) <= p << 4) lo = mid; else hi = mid - 1;
      }
      v[p] = static_cast<int16_t>(lo);
    }
  }
};
constexpr STRETCH_TABLE kStretch{};

}  // namespace split_curve

class SPLIT_ESTIMATE {
 public:
  static constexpr uint32_t kTotal = 1 << 16;  // the total the weights are out of
  // Rows of the first curve of a tail decision, of the second, of the
  // decision between a tail and an escape, and of the decision whether the
  // symbol is among a group of proposed candidates.
  static constexpr int kFirstRows = 2048, kSecondRows = 4096 + 16, kEscapeRows = 8 + 12;
  // The bits of a value take first rows from 8 to 2047 and second rows
  // from 16 to 4095 (1 followed by the bits so far, above 3 and 4 bits of
  // context). The other rows serve decisions that are no bit of a value:
  // the tail of a top context's list against its escape takes first row 1
  // and a second row below 16; the tail of a list reached by an escape
  // takes a first row from 2 to 7 and one of the 16 second rows from
  // kEscapedTailSecondRow.
  static constexpr uint32_t kTopTailRow = 1, kEscapedTailRow = 2, kEscapedTailSecondRow = 4096;
  // Of the rows of escapeWeight, a tail against its escape takes the first
  // 8, a group of proposed candidates against the rest the 12 from kGroupRow.
  static constexpr uint32_t kGroupRow = 8;

  void reset() {
    for (auto& row : curve)
      for (int j = 0; j <= kKnots; ++j) row[j] = split_curve::kSquashKnots[j];
  }

  // The weight of "yes", out of kTotal, when its share is w of t (w <= t,
  // t > 0): the average of what the two curves read there.
  uint32_t weight(uint32_t firstRow, uint32_t secondRow, uint32_t w, uint32_t t) {
    const int u = StretchOf(w, t);
    return Clamp((read(firstRow, u, learning[0]) + read(kFirstRows + secondRow, u, learning[1])) / 2);
  }
  // The same from one curve, for a tail against an escape or a group of
  // proposed candidates against the rest.
  uint32_t escapeWeight(uint32_t row, uint32_t w, uint32_t t) {
    learning[1] = nullptr;
    return Clamp(read(kFirstRows + kSecondRows + row, StretchOf(w, t), learning[0]));
  }

  template <class ADD>
  void addState(ADD add) const {
    add(curve, sizeof curve);
  }

  // Moves the knots the last weight was read nearest to toward the outcome,
  // by 1/32 of the distance. On an earlier form of the tail coding, 1/16
  // was 0.4% larger on audio and on a program; 1/64 was 0.1 to 0.2%
  // smaller there but 2% larger on a spreadsheet.
  void learn(bool hit) {
    const int target = hit ? 65535 : 0;
    for (uint16_t* knot : learning)
      if (knot) *knot = static_cast<uint16_t>(*knot + (target - *knot) / 32);
  }

 private:
  static constexpr uint32_t kMargin = 32;
  static constexpr int kKnotShift = split_curve::kKnotShift, kKnots = split_curve::kKnots;

  static int StretchOf(uint32_t w, uint32_t t) {
    const uint32_t p12 = static_cast<uint32_t>((uint64_t{w} << 12) / t);
    return split_curve::kStretch.v[p12 > 4095 ? 4095 : p12];
  }
  static uint32_t Clamp(uint32_t p) { return p < kMargin ? kMargin : p > kTotal - kMargin ? kTotal - kMargin : p; }

  // Reads the curve of `row` at the stretched share u, between the two knots
  // around it, and points `nearest` at the nearer one.
  uint32_t read(uint32_t row, int u, uint16_t*& nearest) {
    const int knot = u >> kKnotShift, frac = u & ((1 << kKnotShift) - 1);
    uint16_t* knots = curve[row];
    nearest = &knots[knot + (frac >> (kKnotShift - 1))];
    return (knots[knot] * static_cast<uint32_t>((1 << kKnotShift) - frac) +
            knots[knot + 1] * static_cast<uint32_t>(frac)) >>
           kKnotShift;
  }

  uint16_t curve[kFirstRows + kSecondRows + kEscapeRows][kKnots + 1];
  uint16_t* learning[2] = {};
};

}  // namespace zubreca
