// Model library files: lookup of "!Mdl-NNN.mdl" and "!Mdl-Lib.mdl", record
// selection by number and order, the reweighting of loaded tables, suffix
// links of a loaded tree, malformed records (which count as absent), and
// buffers coded with a primed model through the real coder.
//
// Each test runs in a fresh directory of its own, where it writes the model
// files it needs.

#include "model/model_library.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "model/context_tree.h"
#include "model/model_digest.h"
#include "model/model_memory.h"
#include "model/model_start.h"
#include "tests/model/coding_test_support.h"
#include "model/unit_pool.h"
#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using Bytes = std::vector<uint8_t>;
using testkit::TEMP_DIR;

// ---------------------------------------------------------------------------
// Writing model files.

// A context as stored: its symbols in table order, each with a frequency
// (1..64) and maybe a child context.
struct NODE;
struct ENTRY {
  int symbol;
  int freq;
  std::shared_ptr<NODE> child;
};
struct NODE {
  std::vector<ENTRY> entries;

  ENTRY& at(int symbol) {
    for (ENTRY& e : entries)
      if (e.symbol == symbol) return e;
    ADD_FAILURE() << "no symbol " << symbol;
    return entries.front();
  }
  // Gives `symbol` a child context and returns it.
  std::shared_ptr<NODE> grow(int symbol, std::vector<ENTRY> childEntries) {
    ENTRY& e = at(symbol);
    e.child = std::make_shared<NODE>(NODE{std::move(childEntries)});
    return e.child;
  }
};

void Serialize(const NODE& node, Bytes& out) {
  for (size_t i = 0; i < node.entries.size(); ++i) {
    const ENTRY& e = node.entries[i];
    uint8_t b0 = static_cast<uint8_t>((e.freq - 1) & 0x3F);
    if (e.child) b0 |= 0x40;
    if (i + 1 == node.entries.size()) b0 |= 0x80;
    out.push_back(b0);
    out.push_back(static_cast<uint8_t>(e.symbol));
  }
  for (const ENTRY& e : node.entries)
    if (e.child) Serialize(*e.child, out);
}

Bytes Body(const NODE& root) {
  Bytes out;
  Serialize(root, out);
  return out;
}

// A root holding every byte value: `front` first, in that order, then the
// other values in ascending order with frequency `otherFreq`.
std::shared_ptr<NODE> FullRoot(const std::vector<std::pair<int, int>>& front = {}, int otherFreq = 1) {
  auto root = std::make_shared<NODE>();
  std::vector<bool> listed(256, false);
  for (const auto& [symbol, freq] : front) {
    root->entries.push_back(ENTRY{symbol, freq, nullptr});
    listed[symbol] = true;
  }
  for (int s = 0; s < 256; ++s)
    if (!listed[s]) root->entries.push_back(ENTRY{s, otherFreq, nullptr});
  return root;
}

