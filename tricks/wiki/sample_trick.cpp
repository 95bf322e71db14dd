#include "tricks/wiki/sample_trick.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "tricks/wiki/sample_predictor.h"
#include "tricks/wiki/wiki_trick.h"

namespace zubreca {

namespace {

constexpr int kHistogramCount = 385;
constexpr int kBins = 256;
constexpr int kResidualSets = SAMPLE_PREDICTOR::kPredictions;
constexpr int kChannelsAtMost = 4;
constexpr int kMatchHistogram = 128;  // which earlier byte b4 repeats
constexpr int kByteHistograms = 129;  // 129..384: b4 after the pair b2, b3
constexpr int kPackedModeOffset = 5;  // modes 9, 10: packing of modes 4, 5
constexpr int kSignedBit = 16;
constexpr int kPredictionShift = 5;
constexpr int kTagBase = 240;     // a packed word's tag byte: 240 + its top 4 bits
constexpr int kDeltaTag = 3;      // words of this tag in a row are delta coded
constexpr int kOffset8 = 32;      // residual offsets
constexpr int kOffset16 = 8224;
// Residual set k measures this much dearer than its histograms say: the
// plain difference (k = 0) wins ties with the adaptive ones.
constexpr double kResidualWeight[kResidualSets] = {1.0, 1.015, 1.016, 1.017, 1.018};
constexpr double kByteMatchWeight = 0.97;

struct HISTOGRAMS {
  uint32_t counts[kHistogramCount][kBins];

