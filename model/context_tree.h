// The context tree: records inside the model block and the operations that
// keep their statistics.
//
// A context is one 12-byte unit. A context with one symbol keeps that
// symbol's state inline; a context with several symbols points to a table of
// 6-byte symbol states, a run of units from the pool. Every link is an offset
// into the model block. A successor above the block size is a position in
// the text being coded (block size + index of the byte that follows).
#pragma once

#include <algorithm>
#include <cstdint>

#include "model/model_memory.h"
#include "model/unit_pool.h"

namespace zubreca {

class DATA_BUFFER;

#pragma pack(push, 1)
struct SYMBOL_STATE {
  uint8_t symbol;
  uint8_t freq;        // 0: pending, its first frequency is not set yet
  uint32_t successor;  // context, text position, or 0
};

struct CONTEXT_RECORD {
  uint8_t lastIndex;  // symbols - 1
  uint8_t flags;
  union {
    struct {
      uint16_t freqSum;
      uint32_t stats;
    };
    SYMBOL_STATE oneState;  // when lastIndex == 0
  };
  uint32_t suffix;
};
#pragma pack(pop)
static_assert(sizeof(SYMBOL_STATE) == 6);
static_assert(sizeof(CONTEXT_RECORD) == 12);

// Context flag bits.
constexpr uint8_t kFlagIndexMask = 0x07;  // state of interest (last found or pending)
constexpr uint8_t kFlagFreshFreq = 0x20;  // the pending state's first frequency was just set
constexpr uint8_t kFlagRescaled = 0x40;   // rescaled or weakly primed: no inheritance
constexpr uint8_t kFlagHighSymbol = 0x80; // some symbol is 64 or above

// A one-symbol context has no state of interest; its index bits keep a
// coarse copy of the largest frequency along its chain of one-symbol
// suffixes that predict the same symbol: the suffix's own frequency or the
// suffix's copy, whichever is larger, as it was when the context was last
// used. Frequencies above 13 all read alike.
inline constexpr uint8_t kChainFreqs[8] = {0, 2, 3, 4, 6, 8, 11, 14};
// The code of the largest kept frequency not above freq.
inline constexpr uint8_t kChainCodes[15] = {0, 0, 1, 2, 3, 3, 4, 4, 5, 5, 5, 6, 6, 6, 7};
inline uint8_t ChainCode(uint32_t freq) { return kChainCodes[std::min<uint32_t>(freq, 14)]; }
inline void SetChainFreq(CONTEXT_RECORD* c, uint32_t freq) {
  c->flags = static_cast<uint8_t>((c->flags & ~kFlagIndexMask) | ChainCode(freq));
}
// The chain frequency a one-symbol context hands to the contexts above it.
inline uint32_t ChainFreq(const CONTEXT_RECORD* c) {
  return std::max<uint32_t>(c->oneState.freq, kChainFreqs[c->flags & kFlagIndexMask]);
}

inline CONTEXT_RECORD* Context(uint32_t offset) { return ModelRecord<CONTEXT_RECORD>(offset); }
inline SYMBOL_STATE* States(const CONTEXT_RECORD* c) { return ModelRecord<SYMBOL_STATE>(c->stats); }
inline uint32_t OffsetOf(const void* p) {
  return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - MODEL_MEMORY::block) + 1;
}
inline uint8_t HighFlag(int symbol) { return symbol >= 64 ? kFlagHighSymbol : 0; }
// Units of a table of n states.
inline uint32_t TableUnits(uint32_t states) { return (states + 1) / 2; }
inline int TableClass(uint32_t states) { return UNIT_POOL::unitsClass[TableUnits(states) - 1]; }

// Where the model stands in the text; kept for the whole buffer.
struct MODEL_POSITION {
  int orderLimit = 128;
  int orderLen = 0;
  uint32_t root = 0;
  uint32_t topContext = 0;
  uint32_t curContext = 0;
  SYMBOL_STATE* foundState = nullptr;
  bool restarted = false;
  // The text being coded: the buffer's content, read back by text positions.
  DATA_BUFFER* text = nullptr;
  uint32_t textBase = 0;   // index in the buffer of the first coded byte
  uint32_t textIndex = 0;  // index (from textBase) of the byte being coded
};
extern MODEL_POSITION pos;

// Where each symbol's state stands in a long table, by symbol: a state is
// found without a pass over its table. States move as they are rewarded
// (the one found moves up, those it passes down one place each); every
// move is noted (NoteMoved), and a place is still checked at every use and
// searched for when wrong, so a move left unnoted would cost time, never
// a wrong state. Which symbols the table holds is exact: a table gains
// symbols only by growing, which is followed, and loses them only when
// rescaled, which refills the places.
struct STATE_PLACES {
  static constexpr uint8_t kAbsent = 0xFF;  // a symbol the table lacks (a table under 256 states)
  alignas(16) uint8_t at[256];