// One record: 3-byte little-endian length, order byte, number byte, body.
// `length` overrides the stored body length when not negative.
Bytes Record(int order, int number, const Bytes& body, long length = -1) {
  const uint32_t l = length < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(length);
  Bytes out = {static_cast<uint8_t>(l), static_cast<uint8_t>(l >> 8), static_cast<uint8_t>(l >> 16),
               static_cast<uint8_t>(order), static_cast<uint8_t>(number)};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void WriteModelFile(const std::string& name, const Bytes& bytes) {
  FILE* f = fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr) << name;
  if (!bytes.empty()) {
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  ASSERT_EQ(fclose(f), 0);
}

// ---------------------------------------------------------------------------
// Coding buffers.


std::unique_ptr<DATA_BUFFER> ReadingBuffer(const Bytes& bytes, int maxOrder = kMaxOrder) {
  auto buffer = std::make_unique<DATA_BUFFER>(static_cast<int>(bytes.size()), maxOrder);
  EXPECT_EQ(buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
  buffer->flip();
  return buffer;
}

struct CODED {
  Bytes stream;
  uint64_t digest = 0;
  bool restarted = false;
};

CODED Encode(const Bytes& text, int number) {
  CODED e;
  auto buffer = ReadingBuffer(text);
  buffer->modelNumber = number;
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  if (!f) return e;
  {
    QUIET_STDOUT quiet;
    EncodeBuffer(f, buffer.get());
  }
  e.digest = ModelDigest();
  e.restarted = ModelRestarted();
  e.stream = WholeStream(f);
  fclose(f);
  return e;
}

FILE* StreamHolding(const Bytes& bytes) {
  FILE* f = tmpfile();
  EXPECT_NE(f, nullptr);
  if (f && !bytes.empty()) {
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  if (f) rewind(f);
  return f;
}

CODED Decode(const Bytes& stream) {
  CODED d;
  FILE* f = StreamHolding(stream);
  if (!f) return d;
  DATA_BUFFER out(1 << 16, kMaxOrder, nullptr);
  {
    QUIET_STDOUT quiet;
    DecodeBuffer(&out, f);
  }
  d.digest = ModelDigest();
  d.restarted = ModelRestarted();
  if (out.length > 0) d.stream.assign(out.data(), out.data() + out.length);
  fclose(f);
  return d;
}

// Codes `text` asking for model `number`, checks the model number byte the
// coder wrote, decodes and compares. Returns the coded stream.
Bytes ExpectRoundTrip(const Bytes& text, int number, int expectedUsed) {
  const CODED e = Encode(text, number);
  EXPECT_FALSE(e.stream.empty());
  if (e.stream.empty()) return {};
  EXPECT_EQ(e.stream[0], expectedUsed) << "model number byte";
  const CODED d = Decode(e.stream);
  EXPECT_TRUE(d.stream == text) << "decoded " << d.stream.size() << " of " << text.size() << " bytes";
  EXPECT_EQ(d.digest, e.digest) << "encoder and decoder end in different model states";
  EXPECT_EQ(d.restarted, e.restarted);
  return e.stream;
}

// Text made of words from a small vocabulary, reproducible from `seed`.
Bytes WordText(size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",     "model ",  "context ", "symbol ", "frequency ", "tree ",   "suffix ",  "order ",
      "library ", "stored ", "primed ",  "buffer ", "coder ",     "range ",  "escape ",  "state ",
      "of ",      "and ",    "a ",       "is ",     "with ",      "from ",   "into ",    "every ",
      "byte ",    "table ",  "root ",    "child ",  "link ",      "first ",  "weight ",  "sum ",
      "\n",       ", ",      ". ",       "The ",    "When ",      "each ",   "record ",  "file "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[rng() % (sizeof kWords / sizeof kWords[0])];
    out.insert(out.end(), w, w + strlen(w));
  }
  out.resize(size);
  return out;
}

// ---------------------------------------------------------------------------
// Inspecting the live tree.

CONTEXT_RECORD* Root() { return Context(pos.root); }

std::vector<SYMBOL_STATE> StatesOf(const CONTEXT_RECORD* c) {
  if (c->lastIndex == 0) return {c->oneState};
  const SYMBOL_STATE* s = States(c);
  return std::vector<SYMBOL_STATE>(s, s + c->lastIndex + 1);
}

const SYMBOL_STATE* StateOf(CONTEXT_RECORD* c, int symbol) {
  const SYMBOL_STATE* s = FindState(c, symbol);
  EXPECT_NE(s, nullptr) << "no symbol " << symbol;
  return s;
}

CONTEXT_RECORD* ChildOf(CONTEXT_RECORD* c, int symbol) {
  const SYMBOL_STATE* s = StateOf(c, symbol);
  if (s == nullptr) return nullptr;
  EXPECT_TRUE(IsContext(s->successor)) << "symbol " << symbol << " has no child";
  return IsContext(s->successor) ? Context(s->successor) : nullptr;
}

uint32_t ChildOffset(CONTEXT_RECORD* c, int symbol) {
  const SYMBOL_STATE* s = StateOf(c, symbol);
  return s ? s->successor : 0;
}

// The root as the plain start lays it out.
void ExpectPlainRoot() {
  const CONTEXT_RECORD* root = Root();
  ASSERT_EQ(root->lastIndex, 255);
  EXPECT_EQ(root->flags, 0xC7);
  EXPECT_EQ(+root->freqSum, 256);
  EXPECT_EQ(+root->suffix, 0u);
  const SYMBOL_STATE* s = States(root);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(s[i].symbol, i);
    EXPECT_EQ(s[i].freq, 1);
    EXPECT_EQ(+s[i].successor, 0u);
  }
}

// Checks what every freshly loaded context must satisfy, walking the tree
// from the root: no pending state, freqSum equal to the stored values, flag
// bit 7 exactly when a symbol is 64 or above, no index or spare bits, no
// symbol twice, children one level deeper whose suffix is the child of the
// same symbol one level up. Returns the number of contexts.
int ExpectSoundLoadedTree() {
  int contexts = 0;
  std::function<void(uint32_t, int)> visit = [&](uint32_t offset, int depth) {
    ++contexts;
    CONTEXT_RECORD* c = Context(offset);
    const std::vector<SYMBOL_STATE> states = StatesOf(c);
    uint32_t sum = 0;
    bool high = false;
    std::vector<bool> seen(256, false);
    for (const SYMBOL_STATE& s : states) {
      EXPECT_GT(s.freq, 0) << "depth " << depth;
      EXPECT_FALSE(seen[s.symbol]) << "symbol twice at depth " << depth;
      seen[s.symbol] = true;
      sum += s.freq;
      high = high || s.symbol >= 64;
    }
    EXPECT_EQ((c->flags & 0x80) != 0, high);
    EXPECT_EQ(c->flags & 0x3F, 0) << "depth " << depth;
    if (c->lastIndex > 0) {
      EXPECT_EQ(+c->freqSum, sum);
    } else {
      EXPECT_EQ(c->flags & 0x40, 0) << "one-symbol contexts are never marked";
    }
    for (const SYMBOL_STATE& s : states) {
      if (s.successor == 0) continue;
      EXPECT_TRUE(IsContext(s.successor));
      if (!IsContext(s.successor)) continue;
      EXPECT_LT(depth, pos.orderLimit);
      CONTEXT_RECORD* d = Context(s.successor);
      uint32_t expected = offset;
      if (depth > 0) {
        const SYMBOL_STATE* up = FindState(Context(c->suffix), s.symbol);
        EXPECT_NE(up, nullptr) << "the suffix lacks symbol " << int{s.symbol};
        expected = up ? up->successor : 0;
      }
      EXPECT_EQ(+d->suffix, expected) << "depth " << depth + 1 << " symbol " << int{s.symbol};
      visit(s.successor, depth + 1);
    }
  };
  visit(pos.root, 0);
  return contexts;
}

// ---------------------------------------------------------------------------

class ModelLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    savedOrder_ = modelOrder;
    modelOrder = kDefaultOrder;
    ASSERT_TRUE(MODEL_MEMORY::reserve(8));
  }
  void TearDown() override {
    modelOrder = savedOrder_;
    ASSERT_EQ(chdir(previous_.c_str()), 0);
  }

  // Starts the model as a buffer of `maxOrder` asking for model `number`
  // does; returns the number loaded.
  int Start(int number, int maxOrder = kMaxOrder) {
    buffer_ = std::make_unique<DATA_BUFFER>(64, maxOrder);
    return StartModel(number, buffer_.get(), 0);
  }

  // The model state right after a plain start.
  uint64_t PlainDigest() {
    Start(0);
    return ModelDigest();
  }

  // A record that must count as absent: the start falls back to the plain
  // root exactly as if there were no model, and a buffer asking for it is
  // coded with model number 0.
  void ExpectAbsent(const Bytes& libraryFile) {
    WriteModelFile("!Mdl-Lib.mdl", libraryFile);
    const uint64_t plain = PlainDigest();
    const uint32_t plainLow = unitPool.lowEdge;
    const uint32_t plainHigh = unitPool.highEdge;
    EXPECT_EQ(Start(9), 0);
    ExpectPlainRoot();
    EXPECT_EQ(ModelDigest(), plain) << "the pool must be as fresh as a plain start";
    EXPECT_EQ(unitPool.lowEdge, plainLow);
    EXPECT_EQ(unitPool.highEdge, plainHigh);
    ExpectRoundTrip(WordText(3000, 5), 9, 0);
  }

  TEMP_DIR dir_;
  std::string previous_;
  int savedOrder_ = 0;
  std::unique_ptr<DATA_BUFFER> buffer_;
};

