// Round trips of whole buffers through the context model and the range
// coder: real files at every model order, edge sizes, every byte value,
// long runs, incompressible data, streams of several buffers, memory
// exhaustion with the tree cut back, and damaged streams.
//
// Every test compares the decoded bytes with the original exactly and checks
// that the encoder and the decoder end with the same model state.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/aux_predictors.h"
#include "model/coded_buffer.h"
#include "model/context_tree.h"
#include "model/model_digest.h"
#include "model/model_memory.h"
#include "model/model_start.h"
#include "model/store_decision.h"
#include "model/symbol_coder.h"
#include "tests/model/coding_test_support.h"
#include "tests/test_build.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZUBRECA_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUBRECA_UNDER_ASAN 1
#endif
#endif
#ifndef ZUBRECA_UNDER_ASAN
#define ZUBRECA_UNDER_ASAN 0
#endif

namespace zubreca {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr bool kUnderSanitizer = ZUBRECA_UNDER_ASAN != 0;
constexpr int kSweepOrders[] = {2, 3, 5, 16, 128};
// The corpus sweep codes every file whole at the default order and its first
// 256 KiB at the other orders, which keeps the suite within minutes. With
// ZUBRECA_FULL_SWEEP=1 in the environment every file is coded whole at every
// order (about 20 minutes of one core). The sanitizer build, many times
// slower, keeps to the files of at most 300 KiB and their first 64 KiB.
constexpr size_t kSweepHead = kUnderSanitizer ? 64 * 1024 : 256 * 1024;
constexpr std::uintmax_t kSanitizerSweepLimit = 300 * 1024;
constexpr int kOutputSize = 4 << 20;

fs::path Corpus() { return fs::path(testkit::CorpusRoot()); }

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "can't open " << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Prefix(const Bytes& bytes, size_t n) { return Bytes(bytes.begin(), bytes.begin() + std::min(n, bytes.size())); }


std::unique_ptr<DATA_BUFFER> ReadingBuffer(const Bytes& bytes, int maxOrder) {
  auto buffer = std::make_unique<DATA_BUFFER>(static_cast<int>(bytes.size()), maxOrder);
  EXPECT_EQ(buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
  buffer->flip();
  return buffer;
}

Bytes Contents(const DATA_BUFFER& buffer) {
  if (buffer.length == 0) return {};
  return Bytes(buffer.data(), buffer.data() + buffer.length);
}

FILE* StreamHolding(const Bytes& bytes) {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  rewind(f);
  return f;
}

struct ENCODED {
  Bytes stream;
  uint64_t digest = 0;
  bool restarted = false;
};

struct DECODED {
  Bytes bytes;
  uint64_t digest = 0;
  bool restarted = false;
  long consumed = 0;  // stream bytes read
  bool hitEnd = false;
  bool sound = false;  // what DecodeBuffer said of the stream's end
};

// The digest reads the whole estimator state (tens of megabytes); loops
// over many damaged streams leave it out.
enum class DIGEST { kTake, kSkip };

// Whether the coder's copy of the root's frequencies by symbol agrees with
// the root's table. The digest does not see the copy: it reads the tree.
bool RootCopyAgrees() {
  const CONTEXT_RECORD* root = Context(pos.root);
  const SYMBOL_STATE* table = root->lastIndex ? States(root) : &root->oneState;
  uint8_t freq[256] = {};
  uint32_t sum = 0;
  for (int i = 0; i <= root->lastIndex; ++i) {
    freq[table[i].symbol] = table[i].freq;
    sum += table[i].freq;
  }
  return std::memcmp(freq, rootFreqs.freq, sizeof freq) == 0 && sum == rootFreqs.sum && rootFreqs.placesExact();
}

ENCODED Encode(DATA_BUFFER* buffer, DIGEST digest = DIGEST::kTake) {
  ENCODED e;
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  if (!f) return e;
  {
    QUIET_STDOUT quiet;
    EncodeBuffer(f, buffer);
  }
  if (digest == DIGEST::kTake) {
    e.digest = ModelDigest();
    EXPECT_TRUE(RootCopyAgrees()) << "the encoder's copy of the root's frequencies strayed";
    EXPECT_GE(tableFreqs.entriesInStep(), 0) << "the encoder's copy of a long table's frequencies strayed";
  }
  e.restarted = ModelRestarted();
  e.stream = WholeStream(f);
  fclose(f);
  return e;
}

ENCODED Encode(const Bytes& bytes, int maxOrder = kMaxOrder, DIGEST digest = DIGEST::kTake) {
  auto buffer = ReadingBuffer(bytes, maxOrder);
  return Encode(buffer.get(), digest);
}

DECODED Decode(const Bytes& stream, int maxOrder = kMaxOrder, DIGEST digest = DIGEST::kTake,
               uint32_t limit = kDecodeLimit + 1) {
  DECODED d;
  FILE* f = StreamHolding(stream);
  if (!f) return d;
  DATA_BUFFER out(kOutputSize, maxOrder, nullptr);
  {
    QUIET_STDOUT quiet;
    d.sound = DecodeBuffer(&out, f, limit);
  }
  if (digest == DIGEST::kTake) {
    d.digest = ModelDigest();
    EXPECT_TRUE(RootCopyAgrees()) << "the decoder's copy of the root's frequencies strayed";
    EXPECT_GE(tableFreqs.entriesInStep(), 0) << "the decoder's copy of a long table's frequencies strayed";
  }
  d.restarted = ModelRestarted();
  d.consumed = ftell(f);
  d.hitEnd = feof(f) != 0;
  d.bytes = Contents(out);
  fclose(f);
  return d;
}

uint32_t StoredLength(const Bytes& stream) {
  return stream[1] | stream[2] << 8 | stream[3] << 16 | static_cast<uint32_t>(stream[4]) << 24;
}

// The framing every coded buffer must have: model number 0 and coded bytes
// no longer than the stored form, or the stored form exactly.
void ExpectFraming(const Bytes& original, const Bytes& stream) {
  ASSERT_FALSE(stream.empty());
  ASSERT_LE(stream.size(), original.size() + 5);
  if (stream[0] == 0xFF) {
    ASSERT_EQ(stream.size(), original.size() + 5);
    EXPECT_EQ(StoredLength(stream), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), stream.begin() + 5));
  } else {
    EXPECT_EQ(stream[0], 0) << "no stored model is used";
  }
}