  void clear() { memset(counts, 0, sizeof counts); }
  double cost(int first, int last) const {  // histograms first..last
    double sum = 0;
    for (int j = first; j <= last; ++j) sum += HistogramCost(counts[j]);
    return sum;
  }
};

// What the measuring pass finds.
struct STATISTICS {
  double estimates[9] = {};
  int64_t signedGain8 = 0;       // how much smaller differences are read as signed bytes
  int64_t signedGain16[2] = {};  // ... as signed words, per parity
  uint32_t tagWords[2] = {};     // words with the top bits 00011, per parity
};

int32_t Signed8(uint32_t b) { return static_cast<int8_t>(b); }
int32_t Signed16(uint32_t w) { return static_cast<int16_t>(w); }

STATISTICS Measure(const uint8_t* d, int32_t n, HISTOGRAMS& h) {
  STATISTICS s;
  h.clear();
  if (n <= 8) return s;
  // The contexts and sums live in registers, so the counters are all that
  // the loop reads and writes in memory. A context "of the same parity" or "of the same
  // phase" is the value of two or four positions back, so those are kept
  // in short shift registers.
  uint32_t previous1 = 0, previous2 = 0, previous3 = 0, previous4 = 0;  // the last b1 - b0 .. b4 - b0
  uint32_t dHigh1 = 0, dHigh2 = 0;  // the high byte of W2 - W0, one and two positions back
  uint32_t e1 = 0, e2 = 0, e3 = 0, e4 = 0;  // W4 - W0, one to four positions back
  int64_t gain16 = 0, gain16Other = 0;  // the 16-bit sums of this position's parity and the other
  uint32_t tags = 0, tagsOther = 0;
  uint32_t matches[4] = {0, 0, 0, 0};
  int32_t i = 0;
  for (; i <= n - 9; ++i) {
    const uint32_t b0 = d[i], b1 = d[i + 1], b2 = d[i + 2], b3 = d[i + 3], b4 = d[i + 4], b5 = d[i + 5];
    const uint32_t d1 = (b1 - b0) & 0xFF, d2 = (b2 - b0) & 0xFF, d3 = (b3 - b0) & 0xFF, d4 = (b4 - b0) & 0xFF;
    ++h.counts[0 + (previous1 >> 5)][d1];
    ++h.counts[8 + (previous2 >> 5)][d2];
    ++h.counts[16 + (previous3 >> 5)][d3];
    ++h.counts[24 + (previous4 >> 5)][d4];
    previous1 = d1, previous2 = d2, previous3 = d3, previous4 = d4;

    const uint32_t w0 = b0 | b1 << 8, w2 = b2 | b3 << 8, w4 = b4 | b5 << 8;
    const uint32_t q = i & 1;
    const uint32_t dw = (w2 - w0) & 0xFFFF;
    ++h.counts[32 + 16 * q + 2 * (dHigh2 >> 5)][dw & 0xFF];
    ++h.counts[33 + 16 * q + 2 * ((dw & 0xFF) >> 5)][dw >> 8];
    dHigh2 = dHigh1, dHigh1 = dw >> 8;

    const uint32_t phase = i & 3;
    const uint32_t ew = (w4 - w0) & 0xFFFF;
    ++h.counts[64 + 16 * phase + 2 * (e4 >> 13)][ew & 0xFF];
    ++h.counts[65 + 16 * phase + 2 * ((ew >> 5) & 7)][ew >> 8];
    e4 = e3, e3 = e2, e2 = e1, e1 = ew;

    // The four match counts stay in registers: counted in histogram 128
    // they would chain each position's update to the one before.
    const uint32_t pair = (67 * b2 + b3) & 0xFF;
    const int match = b4 == b3 ? 0 : b4 == b2 ? 1 : b4 == b1 ? 2 : b4 == b0 ? 3 : -1;
    const bool hit = match >= 0;
    matches[0] += match == 0, matches[1] += match == 1, matches[2] += match == 2, matches[3] += match == 3;
    ++h.counts[kByteHistograms + pair][hit ? 255 : b4];

    s.signedGain8 += std::abs(Signed8(b1) - Signed8(b0)) - std::abs(static_cast<int32_t>(b1) - static_cast<int32_t>(b0));
    gain16 += std::abs(Signed16(w2) - Signed16(w0)) - std::abs(static_cast<int32_t>(w2) - static_cast<int32_t>(w0));
    tags += (w0 & 0xF800) == 0x1800;
    std::swap(gain16, gain16Other);
    std::swap(tags, tagsOther);
  }
  uint32_t misses = i;
  for (int k = 0; k < 4; ++k) h.counts[kMatchHistogram][k] = matches[k], misses -= matches[k];
  // After the loop, the first of each pair belongs to the parity of i.
  const int q = i & 1;
  s.signedGain16[q] = gain16, s.signedGain16[q ^ 1] = gain16Other;
  s.tagWords[q] = tags, s.tagWords[q ^ 1] = tagsOther;
  for (int k = 0; k < 4; ++k) s.estimates[k] = h.cost(8 * k, 8 * k + 7);
  s.estimates[4] = h.cost(32, 47);
  s.estimates[5] = h.cost(48, 63);
  s.estimates[6] = h.cost(64, 79) + h.cost(96, 111);
  s.estimates[7] = h.cost(80, 95) + h.cost(112, 127);
  s.estimates[8] = kByteMatchWeight * (h.cost(kMatchHistogram, kHistogramCount - 1) -
                                       static_cast<double>(n - misses) * HistogramCost(h.counts[kMatchHistogram]) / n);
  return s;
}

// How a mode lays out its samples.
struct LAYOUT {
  bool wide;     // 16-bit little-endian words
  int channels;  // interleaved channels
  int start;     // the first sample's byte
};

LAYOUT LayoutOf(int mode) {
  if (mode < 4) return {false, mode + 1, 0};
  return {true, mode >= 6 ? 2 : 1, mode & 1};
}

// The residual of a raw sample against a prediction, and back.
uint32_t Residual(uint32_t raw, int32_t prediction, bool wide) {
  const int64_t value = static_cast<int64_t>(raw) - prediction + (wide ? kOffset16 : kOffset8);
  return static_cast<uint32_t>(value) & (wide ? 0xFFFF : 0xFF);
}
uint32_t Restored(uint32_t residual, int32_t prediction, bool wide) {
  const int64_t value = static_cast<int64_t>(residual) + prediction - (wide ? kOffset16 : kOffset8);
  return static_cast<uint32_t>(value) & (wide ? 0xFFFF : 0xFF);
}

double SampleValue(uint32_t raw, bool wide, bool isSigned) {
  if (!isSigned) return raw;
  return wide ? Signed16(raw) : Signed8(raw);
}

// Calls visit(position, channel) for every sample of the layout in order.
template <typename VISIT>
void ForEachSample(int32_t n, const LAYOUT& layout, VISIT visit) {
  const int size = layout.wide ? 2 : 1;
  int channel = 0;
  for (int32_t i = layout.start; i + size <= n; i += size) {
    visit(i, channel);
    if (++channel == layout.channels) channel = 0;
  }
}

uint32_t ReadSample(const uint8_t* p, bool wide) { return wide ? p[0] | p[1] << 8 : p[0]; }
void WriteSample(uint8_t* p, uint32_t value, bool wide) {
  p[0] = static_cast<uint8_t>(value);
  if (wide) p[1] = static_cast<uint8_t>(value >> 8);
}

// Replaces every sample by its residuals against the five predictions, one
// set in the data, four in copies; measures each set and keeps the
// cheapest in the data. Returns its number.
int PredictSamples(uint8_t* data, int32_t n, const LAYOUT& layout, bool isSigned, HISTOGRAMS& h) {
  h.clear();
  std::vector<std::vector<uint8_t>> copies(kResidualSets - 1, std::vector<uint8_t>(data, data + n));
  uint8_t* sets[kResidualSets] = {data, copies[0].data(), copies[1].data(), copies[2].data(), copies[3].data()};
  SAMPLE_PREDICTOR predictors[kChannelsAtMost];
  uint32_t context[kResidualSets] = {0, 0, 0, 0, 0};  // low 5 bits of each set's last residual
  ForEachSample(n, layout, [&](int32_t i, int channel) {
    SAMPLE_PREDICTOR& predictor = predictors[channel];
    predictor.predict();
    const uint32_t raw = ReadSample(data + i, layout.wide);
    for (int k = 0; k < kResidualSets; ++k) {
      const uint32_t residual = Residual(raw, predictor.predictions[k], layout.wide);
      WriteSample(sets[k] + i, residual, layout.wide);
      ++h.counts[32 * k + context[k]][layout.wide ? residual >> 8 : residual];
      context[k] = residual & 31;
    }
    predictor.update(SampleValue(raw, layout.wide, isSigned));
  });
  int best = 0;
  double bestCost = 0;
  for (int k = 0; k < kResidualSets; ++k) {
    const double cost = h.cost(32 * k, 32 * k + 31) * kResidualWeight[k];
    if (k == 0 || cost < bestCost) {
      best = k;
      bestCost = cost;
    }
  }
  if (best != 0) memcpy(data, sets[best], static_cast<size_t>(n));
  return best;
}

void UnpredictSamples(uint8_t* data, int32_t n, const LAYOUT& layout, bool isSigned, int prediction) {
  SAMPLE_PREDICTOR predictors[kChannelsAtMost];
  ForEachSample(n, layout, [&](int32_t i, int channel) {
    SAMPLE_PREDICTOR& predictor = predictors[channel];
    predictor.predict();
    const uint32_t raw =
        Restored(ReadSample(data + i, layout.wide), predictor.predictions[prediction], layout.wide);
    WriteSample(data + i, raw, layout.wide);
    predictor.update(SampleValue(raw, layout.wide, isSigned));
  });
}

// Tagged 12-bit packing of the words from byte `start`: a tag byte (240 +
// the word's top 4 bits) and the low 12 bits in two bytes, as a difference
// from the word before when both have the tag 3.
DATA_BUFFER* Pack(const DATA_BUFFER* input, int start) {
  const int32_t n = input->length;
  const uint8_t* d = input->data();
  DATA_BUFFER* packed = new DATA_BUFFER(n + n / 2 + 2, 128, nullptr);
  int32_t i = 0;
  for (; i < start && i < n; ++i) packed->putByte(d[i]);
  uint32_t previousTag = 0, previousValue = 0;
  for (; i + 2 <= n; i += 2) {
    const uint32_t w = d[i] | d[i + 1] << 8;
    const uint32_t tag = w >> 12, value = w & 4095;
    const uint32_t coded = tag == kDeltaTag && previousTag == kDeltaTag ? (value - previousValue) & 4095 : value;
    packed->putByte(static_cast<int>(kTagBase + tag));
    packed->putByte(static_cast<int>(coded & 0xFF));
    packed->putByte(static_cast<int>(coded >> 8));
    previousTag = tag;
    previousValue = value;
  }
  if (i < n) packed->putByte(d[i]);
  return packed;
}

DATA_BUFFER* Unpack(const DATA_BUFFER* input, int start) {
  const int32_t n = input->length;
  const uint8_t* d = input->data();
  DATA_BUFFER* words = new DATA_BUFFER(n, 128, nullptr);
  int32_t i = 0;
  for (; i < start && i < n; ++i) words->putByte(d[i]);
  uint32_t previousTag = 0, previousValue = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t tag = d[i] & 15;
    uint32_t value = d[i + 1] | (d[i + 2] & 15) << 8;
    if (tag == kDeltaTag && previousTag == kDeltaTag) value = (previousValue + value) & 4095;
    words->putByte(static_cast<int>(value & 0xFF));
    words->putByte(static_cast<int>(value >> 8 | tag << 4));
    previousTag = tag;
    previousValue = value;
  }
  for (; i < n; ++i) words->putByte(d[i]);
  return words;
}

int forcedMode = -1;

}  // namespace