// ---------------------------------------------------------------------------
// Lookup.

TEST_F(ModelLibrary, NumberZeroNeverLooksForFiles) {
  const Bytes body = Body(*FullRoot({{'A', 9}}));
  WriteModelFile("!Mdl-000.mdl", Record(2, 0, body));
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 0, body));
  EXPECT_EQ(Start(0), 0);
  ExpectPlainRoot();
  EXPECT_EQ(LoadModel(0), 0);
  ExpectPlainRoot();
}

TEST_F(ModelLibrary, NoFilesMeansNoModel) {
  EXPECT_EQ(Start(7), 0);
  ExpectPlainRoot();
}

TEST_F(ModelLibrary, NumberedFileIsPreferredOverTheLibrary) {
  WriteModelFile("!Mdl-007.mdl", Record(2, 7, Body(*FullRoot({{'A', 9}}))));
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 7, Body(*FullRoot({{'B', 9}}))));
  EXPECT_EQ(Start(7), 7);
  EXPECT_EQ(States(Root())[0].symbol, 'A');

  ASSERT_EQ(remove("!Mdl-007.mdl"), 0);
  EXPECT_EQ(Start(7), 7);
  EXPECT_EQ(States(Root())[0].symbol, 'B');
}

TEST_F(ModelLibrary, NumberWithThreeDigitsOrMore) {
  WriteModelFile("!Mdl-042.mdl", Record(2, 42, Body(*FullRoot({{'C', 9}}))));
  WriteModelFile("!Mdl-42.mdl", Record(2, 42, Body(*FullRoot({{'D', 9}}))));
  WriteModelFile("!Mdl-121.mdl", Record(2, 121, Body(*FullRoot({{'E', 9}}))));
  EXPECT_EQ(Start(42), 42);
  EXPECT_EQ(States(Root())[0].symbol, 'C');
  EXPECT_EQ(Start(121), 121);
  EXPECT_EQ(States(Root())[0].symbol, 'E');
}

TEST_F(ModelLibrary, OpenedNumberedFileWithoutTheModelDoesNotFallBack) {
  // The library is only consulted when the numbered file cannot be opened.
  WriteModelFile("!Mdl-007.mdl", Record(2, 8, Body(*FullRoot({{'A', 9}}))));
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 7, Body(*FullRoot({{'B', 9}}))));
  EXPECT_EQ(Start(7), 0);
  ExpectPlainRoot();
}

TEST_F(ModelLibrary, RecordsOfOtherNumbersAreSkipped) {
  WriteModelFile("!Mdl-Lib.mdl", Concat({Record(2, 4, Body(*FullRoot({{'C', 9}}))),
                                         Record(2, 5, Body(*FullRoot({{'D', 9}}))),
                                         Record(2, 6, Body(*FullRoot({{'E', 9}})))}));
  EXPECT_EQ(Start(5), 5);
  EXPECT_EQ(States(Root())[0].symbol, 'D');
  EXPECT_EQ(Start(6), 6);
  EXPECT_EQ(States(Root())[0].symbol, 'E');
  EXPECT_EQ(Start(3), 0);
  ExpectPlainRoot();
}

TEST_F(ModelLibrary, FirstRecordWhoseOrderFitsWins) {
  WriteModelFile("!Mdl-Lib.mdl", Concat({Record(2, 4, Body(*FullRoot({{'C', 9}}))),
                                         Record(6, 3, Body(*FullRoot({{'D', 9}}))),
                                         Record(3, 3, Body(*FullRoot({{'E', 9}}))),
                                         Record(2, 3, Body(*FullRoot({{'F', 9}})))}));
  modelOrder = 128;
  EXPECT_EQ(Start(3), 3);
  EXPECT_EQ(States(Root())[0].symbol, 'D');
  modelOrder = 6;
  EXPECT_EQ(Start(3), 3);
  EXPECT_EQ(States(Root())[0].symbol, 'D');
  modelOrder = 5;
  EXPECT_EQ(Start(3), 3);
  EXPECT_EQ(States(Root())[0].symbol, 'E');
  modelOrder = 2;
  EXPECT_EQ(Start(3), 3);
  EXPECT_EQ(States(Root())[0].symbol, 'F');
  // The buffer's own order limit counts as well.
  modelOrder = 128;
  EXPECT_EQ(Start(3, 3), 3);
  EXPECT_EQ(States(Root())[0].symbol, 'E');
}

