// The adaptive prediction of one channel of numeric samples: the last
// sample, corrected by four stages in turn, each weighing one feature of
// the channel's last four samples with a gain it learns (a normalised
// least-mean-squares step with a leak).
//
// Encoder and decoder must compute the same predictions bit for bit on
// every build: the arithmetic below keeps the order of its operations, and
// this file is compiled without contraction into fused multiply-adds (see
// CMakeLists.txt) and without fast-math.
#pragma once

#include <cstdint>

namespace zubreca {

struct SAMPLE_PREDICTOR {
  static constexpr int kStages = 4;
  static constexpr int kPredictions = 5;

  double gain[kStages] = {0, 0, 0, 0};
  double power[kStages] = {100000.0, 100000.0, 100000.0, 100000.0};
  double x1 = 0, x2 = 0, x3 = 0, x4 = 0;  // the last samples, newest first
  double p[kStages] = {0, 0, 0, 0};       // the stage predictions of this step
  int32_t predictions[kPredictions] = {0, 0, 0, 0, 0};

  // The five predictions of the next sample: the last sample and each
  // stage's correction of the one before, truncated toward zero.
  void predict();
  // Learns from the sample `u` that came (its value as a signed or
  // unsigned number) and moves the history on.
  void update(double u);
};

}  // namespace zubreca