// Encodes, decodes and checks everything a sound round trip promises.
// Returns the coded stream.
Bytes ExpectRoundTrip(const Bytes& original, int maxOrder = kMaxOrder, DIGEST digest = DIGEST::kTake) {
  const ENCODED e = Encode(original, maxOrder, digest);
  ExpectFraming(original, e.stream);
  const DECODED d = Decode(e.stream, maxOrder, digest);
  EXPECT_EQ(d.bytes.size(), original.size());
  EXPECT_TRUE(d.bytes == original) << "decoded bytes differ";
  EXPECT_EQ(d.consumed, static_cast<long>(e.stream.size())) << "the decoder must read its buffer's bytes exactly";
  EXPECT_FALSE(d.hitEnd) << "a sound stream is never read past its end";
  EXPECT_TRUE(d.sound) << "a sound stream ends exactly";
  EXPECT_EQ(d.digest, e.digest) << "encoder and decoder models differ";
  EXPECT_EQ(d.restarted, e.restarted);
  return e.stream;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng() >> 24);
  return bytes;
}

class ModelRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedOrder_ = modelOrder;
    modelOrder = kDefaultOrder;
    ASSERT_TRUE(MODEL_MEMORY::reserve(256));
  }
  void TearDown() override {
    MODEL_MEMORY::release();
    modelOrder = savedOrder_;
  }

 private:
  int savedOrder_ = kDefaultOrder;
};

// ---------------------------------------------------------------------------
// Corpus sweep: every corpus file at every order in the sweep, 256 MB.

struct SWEEP_CASE {
  fs::path file;
  int order;
  size_t head;  // bytes coded from the file's start; 0 for all of it
};

// The label leaves out how much of the file is coded: test discovery runs
// without ZUBRECA_FULL_SWEEP, so it could not tell.
void PrintTo(const SWEEP_CASE& c, std::ostream* os) {
  *os << fs::relative(c.file, Corpus()).string() << " at order " << c.order;
}

std::vector<SWEEP_CASE> SweepCases() {
  const char* full = getenv("ZUBRECA_FULL_SWEEP");
  const bool wholeFiles = !kUnderSanitizer && full && strcmp(full, "1") == 0;
  std::vector<fs::path> files;
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(Corpus(), error)) {
    if (!entry.is_regular_file()) continue;
    if (kUnderSanitizer && entry.file_size() > kSanitizerSweepLimit) continue;
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<SWEEP_CASE> cases;
  for (const auto& f : files) {
    const bool small = fs::file_size(f, error) <= kSweepHead;
    for (int order : kSweepOrders) {
      const bool whole = wholeFiles || small || order == kDefaultOrder;
      cases.push_back({f, order, whole ? 0 : kSweepHead});
    }
  }
  return cases;
}

std::string SweepName(const ::testing::TestParamInfo<SWEEP_CASE>& info) {
  std::string name = fs::relative(info.param.file, Corpus()).string();
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name + "_o" + std::to_string(info.param.order);
}

class CorpusSweepTest : public ModelRoundTripTest, public ::testing::WithParamInterface<SWEEP_CASE> {};