TEST_F(ModelLibrary, OrderAndNumberBytesAreSigned) {
  // Order byte 0xFF is -1: it fits every order limit.
  WriteModelFile("!Mdl-Lib.mdl", Record(0xFF, 3, Body(*FullRoot({{'G', 9}}))));
  modelOrder = 2;
  EXPECT_EQ(Start(3), 3);
  EXPECT_EQ(States(Root())[0].symbol, 'G');
  // Number byte 0x85 is -123, never 133.
  WriteModelFile("!Mdl-133.mdl", Record(2, 0x85, Body(*FullRoot({{'H', 9}}))));
  EXPECT_EQ(Start(133), 0);
  ExpectPlainRoot();
  // Negative numbers are never looked up: the coded model number byte could
  // not carry them back to the decoder.
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 0xFB, Body(*FullRoot({{'J', 9}}))));
  EXPECT_EQ(Start(-5), 0);
  ExpectPlainRoot();
  // Order byte 0x80 is -128.
  WriteModelFile("!Mdl-Lib.mdl", Record(0x80, 5, Body(*FullRoot({{'I', 9}}))));
  EXPECT_EQ(Start(5), 5);
  EXPECT_EQ(States(Root())[0].symbol, 'I');
}

TEST_F(ModelLibrary, OrderAboveTheLimitIsNeverUsedByTheCoder) {
  WriteModelFile("!Mdl-Lib.mdl", Record(5, 7, Body(*FullRoot({{'t', 30}, {'e', 20}}))));
  const Bytes text = WordText(4000, 1);
  modelOrder = 4;
  ExpectRoundTrip(text, 7, 0);
  modelOrder = 5;
  ExpectRoundTrip(text, 7, 7);
  modelOrder = 128;
  ExpectRoundTrip(text, 7, 7);
}

// ---------------------------------------------------------------------------
// Reweighting.

TEST_F(ModelLibrary, FirstFrequencyOneMultipliesEverythingByFour) {
  // N = 1: 1 + [N = 1] + [2N < F] + [4N < F] = 4. The stored 64 of 'b'
  // wraps to 0 in the 8-bit field and is raised to 1.
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*FullRoot({{'a', 1}, {'b', 64}, {'c', 63}, {'d', 2}}, 3))));
  ASSERT_EQ(Start(1), 1);
  const CONTEXT_RECORD* root = Root();
  ASSERT_EQ(root->lastIndex, 255);
  const SYMBOL_STATE* s = States(root);
  EXPECT_EQ(s[0].symbol, 'a');
  EXPECT_EQ(s[0].freq, 72);
  EXPECT_GE(s[0].freq, 36);
  EXPECT_EQ(s[1].symbol, 'b');
  EXPECT_EQ(s[1].freq, 1);
  EXPECT_EQ(s[2].freq, 252);
  EXPECT_EQ(s[3].freq, 8);
  uint32_t sum = 0;
  for (int i = 0; i < 256; ++i) {
    if (i >= 4) {
      EXPECT_EQ(s[i].freq, 12) << i;
    }
    EXPECT_EQ(+s[i].successor, 0u);
    sum += s[i].freq;
  }
  EXPECT_EQ(+root->freqSum, sum);
  // 8N < F: the weak first symbol marks the context.
  EXPECT_EQ(root->flags, 0xC0);
  EXPECT_EQ(+root->suffix, 0u);
}

TEST_F(ModelLibrary, FirstFrequencyOneDoublesAtLeastInSmallContexts) {
  auto root = FullRoot();
  root->grow('x', {{'p', 1, nullptr}, {'q', 1, nullptr}});
  root->grow('y', {{'p', 1, nullptr}, {'q', 5, nullptr}, {'r', 7, nullptr}});
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*root)));
  ASSERT_EQ(Start(1), 1);
  for (int symbol : {'x', 'y'}) {
    CONTEXT_RECORD* c = ChildOf(Root(), symbol);
    ASSERT_NE(c, nullptr);
    const std::vector<SYMBOL_STATE> states = StatesOf(c);
    EXPECT_GE(states[0].freq, 36);
    const int stored[2][3] = {{1, 1, 0}, {1, 5, 7}};
    for (size_t i = 1; i < states.size(); ++i) EXPECT_GE(states[i].freq, 2 * stored[symbol - 'x'][i]);
  }
  // x: F = 19, factor 4. y: F = 30, factor 4.
  const std::vector<SYMBOL_STATE> x = StatesOf(ChildOf(Root(), 'x'));
  EXPECT_EQ(x[0].freq, 72);
  EXPECT_EQ(x[1].freq, 4);
  EXPECT_EQ(+ChildOf(Root(), 'x')->freqSum, 76);
  EXPECT_EQ(ChildOf(Root(), 'x')->flags, 0xC0);
  const std::vector<SYMBOL_STATE> y = StatesOf(ChildOf(Root(), 'y'));
  EXPECT_EQ(y[1].freq, 20);
  EXPECT_EQ(y[2].freq, 28);
  EXPECT_EQ(+ChildOf(Root(), 'y')->freqSum, 120);
}