  void fill(const SYMBOL_STATE* table, int n);
  // The state of `symbol` in `table`, of n states as when the places were
  // filled, or nullptr when the table lacks it.
  SYMBOL_STATE* locate(SYMBOL_STATE* table, int n, int symbol) {
    const uint32_t i = at[symbol];
    if (i < static_cast<uint32_t>(n) && table[i].symbol == symbol) return table + i;
    if (i == kAbsent && n < 256) return nullptr;
    return relocate(table, n, symbol);
  }
  // Whether every place is right for `table` of n states, and every symbol
  // it lacks is absent. Every move of a state is noted, so they always
  // are while in step. For tests.
  bool exactFor(const SYMBOL_STATE* table, int n) const;
  // Notes a move of the state at `last` to `first`, which moved each state
  // in between down one place: every move of a state is one of these.
  void noteRotation(const SYMBOL_STATE* table, int first, int last) {
    if (last - first >= kWideRotation) {
      shiftPlaces(first, last, table[first].symbol);
      return;
    }
    int i = first;
    for (; i + 3 <= last; i += 4) {
      const uint8_t s0 = table[i].symbol, s1 = table[i + 1].symbol, s2 = table[i + 2].symbol,
                    s3 = table[i + 3].symbol;
      at[s0] = static_cast<uint8_t>(i);
      at[s1] = static_cast<uint8_t>(i + 1);
      at[s2] = static_cast<uint8_t>(i + 2);
      at[s3] = static_cast<uint8_t>(i + 3);
    }
    for (; i <= last; ++i) at[table[i].symbol] = static_cast<uint8_t>(i);
  }

 private:
  // From this many states moved on, a rotation adds one to every place in
  // [first, last) sixteen symbols at a time rather than noting each state
  // it moved: a reward or a promotion in a long table can move a couple of
  // hundred. The shift takes the places it finds as right, which every
  // move keeps them (a wrong one would stay wrong, and still be checked).
  static constexpr int kWideRotation = 48;
  void shiftPlaces(int first, int last, int moved);
  // Finds a state whose move was not noted, and notes its place.
  SYMBOL_STATE* relocate(SYMBOL_STATE* table, int n, int symbol);
};

// The root's frequencies by symbol (0 for a symbol it lacks), kept in step
// with its table by every change to them. The root is the suffix of every
// order-1 context, so the coder reads its frequencies by symbol for nearly
// every byte; the copy spares it a pass over the root's 256 states each
// time.
struct ROOT_FREQS {
  uint8_t freq[256];
  uint32_t sum;  // of freq

  // Copies the root's table (and lets its places be refilled when next asked for).
  void sync();
  // Takes in a changed state of context c, if c is the root.
  void note(const CONTEXT_RECORD* c, const SYMBOL_STATE& s) {
    if (c != Context(pos.root)) return;
    sum = sum + s.freq - freq[s.symbol];
    freq[s.symbol] = s.freq;
  }
  // The places of the root's states, refilled first if the root's table
  // has grown or moved since they were filled.
  STATE_PLACES& places() {
    if (!placesInStep()) fillPlaces();
    return statePlaces;
  }
  // The same if they are in step, else nullptr (nothing is filled).
  STATE_PLACES* keptPlaces() { return placesInStep() ? &statePlaces : nullptr; }
  // Whether the places, if in step, are all right. For tests.
  bool placesExact() const;

 private:
  bool placesInStep() const {
    const CONTEXT_RECORD* root = Context(pos.root);
    return placesFilled && root->stats == placesStats && root->lastIndex == placesLastIndex;
  }
  void fillPlaces();
  STATE_PLACES statePlaces;
  bool placesFilled = false;
  uint32_t placesStats = 0;  // where the root's table was when its places were filled,
  uint8_t placesLastIndex = 0;  // and how long
};
extern ROOT_FREQS rootFreqs;

// The frequencies by symbol of recently viewed long tables, kept in step
// the same way. A long table (an order-1 context's, say) is the suffix of
// many contexts, and the coder reads it by symbol whenever one of them is
// coded; a copy by symbol spares it the pass over the table each time. A
// direct-mapped cache by the context's address: an entry follows every
// change to the frequencies of its context and the table's growth, is
// refilled when it lost step (its slot was taken meanwhile), and is
// dropped when the context is rescaled; the whole cache is emptied
// whenever the tree is started or cut back.
class TABLE_FREQS {
 public:
  static constexpr int kFrom = 32;  // tables of at least this many states are cached

  struct ENTRY {
    const CONTEXT_RECORD* context;
    uint32_t stats;      // where its table was, and
    uint8_t lastIndex;   // how long, when the entry was filled
    uint32_t sum;        // of freq
    alignas(16) uint8_t freq[256];
    bool placesFilled;   // whether places holds the table's (see placesOf)
    STATE_PLACES places;
  };