void ForceSampleModeForTesting(int mode) { forcedMode = mode; }

std::array<double, 9> SampleEstimates(const uint8_t* data, int32_t length) {
  std::unique_ptr<HISTOGRAMS> histograms(new HISTOGRAMS);
  const STATISTICS stats = Measure(data, length, *histograms);
  std::array<double, 9> estimates;
  for (int k = 0; k < 9; ++k) estimates[k] = stats.estimates[k];
  return estimates;
}

namespace {

// v ln v for the small counts that make up most histograms, computed once
// the way HistogramCost would: the measuring pass sums 98560 of them, and
// logl at each is most of its time.
constexpr uint32_t kSmallCounts = 4096;
const std::vector<long double>& SmallCountTerms() {
  static const std::vector<long double> terms = [] {
    std::vector<long double> t(kSmallCounts);
    for (uint32_t v = 1; v < kSmallCounts; ++v) t[v] = static_cast<long double>(v) * logl(static_cast<long double>(v));
    return t;
  }();
  return terms;
}

}  // namespace

double HistogramCost(const uint32_t* histogram) {
  const std::vector<long double>& terms = SmallCountTerms();
  long double total = 0, spread = 0;
  for (int b = 0; b < kBins; ++b) {
    const uint32_t count = histogram[b];
    if (count == 0) continue;
    const long double v = count;
    total += v;
    spread += count < kSmallCounts ? terms[count] : v * logl(v);
  }
  if (total == 0) return 0;
  return static_cast<double>((total * logl(total) - spread) / logl(2.0L));
}