TEST_F(ModelLibrary, StrongFirstSymbolIsNotMarked) {
  // N = 40, F = 255 + 18 = 273: 8N >= F, factor 1 + [80 < F] + [160 < F] = 3.
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*FullRoot({{'e', 40}}))));
  ASSERT_EQ(Start(1), 1);
  const CONTEXT_RECORD* root = Root();
  const SYMBOL_STATE* s = States(root);
  EXPECT_EQ(s[0].symbol, 'e');
  EXPECT_EQ(s[0].freq, 54);
  for (int i = 1; i < 256; ++i) EXPECT_EQ(s[i].freq, 3);
  EXPECT_EQ(+root->freqSum, 54 + 255 * 3);
  EXPECT_EQ(root->flags, 0x80);
}

TEST_F(ModelLibrary, ModeratelyWeakFirstSymbolIsMarked) {
  // N = 10, F = 273: 80 < 273 marks it; factor 1 + 0 + [20 < F] + [40 < F] = 3.
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*FullRoot({{'e', 10}}))));
  ASSERT_EQ(Start(1), 1);
  EXPECT_EQ(Root()->flags, 0xC0);
  EXPECT_EQ(States(Root())[0].freq, 54);
  EXPECT_EQ(States(Root())[1].freq, 3);
}

TEST_F(ModelLibrary, DominantFirstSymbolIsNeverMarked) {
  // N = 64, F = 18 + 255 * 2 = 528: 8N < F, but N >= 64 neither marks nor
  // scales, and F >= 56 does not halve.
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*FullRoot({{'e', 64}}, 2))));
  ASSERT_EQ(Start(1), 1);
  const CONTEXT_RECORD* root = Root();
  EXPECT_EQ(root->flags, 0x80);
  EXPECT_EQ(States(root)[0].freq, 18);
  for (int i = 1; i < 256; ++i) {
    EXPECT_EQ(States(root)[i].freq, 2) << i;
  }
  EXPECT_EQ(+root->freqSum, 528);
}

TEST_F(ModelLibrary, FactorCountsOnlyTheTermsThatHold) {
  auto root = FullRoot();
  // N = 9, F = 18 + 2 = 20: 2N < F holds, 4N < F does not: factor 2.
  root->grow('k', {{'p', 9, nullptr}, {'q', 2, nullptr}});
  // N = 20, F = 18 + 3 = 21: no term holds: factor 1, nothing marked.
  root->grow('m', {{'p', 20, nullptr}, {'q', 3, nullptr}});
  // N = 2, F = 18 + 16 = 34: 8N < F marks it; factor 1 + 0 + 1 + 1 = 3.
  root->grow('n', {{'p', 2, nullptr}, {'q', 16, nullptr}});
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*root)));
  ASSERT_EQ(Start(1), 1);
  CONTEXT_RECORD* k = ChildOf(Root(), 'k');
  CONTEXT_RECORD* m = ChildOf(Root(), 'm');
  CONTEXT_RECORD* n = ChildOf(Root(), 'n');
  ASSERT_TRUE(k && m && n);
  EXPECT_EQ(StatesOf(k)[0].freq, 36);
  EXPECT_EQ(StatesOf(k)[1].freq, 4);
  EXPECT_EQ(+k->freqSum, 40);
  EXPECT_EQ(k->flags, 0x80);
  EXPECT_EQ(StatesOf(m)[0].freq, 18);
  EXPECT_EQ(StatesOf(m)[1].freq, 3);
  EXPECT_EQ(+m->freqSum, 21);
  EXPECT_EQ(m->flags, 0x80);
  EXPECT_EQ(StatesOf(n)[0].freq, 54);
  EXPECT_EQ(StatesOf(n)[1].freq, 48);
  EXPECT_EQ(+n->freqSum, 102);
  EXPECT_EQ(n->flags, 0xC0);
}

TEST_F(ModelLibrary, DominantFirstSymbolHalvesSmallContexts) {
  auto root = FullRoot();
  // N = 64, F = 18 + 5 + 7 + 9 = 39 < 56: halve rounding up.
  root->grow('h', {{'p', 64, nullptr}, {'q', 5, nullptr}, {'r', 7, nullptr}, {'s', 9, nullptr}});
  // N = 64, F = 18 + 20 + 18 = 56: unchanged but the first frequency.
  root->grow('u', {{'p', 64, nullptr}, {'q', 20, nullptr}, {'r', 18, nullptr}});
  // One-symbol contexts are never reweighted.
  root->grow('o', {{'Z', 64, nullptr}});
  root->grow('w', {{'!', 1, nullptr}});
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*root)));
  ASSERT_EQ(Start(1), 1);

  CONTEXT_RECORD* h = ChildOf(Root(), 'h');
  ASSERT_NE(h, nullptr);
  const std::vector<SYMBOL_STATE> hs = StatesOf(h);
  ASSERT_EQ(hs.size(), 4u);
  EXPECT_EQ(hs[0].freq, 9);
  EXPECT_EQ(hs[1].freq, 3);
  EXPECT_EQ(hs[2].freq, 4);
  EXPECT_EQ(hs[3].freq, 5);
  EXPECT_EQ(+h->freqSum, 21);
  EXPECT_EQ(h->flags, 0x80);  // N >= 64: never marked

  CONTEXT_RECORD* u = ChildOf(Root(), 'u');
  ASSERT_NE(u, nullptr);
  const std::vector<SYMBOL_STATE> us = StatesOf(u);
  EXPECT_EQ(us[0].freq, 18);
  EXPECT_EQ(us[1].freq, 20);
  EXPECT_EQ(us[2].freq, 18);
  EXPECT_EQ(+u->freqSum, 56);
  EXPECT_EQ(u->flags, 0x80);

  CONTEXT_RECORD* o = ChildOf(Root(), 'o');
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->lastIndex, 0);
  EXPECT_EQ(o->oneState.symbol, 'Z');
  EXPECT_EQ(o->oneState.freq, 64);
  EXPECT_EQ(+o->oneState.successor, 0u);
  EXPECT_EQ(o->flags, 0x80);
  CONTEXT_RECORD* w = ChildOf(Root(), 'w');
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->lastIndex, 0);
  EXPECT_EQ(w->oneState.freq, 1);
  EXPECT_EQ(w->flags, 0);
}