TEST_P(CorpusSweepTest, FileRoundTripsWithMatchingModels) {
  const SWEEP_CASE& c = GetParam();
  modelOrder = c.order;
  Bytes original = ReadFile(c.file);
  ENCODED e;
  if (c.head == 0) {
    // Loaded the way the program loads a file.
    FILE* in = fopen(c.file.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    DATA_BUFFER source(in, kMaxOrder);
    fclose(in);
    ASSERT_EQ(Contents(source), original);
    e = Encode(&source);
  } else {
    original = Prefix(original, c.head);
    e = Encode(original);
  }
  ExpectFraming(original, e.stream);
  const DECODED d = Decode(e.stream);
  ASSERT_EQ(d.bytes.size(), original.size());
  EXPECT_TRUE(d.bytes == original) << "decoded bytes differ";
  EXPECT_EQ(d.consumed, static_cast<long>(e.stream.size()));
  EXPECT_FALSE(d.hitEnd);
  EXPECT_EQ(d.digest, e.digest) << "encoder and decoder models differ";
  EXPECT_EQ(d.restarted, e.restarted);
}

// Without the corpus the sweeps have no cases; the tests that need it say
// they were skipped.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusSweepTest);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SmallMemorySweepTest);
INSTANTIATE_TEST_SUITE_P(Corpus, CorpusSweepTest, ::testing::ValuesIn(SweepCases()), SweepName);

// Every corpus file again with 4 and 8 MB of model memory, where the tree is
// cut back again and again on the larger files.
struct SMALL_MEMORY_CASE {
  fs::path file;
  uint32_t megabytes;
};

void PrintTo(const SMALL_MEMORY_CASE& c, std::ostream* os) {
  *os << fs::relative(c.file, Corpus()).string() << " with " << c.megabytes << " MB";
}

std::vector<SMALL_MEMORY_CASE> SmallMemoryCases() {
  std::vector<SMALL_MEMORY_CASE> cases;
  for (const SWEEP_CASE& c : SweepCases()) {
    if (c.order != kDefaultOrder) continue;
    for (uint32_t mb : {4u, 8u}) cases.push_back({c.file, mb});
  }
  return cases;
}

class SmallMemorySweepTest : public ModelRoundTripTest,
                             public ::testing::WithParamInterface<SMALL_MEMORY_CASE> {};

TEST_P(SmallMemorySweepTest, FileRoundTripsThroughCutBacks) {
  const SMALL_MEMORY_CASE& c = GetParam();
  ASSERT_TRUE(MODEL_MEMORY::reserve(c.megabytes));
  const Bytes original = ReadFile(c.file);
  const ENCODED e = Encode(original);
  const DECODED d = Decode(e.stream);
  ASSERT_EQ(d.bytes.size(), original.size());
  EXPECT_TRUE(d.bytes == original) << "decoded bytes differ";
  EXPECT_EQ(d.digest, e.digest) << "encoder and decoder models differ";
  EXPECT_EQ(d.restarted, e.restarted);
  // Large texts must have filled the block; a cut-back shows in the flag.
  if (c.megabytes == 4 && original.size() > (2u << 20)) {
    EXPECT_TRUE(e.restarted);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SmallMemory, SmallMemorySweepTest, ::testing::ValuesIn(SmallMemoryCases()),
    [](const ::testing::TestParamInfo<SMALL_MEMORY_CASE>& info) {
      std::string name = fs::relative(info.param.file, Corpus()).string();
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name + "_m" + std::to_string(info.param.megabytes);
    });

// ---------------------------------------------------------------------------
// Sizes, byte values and runs.

TEST_F(ModelRoundTripTest, EmptyBufferIsFiveStoredBytes) {
  const ENCODED e = Encode(Bytes{});
  EXPECT_EQ(e.stream, (Bytes{0xFF, 0, 0, 0, 0}));
  const DECODED d = Decode(e.stream);
  EXPECT_TRUE(d.bytes.empty());
  EXPECT_EQ(d.consumed, 5);
}

// The followers of a byte's earlier occurrences are stamped with the round
// the next byte's candidates compare against: after "xaxbx" the 'a' that
// followed the first x is stamped, while the 'b' after the latest x is the
// recency follower instead.
TEST_F(ModelRoundTripTest, RecencyStampsCarryTheNextBytesRound) {
  const ENCODED e = Encode(Bytes{'x', 'a', 'x', 'b', 'x'});
  ASSERT_FALSE(e.stream.empty());
  EXPECT_TRUE(aux.followedRecently('a', MaskRound()));
  EXPECT_FALSE(aux.followedRecently('b', MaskRound()));
  EXPECT_EQ(aux.recencyFollower, 'b');
}

TEST_F(ModelRoundTripTest, SmallSizesOfTextPatternsAndNoise) {
  NEEDS_CORPUS();
  const Bytes text = ReadFile(Corpus() / "canterbury" / "alice29.txt");
  for (size_t n : {0, 1, 2, 255, 256, 257, 512}) {
    SCOPED_TRACE("length " + std::to_string(n));
    Bytes pattern(n);
    for (size_t i = 0; i < n; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
    Bytes same(n, 'x');
    for (const Bytes* input : {&pattern, &same}) ExpectRoundTrip(*input);
    const Bytes prose = Prefix(text, n);
    const Bytes proseStream = ExpectRoundTrip(prose);
    if (n == 512) {
      EXPECT_LT(proseStream.size(), n) << "512 bytes of prose must shrink";
    }
    const Bytes noise = RandomBytes(n, static_cast<uint32_t>(n));
    const Bytes noiseStream = ExpectRoundTrip(noise);
    if (n >= 255) {
      EXPECT_EQ(noiseStream[0], 0xFF) << "noise is stored";
    }
  }
}

// A buffer without structure is stored without running the model (the
// model's digest stays as it was); a buffer with structure anywhere is
// modelled, even when most of it is noise.
TEST_F(ModelRoundTripTest, OnlyBuffersWithoutStructureSkipTheModel) {
  NEEDS_CORPUS();
  const Bytes text = ReadFile(Corpus() / "canterbury" / "alice29.txt");
  ExpectRoundTrip(Prefix(text, 1000));  // the model the noise must leave alone
  const Bytes noise = RandomBytes(1 << 16, 11);
  const uint64_t before = ModelDigest();
  const Bytes noiseStream = ExpectRoundTrip(noise);
  ASSERT_EQ(noiseStream.size(), noise.size() + 5);
  EXPECT_EQ(noiseStream[0], 0xFF);
  EXPECT_EQ(ModelDigest(), before) << "the model ran over noise";

  // Text, then noise, then text again.
  Bytes mixed = Prefix(text, 20000);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  mixed.insert(mixed.end(), text.begin() + 20000, text.begin() + 40000);
  const Bytes mixedStream = ExpectRoundTrip(mixed);
  EXPECT_EQ(mixedStream[0], 0);
  EXPECT_LT(mixedStream.size(), noise.size() + 20000) << "the text must still shrink";

  // 16-bit samples whose low byte is noise and whose high byte wanders.
  std::mt19937 rng(5);
  Bytes samples;
  int high = 128;
  for (int i = 0; i < 1 << 15; ++i) {
    high = std::clamp(high + static_cast<int>(rng() % 3) - 1, 0, 255);
    samples.push_back(static_cast<uint8_t>(rng() >> 24));
    samples.push_back(static_cast<uint8_t>(high));
  }
  const Bytes samplesStream = ExpectRoundTrip(samples);
  EXPECT_EQ(samplesStream[0], 0);
  EXPECT_LT(samplesStream.size(), samples.size() * 9 / 10) << "the high bytes must shrink";
}

// Outside text, the tails of long candidate lists that the features do not
// find cheaply are coded by value: on recorded audio and on samples whose
// low byte is noise they are, with encoder and decoder in step; text is
// always coded one candidate at a time.
// Pairs of a random low byte and a high byte that wanders slowly, like
// 16-bit samples with noise in their low bits.
Bytes NoiseInTheLowByte(int pairs, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes;
  for (int i = 0, high = 100; i < pairs; ++i) {
    high = std::clamp(high + static_cast<int>(rng() % 5) - 2, 0, 255);
    bytes.push_back(static_cast<uint8_t>(rng() >> 24));
    bytes.push_back(static_cast<uint8_t>(high));
  }
  return bytes;
}

TEST_F(ModelRoundTripTest, TailsOfLongListsAreCodedByValueOnlyOutsideText) {
  NEEDS_CORPUS();
  const Bytes noisyLow = NoiseInTheLowByte(1 << 15, 9);
  const struct {
    const char* name;
    Bytes bytes;
    bool byValue;
  } cases[] = {
      {"stereo audio", Prefix(ReadFile(Corpus() / "samples" / "front_stereo.wav"), 120000), true},
      {"noise in the low byte", noisyLow, true},
      {"text", Prefix(ReadFile(Corpus() / "canterbury" / "lcet10.txt"), 120000), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ENCODED e = Encode(c.bytes);
    const uint32_t encoded = TailsCodedByValue();
    const uint32_t groups = ProposedGroupsDecided();
    const DECODED d = Decode(e.stream);
    EXPECT_TRUE(d.bytes == c.bytes);
    EXPECT_EQ(d.digest, e.digest);
    EXPECT_EQ(TailsCodedByValue(), encoded);
    EXPECT_EQ(ProposedGroupsDecided(), groups);
    // The proposed candidates of those lists may go as a group.
    if (c.byValue) {
      EXPECT_GT(encoded, c.bytes.size() / 20);
      EXPECT_GT(groups, c.bytes.size() / 100);
    } else {
      EXPECT_EQ(encoded, 0u);
      EXPECT_EQ(groups, 0u);
    }
  }
}

// The frequencies by symbol of long tables are kept in copies that must
// follow every change to the tables: each round trip checks them (and the
// sweeps with 4 and 8 MB check them through cut-backs). Binary data has
// long tables to keep.
TEST_F(ModelRoundTripTest, CopiesOfLongTablesStayInStep) {
  const Bytes noisyLow = NoiseInTheLowByte(1 << 16, 17);
  const ENCODED e = Encode(noisyLow);
  EXPECT_GT(tableFreqs.entriesInStep(), 16);
  const DECODED d = Decode(e.stream);
  EXPECT_TRUE(d.bytes == noisyLow);
  EXPECT_EQ(d.digest, e.digest);
  EXPECT_GT(tableFreqs.entriesInStep(), 16);
}

// Tails of lists reached by an escape that do not go by value are coded
// after one decision against the escape, and their favourite is offered
// first: a spreadsheet's are, a program's go by value nearly all, and a
// text's are neither.
TEST_F(ModelRoundTripTest, CheapTailsAfterAnEscapeAreDecidedFirst) {
  NEEDS_CORPUS();
  const struct {
    const char* file;
    bool decided;
  } cases[] = {{"canterbury/kennedy.xls", true}, {"x86/notepad.exe", false}, {"canterbury/lcet10.txt", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes bytes = Prefix(ReadFile(Corpus() / c.file), kUnderSanitizer ? 60000 : 200000);
    const ENCODED e = Encode(bytes);
    const uint32_t encoded = EscapedTailsDecided();
    const uint32_t favourites = FavouritesFound();
    const uint32_t byValue = TailsCodedByValue();
    const DECODED d = Decode(e.stream);
    EXPECT_TRUE(d.bytes == bytes);
    EXPECT_EQ(d.digest, e.digest);
    EXPECT_EQ(EscapedTailsDecided(), encoded);
    EXPECT_EQ(FavouritesFound(), favourites);
    if (c.decided) {
      EXPECT_GT(encoded, bytes.size() / 100);
      EXPECT_GT(favourites, bytes.size() / 100);
    } else {
      EXPECT_LT(encoded * 100, std::max(byValue, 1u));
      EXPECT_LT(favourites, 20u);
    }
  }
}

TEST(StoreDecision, SpreadAloneOrFollowersTellStructure) {
  Bytes cycles;  // every value equally often, in a fixed order
  for (int r = 0; r < 32; ++r)
    for (int v = 0; v < 256; ++v) cycles.push_back(static_cast<uint8_t>(v));
  EXPECT_DOUBLE_EQ(OrderZeroBits(cycles.data(), cycles.size()), 8.0);
  EXPECT_GT(FollowerRepeatRate(cycles.data(), cycles.size()), 0.95);
  EXPECT_FALSE(ShouldStoreUnmodelled(cycles.data(), cycles.size())) << "spread, but each byte foretells the next";

  const Bytes same(8192, 'a');
  EXPECT_DOUBLE_EQ(OrderZeroBits(same.data(), same.size()), 0.0);
  EXPECT_FALSE(ShouldStoreUnmodelled(same.data(), same.size()));

  Bytes noise(1 << 16);
  std::mt19937 rng(7);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  EXPECT_GT(OrderZeroBits(noise.data(), noise.size()), 7.99);
  EXPECT_LT(FollowerRepeatRate(noise.data(), noise.size()), 0.006);
  EXPECT_TRUE(ShouldStoreUnmodelled(noise.data(), noise.size()));
  EXPECT_FALSE(ShouldStoreUnmodelled(noise.data(), kShortestJudgedBuffer - 1)) << "too short to judge";
}

TEST(StoreDecision, NoCorpusFileSkipsTheModel) {
  NEEDS_CORPUS();
  for (const auto& entry : fs::recursive_directory_iterator(Corpus())) {
    if (!entry.is_regular_file()) continue;
    const Bytes bytes = ReadFile(entry.path());
    EXPECT_FALSE(ShouldStoreUnmodelled(bytes.data(), bytes.size())) << entry.path();
  }
}

TEST_F(ModelRoundTripTest, EveryByteValue) {
  Bytes once(256);
  std::iota(once.begin(), once.end(), 0);
  ExpectRoundTrip(once);

  Bytes cycles;
  for (int r = 0; r < 64; ++r) cycles.insert(cycles.end(), once.begin(), once.end());
  const Bytes cycleStream = ExpectRoundTrip(cycles);
  EXPECT_LT(cycleStream.size(), cycles.size() / 8) << "a repeated cycle is predictable";

  Bytes descending(once.rbegin(), once.rend());
  Bytes shuffled;
  std::mt19937 rng(256);
  for (int r = 0; r < 64; ++r) {
    Bytes p = once;
    std::shuffle(p.begin(), p.end(), rng);
    shuffled.insert(shuffled.end(), p.begin(), p.end());
  }
  ExpectRoundTrip(descending);
  ExpectRoundTrip(shuffled);

  // Runs of every value in one buffer, and each value alone in a buffer of
  // its own: every symbol as the first and only one of a fresh model (a
  // sample of values in the sanitizer build, where a model start is slow).
  Bytes runs;
  for (int v = 0; v < 256; ++v) runs.insert(runs.end(), 300, static_cast<uint8_t>(v));
  ExpectRoundTrip(runs);
  for (int v = 0; v < 256; v += kUnderSanitizer ? 17 : 1) {
    SCOPED_TRACE("byte " + std::to_string(v));
    ExpectRoundTrip(Bytes(300, static_cast<uint8_t>(v)), 5, v % 64 == 0 ? DIGEST::kTake : DIGEST::kSkip);
  }
  for (int v : {63, 64, 127, 128, 255}) ExpectRoundTrip(Bytes(300, static_cast<uint8_t>(v)), 5);
}

TEST_F(ModelRoundTripTest, LongRunsOfOneByte) {
  const Bytes run100k(100000, 'a');
  EXPECT_LT(ExpectRoundTrip(run100k).size(), 64u);
  const Bytes run1m(1000000, 'a');
  EXPECT_LT(ExpectRoundTrip(run1m).size(), 128u);

  Bytes zerosThenOnes(300000, 0x00);
  zerosThenOnes.insert(zerosThenOnes.end(), 300000, 0xFF);
  EXPECT_LT(ExpectRoundTrip(zerosThenOnes).size(), 256u);
  if (!kUnderSanitizer) {
    modelOrder = 2;
    EXPECT_LT(ExpectRoundTrip(zerosThenOnes).size(), 256u);
  }
}

TEST_F(ModelRoundTripTest, RandomDataIsStoredVerbatim) {
  const std::vector<size_t> lengths = kUnderSanitizer ? std::vector<size_t>{1000, 20000}
                                                      : std::vector<size_t>{1000, 65536, 131072};
  for (size_t n : lengths) {
    SCOPED_TRACE("length " + std::to_string(n));
    const Bytes noise = RandomBytes(n, 1234567 + static_cast<uint32_t>(n));
    const Bytes stream = ExpectRoundTrip(noise);
    ASSERT_EQ(stream.size(), n + 5);
    EXPECT_EQ(stream[0], 0xFF);
    EXPECT_EQ(StoredLength(stream), n);
    EXPECT_TRUE(std::equal(noise.begin(), noise.end(), stream.begin() + 5));
  }
}

// ---------------------------------------------------------------------------
// Long-range repeats: the match model makes a repeat nearly free however
// far back its original lies and whatever the tree has forgotten.

// A block of noise, `gap` zero bytes, then the block again; the repeat must
// cost at most a fiftieth of the block.
TEST_F(ModelRoundTripTest, RepeatsAcrossAnyDistanceCostAlmostNothing) {
  const std::vector<size_t> gaps = kUnderSanitizer ? std::vector<size_t>{1000, 65536}
                                                   : std::vector<size_t>{1000, 65536, 1 << 20, 100 << 20};
  const Bytes block = RandomBytes(8000, 77);
  for (const size_t gap : gaps) {
    SCOPED_TRACE("gap " + std::to_string(gap));
    Bytes once = block;
    once.resize(block.size() + gap, 0);
    Bytes twice = once;
    twice.insert(twice.end(), block.begin(), block.end());
    const DIGEST digest = gap > (1 << 20) ? DIGEST::kSkip : DIGEST::kTake;
    const size_t first = Encode(once, kMaxOrder, DIGEST::kSkip).stream.size();
    const size_t both = ExpectRoundTrip(twice, kMaxOrder, digest).size();
    EXPECT_LT(both, first + block.size() / 50);
  }
}

// The same noise twice, the copy with one byte in a thousand changed: each
// change costs a few bytes, not the dozens of bytes after it. (The noise
// alone would be stored; coded, it takes about 1% more than its size.)
TEST_F(ModelRoundTripTest, RepeatsWithSmallChangesCostLittleMore) {
  const Bytes block = RandomBytes(kUnderSanitizer ? 20000 : 100000, 78);
  Bytes changed = block;
  for (size_t i = 500; i < changed.size(); i += 1000) changed[i] ^= 0xA5;
  Bytes twice = block;
  twice.insert(twice.end(), changed.begin(), changed.end());
  EXPECT_LT(ExpectRoundTrip(twice).size(), block.size() + block.size() / 40);
}

// Pseudo-English of random words, long enough to fill a 4 MB model block
// many times, then the same text again: the match model does not forget
// when the tree is cut back.
TEST(ModelRepeatAfterCutBacks, TextRepeatedAfterCutBacksCostsAlmostNothing) {
  const int savedOrder = modelOrder;
  modelOrder = kDefaultOrder;
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  std::mt19937 rng(79);
  std::vector<std::string> words;
  for (int w = 0; w < 3000; ++w) {
    std::string word;
    for (int k = 0, n = 2 + static_cast<int>(rng() % 8); k < n; ++k) word += static_cast<char>('a' + rng() % 26);
    words.push_back(word);
  }
  Bytes text;
  while (text.size() < (kUnderSanitizer ? 500000u : 1500000u)) {
    const std::string& word = words[rng() % words.size()];
    text.insert(text.end(), word.begin(), word.end());
    text.push_back(rng() % 12 == 0 ? '\n' : ' ');
  }
  Bytes twice = text;
  twice.insert(twice.end(), text.begin(), text.end());
  const ENCODED once = Encode(text);
  EXPECT_TRUE(once.restarted) << "the text alone must fill the block";
  const ENCODED e = Encode(twice);
  const DECODED d = Decode(e.stream);
  EXPECT_TRUE(d.bytes == twice);
  EXPECT_EQ(d.digest, e.digest);
  EXPECT_TRUE(d.sound);
  EXPECT_LT(e.stream.size(), once.stream.size() + once.stream.size() / 50);
  MODEL_MEMORY::release();
  modelOrder = savedOrder;
}

// ---------------------------------------------------------------------------
// Determinism, model state and order limits.

TEST_F(ModelRoundTripTest, EncodingTwiceGivesIdenticalStreams) {
  NEEDS_CORPUS();
  const Bytes alice = Prefix(ReadFile(Corpus() / "canterbury" / "alice29.txt"), 60000);
  const Bytes sum = ReadFile(Corpus() / "canterbury" / "sum");
  for (int order : {2, 16, 128}) {
    SCOPED_TRACE("order " + std::to_string(order));
    modelOrder = order;
    const ENCODED first = Encode(alice);
    const ENCODED other = Encode(sum);
    const ENCODED again = Encode(alice);
    EXPECT_EQ(first.stream, again.stream) << "a buffer's coding must not depend on earlier buffers";
    EXPECT_EQ(first.digest, again.digest);
    EXPECT_NE(first.digest, other.digest);

    const DECODED d1 = Decode(first.stream);
    const DECODED d2 = Decode(other.stream);
    const DECODED d3 = Decode(first.stream);
    EXPECT_EQ(d1.bytes, alice);
    EXPECT_EQ(d2.bytes, sum);
    EXPECT_EQ(d3.bytes, alice);
    EXPECT_EQ(d1.digest, first.digest);
    EXPECT_EQ(d3.digest, first.digest);
  }
}

TEST_F(ModelRoundTripTest, EncoderAndDecoderModelsAgreeOnRealFiles) {
  NEEDS_CORPUS();
  struct CASE {
    const char* file;
    int order;
    size_t limit;
  };
  const CASE cases[] = {
      {"canterbury/alice29.txt", 2, 200000},     {"canterbury/alice29.txt", 5, 200000},
      {"canterbury/alice29.txt", 128, 200000},   {"canterbury/sum", 3, 200000},
      {"canterbury/kennedy.xls", 16, 200000},    {"canterbury/ptt5", 128, 200000},
      {"x86/notepad.exe", 16, 150000},           {"samples/front_center.wav", 3, 100000},
      {"records/include_paths.bin", 128, 150000}, {"canterbury/cp.html", 16, 200000},
  };
  for (const CASE& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " order " + std::to_string(c.order));
    modelOrder = c.order;
    ExpectRoundTrip(Prefix(ReadFile(Corpus() / c.file), kUnderSanitizer ? c.limit / 5 : c.limit));
  }
}

TEST_F(ModelRoundTripTest, BufferOrderLimitActsLikeTheRunOrder) {
  NEEDS_CORPUS();
  const Bytes text = Prefix(ReadFile(Corpus() / "canterbury" / "lcet10.txt"), 80000);
  modelOrder = 5;
  const ENCODED byRun = Encode(text, 128);
  modelOrder = 128;
  const ENCODED byBuffer = Encode(text, 5);
  modelOrder = 16;
  const ENCODED byBoth = Encode(text, 5);
  EXPECT_EQ(byRun.stream, byBuffer.stream);
  EXPECT_EQ(byRun.stream, byBoth.stream);
  EXPECT_EQ(byRun.digest, byBuffer.digest);

  modelOrder = 128;
  const DECODED d = Decode(byBuffer.stream, 5);
  EXPECT_EQ(d.bytes, text);
  EXPECT_EQ(d.digest, byBuffer.digest);

  modelOrder = 2;
  const ENCODED order2 = Encode(text);
  EXPECT_NE(order2.stream, byRun.stream);
  EXPECT_LT(byRun.stream.size(), order2.stream.size()) << "order 5 must beat order 2 on English text";
}

// ---------------------------------------------------------------------------
// Streams of several buffers and output buffers that already hold bytes.

TEST_F(ModelRoundTripTest, BuffersFollowEachOtherInOneStream) {
  NEEDS_CORPUS();
  const std::vector<Bytes> parts = {
      Prefix(ReadFile(Corpus() / "canterbury" / "fields.c"), 11150),
      RandomBytes(5000, 99),
      Bytes{},
      ReadFile(Corpus() / "canterbury" / "grammar.lsp"),
      Bytes(20000, 'z'),
      Prefix(ReadFile(Corpus() / "x86" / "kernel32.dll"), 40000),
  };
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  const char kLead[] = "archive lead bytes";
  fwrite(kLead, 1, sizeof kLead, f);
  std::vector<off_t> ends;
  std::vector<uint64_t> digests;
  for (const Bytes& part : parts) {
    auto buffer = ReadingBuffer(part, kMaxOrder);
    {
      QUIET_STDOUT quiet;
      EncodeBuffer(f, buffer.get());
    }
    digests.push_back(ModelDigest());
    ends.push_back(ftello(f));
    ASSERT_EQ(ends.back(), static_cast<off_t>(WholeStream(f).size())) << "the coder writes at the end";
    ASSERT_EQ(fseeko(f, 0, SEEK_END), 0);
  }
  const Bytes whole = WholeStream(f);
  EXPECT_EQ(std::string(whole.begin(), whole.begin() + sizeof kLead), std::string(kLead, sizeof kLead));
  EXPECT_EQ(whole[ends[1]], 0xFF) << "the random part is stored";
  EXPECT_EQ(ends[2] - ends[1], 5) << "the empty part is five bytes";

  ASSERT_EQ(fseeko(f, sizeof kLead, SEEK_SET), 0);
  for (size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE("part " + std::to_string(i));
    DATA_BUFFER out(kOutputSize, kMaxOrder, nullptr);
    {
      QUIET_STDOUT quiet;
      DecodeBuffer(&out, f);
    }
    EXPECT_EQ(Contents(out), parts[i]);
    EXPECT_EQ(ftello(f), ends[i]);
    // A stored part leaves the model as its encoder left it, not the decoder.
    const off_t start = i ? ends[i - 1] : static_cast<off_t>(sizeof kLead);
    if (whole[start] == 0) {
      EXPECT_EQ(ModelDigest(), digests[i]);
    }
  }
  EXPECT_EQ(getc(f), EOF);
  fclose(f);
}

TEST_F(ModelRoundTripTest, DecodingAppendsToWhatTheBufferHoldsAndGrowsIt) {
  NEEDS_CORPUS();
  const Bytes text = ReadFile(Corpus() / "canterbury" / "asyoulik.txt");
  const ENCODED e = Encode(text);
  ASSERT_EQ(e.stream[0], 0);

  const Bytes lead = Prefix(ReadFile(Corpus() / "canterbury" / "xargs.1"), 3000);
  FILE* f = StreamHolding(e.stream);
  ASSERT_NE(f, nullptr);
  // A small buffer: it has to grow many times while the text is decoded.
  DATA_BUFFER out(16, kMaxOrder, nullptr);
  for (uint8_t b : lead) out.putByte(b);
  {
    QUIET_STDOUT quiet;
    DecodeBuffer(&out, f);
  }
  EXPECT_FALSE(feof(f));
  EXPECT_EQ(ftell(f), static_cast<long>(e.stream.size()));
  fclose(f);
  Bytes expected = lead;
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_TRUE(Contents(out) == expected);
}

// ---------------------------------------------------------------------------
// Memory exhaustion: the tree is cut back, and the decoder must cut it back
// at exactly the same byte.

class ModelExhaustionTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override { savedOrder_ = modelOrder; }
  void TearDown() override {
    MODEL_MEMORY::release();
    modelOrder = savedOrder_;
  }

 private:
  int savedOrder_ = kDefaultOrder;
};

TEST_P(ModelExhaustionTest, LargeTextRoundTripsAfterCutBacks) {
  NEEDS_CORPUS();
  ASSERT_TRUE(MODEL_MEMORY::reserve(GetParam()));
  modelOrder = kDefaultOrder;
  // The King James Bible, about 4.2 MiB (its first MiB in the sanitizer
  // build).
  Bytes text = ReadFile(Corpus() / "text" / "kjv.txt");
  if (kUnderSanitizer) text.resize(1 << 20);
  const ENCODED e = Encode(text);
  EXPECT_TRUE(e.restarted) << "the model block must have run full";
  ASSERT_EQ(e.stream[0], 0);
  EXPECT_LT(e.stream.size(), text.size() / 3) << "prose still compresses after cut-backs";
  const DECODED d = Decode(e.stream);
  EXPECT_TRUE(d.restarted);
  ASSERT_EQ(d.bytes.size(), text.size());
  EXPECT_TRUE(d.bytes == text);
  EXPECT_EQ(d.consumed, static_cast<long>(e.stream.size()));
  EXPECT_EQ(d.digest, e.digest);
}

TEST_P(ModelExhaustionTest, ConcatenatedTextsRoundTripAfterCutBacks) {
  NEEDS_CORPUS();
  ASSERT_TRUE(MODEL_MEMORY::reserve(GetParam()));
  modelOrder = kDefaultOrder;
  Bytes texts;
  for (const char* name : {"alice29.txt", "asyoulik.txt", "lcet10.txt", "plrabn12.txt"}) {
    const Bytes t = ReadFile(Corpus() / "canterbury" / name);
    texts.insert(texts.end(), t.begin(), t.end());
  }
  if (!kUnderSanitizer) {
    const Bytes again = texts;
    texts.insert(texts.end(), again.rbegin(), again.rend());
  }
  const ENCODED e = Encode(texts);
  EXPECT_TRUE(e.restarted);
  const DECODED d = Decode(e.stream);
  EXPECT_TRUE(d.restarted);
  EXPECT_TRUE(d.bytes == texts);
  EXPECT_EQ(d.digest, e.digest);
}

TEST(ModelMemoryUseTest, SmallTextDoesNotFillTheBlock) {
  NEEDS_CORPUS();
  const int savedOrder = modelOrder;
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  modelOrder = kDefaultOrder;
  const Bytes text = ReadFile(Corpus() / "canterbury" / "fields.c");
  const ENCODED e = Encode(text);
  EXPECT_FALSE(e.restarted);
  const DECODED d = Decode(e.stream);
  EXPECT_FALSE(d.restarted);
  EXPECT_EQ(d.bytes, text);
  MODEL_MEMORY::release();
  modelOrder = savedOrder;
}

INSTANTIATE_TEST_SUITE_P(SmallBlocks, ModelExhaustionTest, ::testing::Values(4u, 8u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "m" + std::to_string(info.param);
                         });

// ---------------------------------------------------------------------------
// Damaged streams: the decoder returns whatever it made of them, reading no
// further than the stream's end.

// Offsets worth damaging: all near both ends, a stride in between.
std::vector<size_t> DamageOffsets(size_t size, size_t ends, size_t stride) {
  std::vector<size_t> offsets;
  for (size_t p = 0; p < size; ++p)
    if (p < ends || p + ends >= size || p % stride == 0) offsets.push_back(p);
  return offsets;
}

TEST_F(ModelRoundTripTest, TruncatedOrFlippedCodedStreamKeepsTheUndamagedPrefix) {
  NEEDS_CORPUS();
  const Bytes text = ReadFile(Corpus() / "canterbury" / "cp.html");
  modelOrder = 5;
  const ENCODED e = Encode(text);
  ASSERT_EQ(e.stream[0], 0);
  const size_t size = e.stream.size();

  for (size_t p : DamageOffsets(size, kUnderSanitizer ? 12 : 48, kUnderSanitizer ? 331 : 61)) {
    SCOPED_TRACE("offset " + std::to_string(p));
    // Cut at p: every byte decoded before the decoder needed byte p is
    // right; the byte during which it ran out may be wrong.
    const DECODED cut = Decode(Bytes(e.stream.begin(), e.stream.begin() + p), kMaxOrder, DIGEST::kSkip);
    EXPECT_LE(cut.consumed, static_cast<long>(p));
    EXPECT_LE(cut.bytes.size(), text.size() + 1);
    EXPECT_FALSE(cut.sound);
    const size_t sound = cut.bytes.empty() ? 0 : cut.bytes.size() - 1;
    ASSERT_TRUE(std::equal(cut.bytes.begin(), cut.bytes.begin() + std::min(sound, text.size()), text.begin()))
        << "a cut stream must decode to a prefix of the text";

    // Flip a bit of byte p: the same bytes come out before it is read. The
    // model number byte is left alone (see the death test below).
    if (p == 0) continue;
    Bytes flipped = e.stream;
    flipped[p] ^= static_cast<uint8_t>(1u << (p % 8));
    // Now and then the digest walks the tree built from the damaged text.
    const DECODED bad = Decode(flipped, kMaxOrder, p % 16 == 1 ? DIGEST::kTake : DIGEST::kSkip);
    EXPECT_FALSE(bad.sound) << "every changed bit shows, even one that changed no decoded byte";
    EXPECT_LE(bad.consumed, static_cast<long>(size));
    ASSERT_GE(bad.bytes.size(), sound);
    ASSERT_TRUE(std::equal(text.begin(), text.begin() + std::min(sound, text.size()), bad.bytes.begin()));
  }
  // The coder is left in a sound state: the intact stream still decodes.
  const DECODED good = Decode(e.stream);
  EXPECT_EQ(good.bytes, text);
  EXPECT_EQ(good.digest, e.digest);
}

TEST_F(ModelRoundTripTest, FlippedBitsAcrossLongStreamsEndCleanly) {
  NEEDS_CORPUS();
  std::vector<Bytes> inputs = {Bytes(200000, 'a'),
                               Prefix(ReadFile(Corpus() / "x86" / "notepad.exe"), 60000),
                               Prefix(ReadFile(Corpus() / "records" / "libstdcxx_dynstr.bin"), 60000)};
  std::mt19937 rng(2024);
  for (const Bytes& input : inputs) {
    const ENCODED e = Encode(input, kMaxOrder, DIGEST::kSkip);
    ASSERT_EQ(e.stream[0], 0);
    const int trials = kUnderSanitizer ? 8 : 24;
    for (int t = 0; t < trials; ++t) {
      Bytes flipped = e.stream;
      const size_t p = 1 + rng() % (flipped.size() - 1);
      flipped[p] ^= static_cast<uint8_t>(1u << (rng() % 8));
      if (t % 3 == 0) {  // and a second one further on
        const size_t q = p + rng() % (flipped.size() - p);
        flipped[q] ^= 0x80;
      }
      SCOPED_TRACE("flip at " + std::to_string(p));
      const DECODED bad = Decode(flipped, kMaxOrder, t % 8 == 0 ? DIGEST::kTake : DIGEST::kSkip);
      EXPECT_LE(bad.consumed, static_cast<long>(flipped.size()));
      EXPECT_LT(bad.bytes.size(), size_t{64} << 20) << "damage must not make the decoder run away";
    }
    EXPECT_EQ(Decode(e.stream, kMaxOrder, DIGEST::kSkip).bytes, input);
  }
}

TEST_F(ModelRoundTripTest, DamagedStoredStreamGivesTheBytesThatArePresent) {
  const Bytes noise = RandomBytes(4000, 77);
  const ENCODED e = Encode(noise);
  ASSERT_EQ(e.stream.size(), noise.size() + 5);
  ASSERT_EQ(e.stream[0], 0xFF);

  for (size_t cut = 0; cut <= e.stream.size(); cut += (cut < 16 ? 1 : 97)) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const DECODED d = Decode(Bytes(e.stream.begin(), e.stream.begin() + cut), kMaxOrder, DIGEST::kSkip);
    EXPECT_EQ(d.bytes, Prefix(noise, cut < 5 ? 0 : cut - 5));
  }
  // A damaged length: shorter gives fewer bytes, longer stops at the end.
  for (int bit = 0; bit < 32; ++bit) {
    SCOPED_TRACE("length bit " + std::to_string(bit));
    Bytes damaged = e.stream;
    damaged[1 + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    const uint32_t length = StoredLength(damaged);
    const DECODED d = Decode(damaged, kMaxOrder, DIGEST::kSkip);
    EXPECT_EQ(d.bytes, Prefix(noise, length));
  }
  // A damaged payload byte comes out damaged and nothing else changes.
  Bytes damaged = e.stream;
  damaged[5 + 1234] ^= 0x10;
  Bytes expected = noise;
  expected[1234] ^= 0x10;
  EXPECT_EQ(Decode(damaged).bytes, expected);
}

// A few dozen coded bytes can stand for a megabyte of one byte; a caller
// that knows the length to expect stops a damaged stream just past it.
TEST_F(ModelRoundTripTest, DecodingStopsAtTheCallersLimit) {
  const Bytes run(1000000, 'a');
  const ENCODED coded = Encode(run, kMaxOrder, DIGEST::kSkip);
  ASSERT_LT(coded.stream.size(), 128u);
  for (const uint32_t limit : {0u, 1u, 1000u, 999999u, 1000000u}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    EXPECT_EQ(Decode(coded.stream, kMaxOrder, DIGEST::kSkip, limit).bytes, Prefix(run, limit));
  }
  // Only a limit above the length leaves room for the end-of-data decision,
  // after which the whole stream has been read (the next buffer starts there).
  const DECODED whole = Decode(coded.stream, kMaxOrder, DIGEST::kSkip, 1000001);
  EXPECT_EQ(whole.bytes, run);
  EXPECT_EQ(whole.consumed, static_cast<long>(coded.stream.size()));
  EXPECT_LT(Decode(coded.stream, kMaxOrder, DIGEST::kSkip, 1000000).consumed, static_cast<long>(coded.stream.size()));

  const Bytes noise = RandomBytes(3000, 5);
  const ENCODED stored = Encode(noise, kMaxOrder, DIGEST::kSkip);
  ASSERT_EQ(stored.stream[0], 0xFF);
  EXPECT_EQ(Decode(stored.stream, kMaxOrder, DIGEST::kSkip, 2000).bytes, Prefix(noise, 2000));
  EXPECT_EQ(Decode(stored.stream, kMaxOrder, DIGEST::kSkip, 3000).bytes, noise);
}

using ModelRoundTripDeathTest = ModelRoundTripTest;

TEST_F(ModelRoundTripDeathTest, UnknownModelNumberEndsTheRun) {
  NEEDS_CORPUS();
  Bytes stream = Encode(ReadFile(Corpus() / "canterbury" / "grammar.lsp")).stream;
  ASSERT_EQ(stream[0], 0);
  stream[0] = 0x01;
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);  // the error is printed on standard output
        FILE* f = StreamHolding(stream);
        DATA_BUFFER out(kOutputSize, kMaxOrder, nullptr);
        DecodeBuffer(&out, f);
      },
      ::testing::ExitedWithCode(255), "model file not found");
}

}  // namespace
}  // namespace zubreca