const char* EncodeSamples(const char* position, DATA_BUFFER*& chain) {
  const uint32_t withoutWiki = ParseTrickParam(position, 0, 1, 0);
  DATA_BUFFER* input = chain;
  const int32_t n = input->length;
  std::unique_ptr<HISTOGRAMS> histograms(new HISTOGRAMS);
  const STATISTICS stats = Measure(input->data(), n, *histograms);
  int mode = withoutWiki ? 7 : kWikiMode;
  for (int k = 0; k < 8; ++k) {
    if (stats.estimates[k] < stats.estimates[mode]) mode = k;
  }
  if (forcedMode >= 0) mode = forcedMode;
  if (mode == kWikiMode) {
    headerBuffer->putByte(kWikiMode);
    EncodeWiki("", chain);
    return position;
  }
  if ((mode == 4 || mode == 5) && static_cast<uint64_t>(n) < 3ull * stats.tagWords[mode - 4]) {
    chain = ReplaceBuffer(Pack(input, mode & 1), input);
    headerBuffer->putByte(mode + kPackedModeOffset);
    return position;
  }
  const bool isSigned = mode < 4 ? stats.signedGain8 < 0 : stats.signedGain16[mode & 1] < 0;
  const int prediction = PredictSamples(input->data(), n, LayoutOf(mode), isSigned, *histograms);
  headerBuffer->putByte(mode + (isSigned ? kSignedBit : 0) + (prediction << kPredictionShift));
  return position;
}

DATA_BUFFER* DecodeSamples(ENTRY_READER& entry) {
  const int modeByte = headerBuffer->getByte();
  if (modeByte == kWikiMode) return DecodeWiki(entry);
  const int mode = modeByte & 15;
  const int prediction = modeByte >> kPredictionShift;
  const bool packed = mode == 4 + kPackedModeOffset || mode == 5 + kPackedModeOffset;
  if (modeByte < 0 || (mode > 7 && !packed) || (!packed && prediction >= kResidualSets)) return nullptr;

  DATA_BUFFER* data = new DATA_BUFFER(4194304, 128, nullptr);
  // Packing makes 3 bytes of 2; a damaged stream stops one byte past that.
  const uint64_t most = uint64_t{entry.fileLength} + entry.fileLength / 2 + 2;
  entry.decode(data, static_cast<uint32_t>(std::min<uint64_t>(most, kDecodeLimit) + 1));
  if (packed) return ReplaceBuffer(Unpack(data, (mode - kPackedModeOffset) & 1), data);
  UnpredictSamples(data->data(), data->length, LayoutOf(mode), (modeByte & kSignedBit) != 0, prediction);
  return data;
}

}  // namespace zubreca