TEST_F(ModelLibrary, TableSizesFollowTheSymbolCount) {
  auto root = FullRoot();
  for (int n = 2; n <= 20; ++n) {
    std::vector<ENTRY> entries;
    for (int i = 0; i < n; ++i) entries.push_back(ENTRY{'A' + i, 3, nullptr});
    root->grow('A' + n, entries);
  }
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 1, Body(*root)));
  ASSERT_EQ(Start(1), 1);
  for (int n = 2; n <= 20; ++n) {
    CONTEXT_RECORD* c = ChildOf(Root(), 'A' + n);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->lastIndex, n - 1);
    for (int i = 0; i < n; ++i) EXPECT_EQ(States(c)[i].symbol, 'A' + i);
  }
  // The tables do not overlap one another or the context units.
  std::vector<std::pair<uint32_t, uint32_t>> spans;
  spans.push_back({Root()->stats, UNIT_POOL::classUnits[TableClass(256)] * UNIT_POOL::kUnitSize});
  for (int n = 2; n <= 20; ++n) {
    CONTEXT_RECORD* c = ChildOf(Root(), 'A' + n);
    spans.push_back({c->stats, UNIT_POOL::classUnits[TableClass(n)] * UNIT_POOL::kUnitSize});
    spans.push_back({ChildOffset(Root(), 'A' + n), UNIT_POOL::kUnitSize});
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) EXPECT_GE(spans[i].first, spans[i - 1].first + spans[i - 1].second);
  ExpectSoundLoadedTree();
}

// ---------------------------------------------------------------------------
// Suffix links.

// root -> a -> ab -> abc, with b -> bc and c, so that every deeper context
// finds its suffix one level up.
std::shared_ptr<NODE> ThreeLevelTree(bool withBc = true) {
  auto root = FullRoot({{'a', 5}, {'b', 4}, {'c', 3}});
  auto a = root->grow('a', {{'b', 6, nullptr}, {'c', 2, nullptr}});
  auto b = root->grow('b', {{'c', 7, nullptr}, {'x', 1, nullptr}});
  root->grow('c', {{'d', 3, nullptr}, {'e', 2, nullptr}});
  auto ab = a->grow('b', {{'c', 9, nullptr}});
  ab->grow('c', {{'d', 4, nullptr}});
  if (withBc) b->grow('c', {{'d', 2, nullptr}, {'f', 1, nullptr}});
  return root;
}

TEST_F(ModelLibrary, SuffixLinksOfAThreeLevelTree) {
  WriteModelFile("!Mdl-Lib.mdl", Record(3, 2, Body(*ThreeLevelTree())));
  ASSERT_EQ(Start(2), 2);
  CONTEXT_RECORD* root = Root();
  EXPECT_EQ(+root->suffix, 0u);
  const uint32_t a = ChildOffset(root, 'a');
  const uint32_t b = ChildOffset(root, 'b');
  const uint32_t c = ChildOffset(root, 'c');
  ASSERT_TRUE(IsContext(a) && IsContext(b) && IsContext(c));
  EXPECT_EQ(ChildOffset(root, 'd'), 0u);
  EXPECT_EQ(+Context(a)->suffix, pos.root);
  EXPECT_EQ(+Context(b)->suffix, pos.root);
  EXPECT_EQ(+Context(c)->suffix, pos.root);

  const uint32_t ab = ChildOffset(Context(a), 'b');
  const uint32_t bc = ChildOffset(Context(b), 'c');
  ASSERT_TRUE(IsContext(ab) && IsContext(bc));
  EXPECT_EQ(ChildOffset(Context(a), 'c'), 0u);
  EXPECT_EQ(+Context(ab)->suffix, b);
  EXPECT_EQ(+Context(bc)->suffix, c);

  const uint32_t abc = ChildOffset(Context(ab), 'c');
  ASSERT_TRUE(IsContext(abc));
  EXPECT_EQ(+Context(abc)->suffix, bc);

  // The deepest context is a one-symbol context without a child.
  const CONTEXT_RECORD* leaf = Context(abc);
  EXPECT_EQ(leaf->lastIndex, 0);
  EXPECT_EQ(leaf->oneState.symbol, 'd');
  EXPECT_EQ(leaf->oneState.freq, 4);
  EXPECT_EQ(+leaf->oneState.successor, 0u);
  EXPECT_EQ(leaf->flags, 0x80);
  // ab is a one-symbol context with a child.
  EXPECT_EQ(Context(ab)->lastIndex, 0);
  EXPECT_EQ(Context(ab)->oneState.freq, 9);

  EXPECT_EQ(ExpectSoundLoadedTree(), 7);

  // Coding with the primed tree round-trips.
  ExpectRoundTrip(WordText(3000, 11), 2, 2);
  const Bytes abcd = [] {
    Bytes t;
    for (int i = 0; i < 500; ++i)
      for (char ch : std::string("abcdabcfbcde")) t.push_back(static_cast<uint8_t>(ch));
    return t;
  }();
  ExpectRoundTrip(abcd, 2, 2);
}

