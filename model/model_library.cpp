// Model library files.
//
// A library file is a run of records: a 3-byte little-endian body length,
// a signed order byte, a signed model number byte and the body, which is one
// context tree serialised in pre-order. One context is its list of
// (b0, b1) pairs (b0: bit 7 last pair, bit 6 the symbol has a child, bits
// 0-5 frequency - 1; b1: the symbol), followed by the children of the
// symbols that have one, in list order.
//
// A record is read whole into memory and parsed from there, so nothing is
// ever read past the data the file holds. A record that cannot become a
// sound live tree counts as absent: the pool is started afresh and the
// caller builds the plain root. Encoder and decoder load the same way, so
// they always agree on what a record yields.
#include "model/model_library.h"

#include <sys/types.h>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "buffers/file_loading.h"
#include "model/context_tree.h"
#include "model/unit_pool.h"

namespace zubreca {

namespace {

constexpr int kHeaderSize = 5;
constexpr int kMaxPairs = 256;
constexpr uint8_t kLastPair = 0x80;
constexpr uint8_t kHasChild = 0x40;
constexpr uint8_t kFreqBits = 0x3F;
// A successor placed on a state whose child is still to be loaded.
constexpr uint32_t kProvisional = 1;

class TREE_LOADER {
 public:
  explicit TREE_LOADER(const std::vector<uint8_t>& body) : body_(body) {}

  // Loads the root and its tree, then links the suffixes. False when the
  // record is malformed or the pool cannot hold the tree.
  bool load() {
    CONTEXT_RECORD* root = Context(pos.root);
    root->flags = 0;
    root->suffix = 0;
    if (!loadContext(pos.root, 0)) return false;
    root = Context(pos.root);
    // Every byte must stay codable: the root holds all 256 values.
    if (root->lastIndex != 255) return false;
    return linkSuffixes(pos.root);
  }

 private:
  static uint8_t Freq(uint8_t b0) { return static_cast<uint8_t>((b0 & kFreqBits) + 1); }

  bool loadContext(uint32_t offset, int depth) {
    // The pair list, checked before anything is built from it.
    const size_t first = next_;
    int count = 0;
    std::bitset<256> seen;
    for (;;) {
      if (count == kMaxPairs || body_.size() - next_ < 2) return false;
      const uint8_t b0 = body_[next_];
      const uint8_t b1 = body_[next_ + 1];
      next_ += 2;
      if (seen.test(b1)) return false;
      seen.set(b1);
      ++count;
      if (b0 & kLastPair) break;
    }
    const uint8_t* pairs = body_.data() + first;

    CONTEXT_RECORD* c = Context(offset);
    if (count == 1) {
      c->lastIndex = 0;
      c->flags = HighFlag(pairs[1]);
      c->oneState = SYMBOL_STATE{pairs[1], Freq(pairs[0]), 0};
      if (!(pairs[0] & kHasChild)) return true;
      return loadChild(&c->oneState, depth);
    }

    const uint32_t table = unitPool.allocUnits(TableClass(static_cast<uint32_t>(count)));
    if (table == 0) return false;
    c->lastIndex = static_cast<uint8_t>(count - 1);
    c->stats = table;
    SYMBOL_STATE* s = States(c);
    uint32_t sum = 0;
    uint8_t flags = 0;
    for (int i = 0; i < count; ++i) {
      const uint8_t b0 = pairs[2 * i];
      const uint8_t b1 = pairs[2 * i + 1];
      s[i] = SYMBOL_STATE{b1, Freq(b0), (b0 & kHasChild) ? kProvisional : 0};
      sum += s[i].freq;
      flags |= HighFlag(b1);
    }
    c->flags = flags;
    Reweight(c, sum);

    for (int i = 0; i < count; ++i) {
      if (s[i].successor == kProvisional && !loadChild(s + i, depth)) return false;
    }
    return true;
  }