  // The entry of c, a table of at least kFrom states, filled if need be.
  const ENTRY& of(const CONTEXT_RECORD* c) {
    ENTRY& e = slot(c);
    if (!InStep(e, c)) fill(e, c);
    return e;
  }
  // The entry of c if it has one in step, else nullptr (nothing is filled).
  ENTRY* kept(const CONTEXT_RECORD* c) {
    ENTRY& e = slot(c);
    return InStep(e, c) ? &e : nullptr;
  }
  // The places of e's states, filled when first asked for: many entries
  // serve only their frequencies, and once filled the places must follow
  // every move of a state.
  static STATE_PLACES& placesOf(ENTRY& e) {
    if (!e.placesFilled) fillPlaces(e);
    return e.places;
  }
  // Takes in a changed state of context c, if c has an entry. Only long
  // tables have one: a table shrinks only when rescaled.
  void note(const CONTEXT_RECORD* c, const SYMBOL_STATE& s) {
    if (c->lastIndex + 1 < kFrom) return;
    ENTRY& e = slot(c);
    if (e.context != c) return;
    e.sum = e.sum + s.freq - e.freq[s.symbol];
    e.freq[s.symbol] = s.freq;
  }
  // Follows c's table, of which e was in step, after it grew by a pending
  // state at `index` (and may have moved).
  static void grown(ENTRY& e, const CONTEXT_RECORD* c, int index);
  // Forgets c's entry: its table is about to change wholesale.
  void drop(const CONTEXT_RECORD* c) {
    ENTRY& e = slot(c);
    if (e.context == c) e.context = nullptr;
  }
  void clear();
  // How many entries there are, all in step with their tables (their
  // places exact); -1 if one is not. For tests.
  int entriesInStep() const;

 private:
  static constexpr int kSlotBits = 10;
  // Whether e holds c's table as it is now: the table has not moved or grown
  // since e was filled.
  static bool InStep(const ENTRY& e, const CONTEXT_RECORD* c) {
    return e.context == c && e.stats == c->stats && e.lastIndex == c->lastIndex;
  }
  ENTRY& slot(const CONTEXT_RECORD* c) {
    return entries[(reinterpret_cast<uintptr_t>(c) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
  }
  static void fill(ENTRY& e, const CONTEXT_RECORD* c);
  static void fillPlaces(ENTRY& e);

  ENTRY entries[1 << kSlotBits] = {};
};
extern TABLE_FREQS tableFreqs;

// Takes in a changed frequency of a state of context c.
inline void NoteFreq(const CONTEXT_RECORD* c, const SYMBOL_STATE& s) {
  rootFreqs.note(c, s);
  tableFreqs.note(c, s);
}

// Takes in a move of the state at `last` of context c's table to `first`
// (see STATE_PLACES::noteRotation), where c's places are kept.
void NoteMovedStates(const CONTEXT_RECORD* c, int first, int last);
inline void NoteMoved(const CONTEXT_RECORD* c, int first, int last) {
  if (c->lastIndex + 1 >= TABLE_FREQS::kFrom) NoteMovedStates(c, first, last);
}

// Successor classification.
inline bool IsContext(uint32_t successor) {
  return successor != 0 && successor <= MODEL_MEMORY::blockSize;
}
inline bool IsTextPosition(uint32_t successor) { return successor > MODEL_MEMORY::blockSize; }
uint8_t TextByte(uint32_t textPosition);

// Plain root context: all 256 byte values with frequency 1.
bool BuildPlainRoot();

// The state of `symbol` in a table of at least TABLE_FREQS::kFrom states.
SYMBOL_STATE* FindStateInLongTable(CONTEXT_RECORD* c, int symbol);
// The state of `symbol` in context c, or nullptr.
inline SYMBOL_STATE* FindState(CONTEXT_RECORD* c, int symbol) {
  if (c->lastIndex == 0) return c->oneState.symbol == symbol ? &c->oneState : nullptr;
  if (c->lastIndex + 1 >= TABLE_FREQS::kFrom) return FindStateInLongTable(c, symbol);
  SYMBOL_STATE* s = States(c);
  for (int i = 0, n = c->lastIndex; i <= n; ++i)
    if (s[i].symbol == symbol) return s + i;
  return nullptr;
}
inline const SYMBOL_STATE* FindState(const CONTEXT_RECORD* c, int symbol) {
  return FindState(const_cast<CONTEXT_RECORD*>(c), symbol);
}
void InitPendingFreq(CONTEXT_RECORD* c);
void RewardFound(CONTEXT_RECORD* c, SYMBOL_STATE* s);
void Rescale(CONTEXT_RECORD* c);
// Moves the state at index i to the front, shifting the states before it back.
void MoveToFront(CONTEXT_RECORD* c, int i);

// Everything that follows a coded byte: rewards, new symbols, growth.
// `found` is the context where the byte was found; `escapeHint` the signed
// difference left by the last refused one-symbol decision. Returns false when
// the pool ran dry (the caller then cuts the tree back).
bool UpdateModel(uint32_t found, int escapeHint, int escapes);

}  // namespace zubreca