TEST_F(ModelLibrary, TreeDeeperThanTheOrderLimitIsAbsent) {
  // The record's order byte (0) fits, but the tree reaches depth 3.
  WriteModelFile("!Mdl-Lib.mdl", Record(0, 9, Body(*ThreeLevelTree())));
  modelOrder = 3;
  EXPECT_EQ(Start(9), 9);
  modelOrder = 2;
  ExpectAbsent(Record(0, 9, Body(*ThreeLevelTree())));
}

TEST_F(ModelLibrary, ChildWithoutASuffixIsAbsent) {
  // abc needs bc as its suffix; without it the tree is unusable.
  ExpectAbsent(Record(3, 9, Body(*ThreeLevelTree(false))));
}

// ---------------------------------------------------------------------------
// Malformed records count as absent.

TEST_F(ModelLibrary, ShortBodyIsAbsent) {
  Bytes body = Body(*ThreeLevelTree());
  body.resize(body.size() - 1);
  ExpectAbsent(Record(3, 9, body));
  // Ending inside the root's pair list.
  ExpectAbsent(Record(3, 9, Bytes(body.begin(), body.begin() + 301)));
  ExpectAbsent(Record(3, 9, Bytes(body.begin(), body.begin() + 300)));
  ExpectAbsent(Record(3, 9, Bytes{}));
}

TEST_F(ModelLibrary, ShortBodyFollowedByMoreRecordsIsAbsent) {
  // The body's declared length ends early; the next record's bytes must not
  // be read as the rest of the tree.
  const Bytes good = Body(*ThreeLevelTree());
  Bytes shortBody(good.begin(), good.end() - 4);
  ExpectAbsent(Concat({Record(3, 9, shortBody), Record(3, 9, good)}));
}

TEST_F(ModelLibrary, MoreThan256PairsIsAbsent) {
  auto root = FullRoot();
  root->entries.push_back(ENTRY{'a', 1, nullptr});  // a 257th pair
  ExpectAbsent(Record(2, 9, Body(*root)));
  // In a child context as well: 257 pairs, all different symbols are
  // impossible, so the 257th repeats one.
  auto root2 = FullRoot();
  std::vector<ENTRY> many;
  for (int i = 0; i < 257; ++i) many.push_back(ENTRY{i & 0xFF, 1, nullptr});
  root2->grow('q', many);
  ExpectAbsent(Record(2, 9, Body(*root2)));
}

TEST_F(ModelLibrary, DuplicateSymbolIsAbsent) {
  auto root = FullRoot();
  root->grow('q', {{'u', 5, nullptr}, {'e', 2, nullptr}, {'u', 1, nullptr}});
  ExpectAbsent(Record(2, 9, Body(*root)));
  // In the root, with all 256 pairs present.
  auto root2 = FullRoot();
  root2->entries[200].symbol = root2->entries[100].symbol;
  ExpectAbsent(Record(2, 9, Body(*root2)));
}

TEST_F(ModelLibrary, RootLackingByteValuesIsAbsent) {
  auto root = FullRoot();
  root->entries.pop_back();
  ExpectAbsent(Record(2, 9, Body(*root)));
  // A single-symbol root.
  NODE tiny{{{'a', 5, nullptr}}};
  ExpectAbsent(Record(2, 9, Body(tiny)));
}

TEST_F(ModelLibrary, LengthPastTheEndOfTheFileIsAbsent) {
  const Bytes body = Body(*FullRoot({{'A', 9}}));
  ExpectAbsent(Record(2, 9, body, static_cast<long>(body.size()) + 1));
  // A record of another number whose length runs past the end hides
  // nothing behind it.
  ExpectAbsent(Concat({Record(2, 4, body, 0xFFFFFF), Record(2, 9, body)}));
  // A header cut short.
  ExpectAbsent(Bytes{5, 0});
}

TEST_F(ModelLibrary, BytesAfterTheTreeAreIgnored) {
  Bytes body = Body(*ThreeLevelTree());
  body.push_back(0x80);
  body.push_back('z');
  WriteModelFile("!Mdl-Lib.mdl", Concat({Record(3, 9, body), Record(3, 10, Body(*FullRoot({{'K', 9}})))}));
  EXPECT_EQ(Start(9), 9);
  EXPECT_EQ(ExpectSoundLoadedTree(), 7);
  EXPECT_EQ(Start(10), 10);
  EXPECT_EQ(States(Root())[0].symbol, 'K');
}

// A tree of 1 + 256 + 65536 contexts: the root and every order-1 context
// hold all 256 byte values, each with a child; every order-2 context holds
// `leafSymbols` (at most 10) of the most common letters. With 10 that is
// about 492000 units: more than a 4 MB block holds, less than 8 MB. With 6,
// about 295000: a 4 MB block is then nearly full.
Bytes HugeBody(int leafSymbols) {
  static const char kLetters[] = " etaoinshr";
  Bytes body;
  auto fullList = [&body](bool children) {
    for (int s = 0; s < 256; ++s) {
      body.push_back(static_cast<uint8_t>((children ? 0x40 : 0) | (s == 255 ? 0x80 : 0)));
      body.push_back(static_cast<uint8_t>(s));
    }
  };
  fullList(true);
  for (int a = 0; a < 256; ++a) {
    fullList(true);
    for (int b = 0; b < 256; ++b)
      for (int s = 0; s < leafSymbols; ++s) {
        body.push_back(static_cast<uint8_t>((s == leafSymbols - 1 ? 0x80 : 0) | (s & 3)));
        body.push_back(static_cast<uint8_t>(kLetters[s]));
      }
  }
  return body;
}

