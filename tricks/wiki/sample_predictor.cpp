#include "tricks/wiki/sample_predictor.h"

#include <cmath>
#include <cstdint>

namespace zubreca {

namespace {

constexpr double kLeak[SAMPLE_PREDICTOR::kStages] = {0.004, 0.011, 0.022, 0.008};
constexpr double kConstant[SAMPLE_PREDICTOR::kStages] = {4, 3, 2, 1};

// Truncation toward zero into 32 bits; a value outside (never met on real
// data, where the gains stay small) saturates instead of being undefined.
int32_t Truncated(double value) {
  if (!(value > -2147483648.0)) return value != value ? 0 : INT32_MIN;
  if (!(value < 2147483648.0)) return INT32_MAX;
  return static_cast<int32_t>(value);
}

}  // namespace

void SAMPLE_PREDICTOR::predict() {
  p[0] = x1;
  p[1] = p[0] + (x1 - x2) * gain[0] / power[0];
  p[2] = p[1] + (2 * x2 - x1 - x3) * gain[1] / power[1];
  p[3] = p[2] + (x1 - x3) * gain[2] / power[2];
  const double last = p[3] + (x3 - x4) * gain[3] / power[3];
  for (int i = 0; i < kStages; ++i) predictions[i] = Truncated(p[i]);
  predictions[kStages] = Truncated(last);
}

void SAMPLE_PREDICTOR::update(double u) {
  const double features[kStages] = {x1 - x2, 2 * x2 - x1 - x3, x1 - x3, x3 - x4};
  for (int i = 0; i < kStages; ++i) {
    const double f = features[i];
    gain[i] = gain[i] - kLeak[i] * gain[i] + (u - p[i]) * f;
    power[i] = power[i] + kConstant[i] + f * f - kLeak[i] * power[i];
  }
  x4 = x3;
  x3 = x2;
  x2 = x1;
  x1 = u;
}

}  // namespace zubreca