  // The first state gets 18 and the whole table is scaled by how dominant
  // the stored first frequency N was.
  static void Reweight(CONTEXT_RECORD* c, uint32_t sum) {
    SYMBOL_STATE* s = States(c);
    const int count = c->lastIndex + 1;
    const uint32_t n = s[0].freq;
    s[0].freq = 18;
    const uint32_t f = sum - n + 18;
    if (8 * n < f && n < 64) c->flags |= kFlagRescaled;
    if (n < 64) {
      const uint32_t factor = 1 + (n == 1) + (2 * n < f) + (4 * n < f);
      sum = 0;
      for (int i = 0; i < count; ++i) {
        uint8_t v = static_cast<uint8_t>(s[i].freq * factor);
        if (v == 0) v = 1;  // 0 would mean "pending"
        s[i].freq = v;
        sum += v;
      }
    } else if (f < 56) {
      sum = 0;
      for (int i = 0; i < count; ++i) {
        s[i].freq = static_cast<uint8_t>(s[i].freq - s[i].freq / 2);
        sum += s[i].freq;
      }
    } else {
      sum = f;
    }
    c->freqSum = static_cast<uint16_t>(sum);
  }

  // Gives `state` a fresh context unit and loads the next context into it.
  bool loadChild(SYMBOL_STATE* state, int depth) {
    if (depth + 1 > pos.orderLimit) return false;
    const uint32_t unit = unitPool.allocContext();
    if (unit == 0) return false;
    state->successor = unit;
    return loadContext(unit, depth + 1);
  }

  // A child of the root has the root as its suffix; a deeper child D of C
  // through symbol c has the successor of c in C's suffix.
  static bool linkSuffixes(uint32_t offset) {
    CONTEXT_RECORD* c = Context(offset);
    const int count = c->lastIndex + 1;
    SYMBOL_STATE* s = c->lastIndex ? States(c) : &c->oneState;
    for (int i = 0; i < count; ++i) {
      if (!IsContext(s[i].successor)) continue;
      uint32_t suffix = offset;
      if (c->suffix != 0) {
        const SYMBOL_STATE* t = FindState(Context(c->suffix), s[i].symbol);
        if (t == nullptr || !IsContext(t->successor)) return false;
        suffix = t->successor;
      }
      Context(s[i].successor)->suffix = suffix;
      if (!linkSuffixes(s[i].successor)) return false;
    }
    return true;
  }

  const std::vector<uint8_t>& body_;
  size_t next_ = 0;
};

// Finds the first record of `number` whose order fits and reads its body.
bool ReadRecord(FILE* file, int number, std::vector<uint8_t>& body) {
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t size = ftello(file);
  if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) return false;
  uint8_t header[kHeaderSize];
  while (fread(header, 1, kHeaderSize, file) == kHeaderSize) {
    const uint32_t length = header[0] | header[1] << 8 | static_cast<uint32_t>(header[2]) << 16;
    const int order = static_cast<int8_t>(header[3]);
    const int recordNumber = static_cast<int8_t>(header[4]);
    const off_t at = ftello(file);
    // A body running past the end of the file ends the search.
    if (at < 0 || static_cast<off_t>(length) > size - at) return false;
    if (recordNumber == number && order <= pos.orderLimit) {
      body.resize(length);
      return length == 0 || fread(body.data(), 1, length, file) == length;
    }
    if (fseeko(file, static_cast<off_t>(length), SEEK_CUR) != 0) return false;
  }
  return false;
}

}  // namespace

int LoadModel(int number) {
  // Only numbers that a signed record byte can hold and that the coded
  // model number byte can carry are looked up.
  if (number <= 0 || number > 127) return 0;
  char name[16];
  snprintf(name, sizeof name, "!Mdl-%03d.mdl", number);
  FILE* file = OpenFile(name, "rb", false);
  if (file == nullptr) file = OpenFile("!Mdl-Lib.mdl", "rb", false);
  if (file == nullptr) return 0;
  std::vector<uint8_t> body;
  const bool found = ReadRecord(file, number, body);
  CloseFile(file);
  if (!found) return 0;

  TREE_LOADER loader(body);
  if (loader.load()) return number;
  // Malformed or too large: the pool starts afresh for the plain root.
  unitPool.start();
  Context(pos.root)->suffix = 0;
  return 0;
}

}  // namespace zubreca