TEST_F(ModelLibrary, TreeTooLargeForTheBlockIsAbsent) {
  const Bytes body = HugeBody(10);
  ASSERT_LT(body.size(), 1u << 24);
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 9, body));
  ASSERT_TRUE(MODEL_MEMORY::reserve(8));
  EXPECT_EQ(Start(9), 9) << "fits in 8 MB";
  EXPECT_EQ(ExpectSoundLoadedTree(), 1 + 256 + 65536);

  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  ExpectAbsent(Record(2, 9, body));
  // The pool is usable for a sound model right after.
  WriteModelFile("!Mdl-Lib.mdl", Record(3, 9, Body(*ThreeLevelTree())));
  EXPECT_EQ(Start(9), 9);
  EXPECT_EQ(ExpectSoundLoadedTree(), 7);
  ExpectRoundTrip(WordText(3000, 2), 9, 9);
  ASSERT_TRUE(MODEL_MEMORY::reserve(8));
}

// ---------------------------------------------------------------------------
// Coding with a primed model.

// A tree of contexts up to `depth` bytes learnt from `text`: each context
// holds the bytes that followed it, most frequent first, and has a child for
// each symbol whose extended context was seen followed by something.
std::shared_ptr<NODE> LearnTree(const Bytes& text, int depth) {
  std::map<Bytes, std::map<int, int>> counts;
  for (size_t i = 0; i < text.size(); ++i)
    for (int k = 0; k <= depth && static_cast<size_t>(k) <= i; ++k)
      ++counts[Bytes(text.begin() + static_cast<long>(i) - k, text.begin() + static_cast<long>(i))][text[i]];
  std::function<std::shared_ptr<NODE>(const Bytes&)> build = [&](const Bytes& context) {
    std::map<int, int> followers = counts[context];
    if (context.empty())
      for (int s = 0; s < 256; ++s) followers[s] += 1;  // every byte stays codable
    std::vector<std::pair<int, int>> order(followers.begin(), followers.end());
    std::stable_sort(order.begin(), order.end(), [](auto& x, auto& y) { return x.second > y.second; });
    auto node = std::make_shared<NODE>();
    for (const auto& [symbol, count] : order) {
      ENTRY e{symbol, std::min(count, 64), nullptr};
      Bytes longer = context;
      longer.push_back(static_cast<uint8_t>(symbol));
      if (static_cast<int>(longer.size()) <= depth && counts.count(longer)) e.child = build(longer);
      node->entries.push_back(e);
    }
    return node;
  };
  return build(Bytes{});
}

TEST_F(ModelLibrary, PrimedModelCompressesMatchingTextBetter) {
  const Bytes training = WordText(20000, 100);
  const Bytes text = WordText(3000, 200);
  WriteModelFile("!Mdl-012.mdl", Record(3, 12, Body(*LearnTree(training, 3))));
  ASSERT_EQ(Start(12), 12);
  const int contexts = ExpectSoundLoadedTree();
  EXPECT_GT(contexts, 300);

  const Bytes primed = ExpectRoundTrip(text, 12, 12);
  const Bytes plain = ExpectRoundTrip(text, 0, 0);
  ASSERT_FALSE(primed.empty());
  ASSERT_FALSE(plain.empty());
  EXPECT_LT(primed.size() * 10, plain.size() * 8) << "primed " << primed.size() << ", plain " << plain.size();
  // Without the file the same request codes plainly, to the same bytes as
  // model 0.
  ASSERT_EQ(remove("!Mdl-012.mdl"), 0);
  EXPECT_EQ(ExpectRoundTrip(text, 12, 0), plain);
}

TEST_F(ModelLibrary, PrimedModelSurvivesCutBacks) {
  // A loaded tree that nearly fills a 4 MB block: the text soon runs the
  // pool dry, the loaded contexts are cut back with the rest, and the
  // decoder follows exactly.
  WriteModelFile("!Mdl-012.mdl", Record(2, 12, HugeBody(6)));
  ASSERT_TRUE(MODEL_MEMORY::reserve(4));
  ASSERT_EQ(Start(12), 12);
  EXPECT_EQ(ExpectSoundLoadedTree(), 1 + 256 + 65536);
  Bytes text = WordText(60000, 300);
  std::mt19937 rng(77);
  for (size_t i = 0; i < text.size(); i += 3) text[i] = static_cast<uint8_t>(rng());
  ExpectRoundTrip(text, 12, 12);
  EXPECT_TRUE(ModelRestarted()) << "the block was expected to fill up";
  ASSERT_TRUE(MODEL_MEMORY::reserve(8));
}

TEST_F(ModelLibrary, DecodingWithoutTheModelFileFails) {
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 7, Body(*FullRoot({{' ', 30}, {'e', 20}}))));
  const Bytes text = WordText(3000, 3);
  const Bytes stream = ExpectRoundTrip(text, 7, 7);
  ASSERT_FALSE(stream.empty());
  ASSERT_EQ(remove("!Mdl-Lib.mdl"), 0);
  EXPECT_EXIT(
      {
        // The error routine prints on standard output.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        FILE* f = StreamHolding(stream);
        DATA_BUFFER out(1 << 16, kMaxOrder, nullptr);
        DecodeBuffer(&out, f);
      },
      ::testing::ExitedWithCode(255), "model file not found");
  // A file that no longer holds the model fails the same way.
  WriteModelFile("!Mdl-Lib.mdl", Record(2, 8, Body(*FullRoot({{' ', 30}}))));
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        FILE* f = StreamHolding(stream);
        DATA_BUFFER out(1 << 16, kMaxOrder, nullptr);
        DecodeBuffer(&out, f);
      },
      ::testing::ExitedWithCode(255), "model file not found");
}

}  // namespace
}  // namespace zubreca
