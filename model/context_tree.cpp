#include "model/context_tree.h"

#include <algorithm>
#include <cstring>

#include <emmintrin.h>

#include "buffers/data_buffer.h"

namespace zubreca {

MODEL_POSITION pos;
ROOT_FREQS rootFreqs;
TABLE_FREQS tableFreqs;

void STATE_PLACES::fill(const SYMBOL_STATE* table, int n) {
  std::memset(at, kAbsent, sizeof at);
  for (int i = 0; i < n; ++i) at[table[i].symbol] = static_cast<uint8_t>(i);
}

SYMBOL_STATE* STATE_PLACES::relocate(SYMBOL_STATE* table, int n, int symbol) {
  for (int i = 0; i < n; ++i)
    if (table[i].symbol == symbol) {
      at[symbol] = static_cast<uint8_t>(i);
      return table + i;
    }
  return nullptr;
}

void STATE_PLACES::shiftPlaces(int first, int last, int moved) {
  // A place p moves on where p - first <= last - 1 - first, unsigned: the
  // absent mark (255) never does, as last is at most 255.
  const __m128i low = _mm_set1_epi8(static_cast<char>(first));
  const __m128i span = _mm_set1_epi8(static_cast<char>(last - 1 - first));
  for (int k = 0; k < 256; k += 16) {
    __m128i* lane = reinterpret_cast<__m128i*>(at + k);
    const __m128i place = _mm_load_si128(lane);
    const __m128i offset = _mm_sub_epi8(place, low);
    const __m128i inside = _mm_cmpeq_epi8(_mm_min_epu8(offset, span), offset);  // all ones where inside
    _mm_store_si128(lane, _mm_sub_epi8(place, inside));
  }
  at[moved] = static_cast<uint8_t>(first);
}

bool STATE_PLACES::exactFor(const SYMBOL_STATE* table, int n) const {
  STATE_PLACES now;
  now.fill(table, n);
  return std::memcmp(now.at, at, sizeof at) == 0;
}

void NoteMovedStates(const CONTEXT_RECORD* c, int first, int last) {
  STATE_PLACES* places = nullptr;
  if (c->suffix == 0) {
    places = rootFreqs.keptPlaces();
  } else if (TABLE_FREQS::ENTRY* e = tableFreqs.kept(c); e && e->placesFilled) {
    places = &e->places;
  }
  if (places) places->noteRotation(States(c), first, last);
}

void ROOT_FREQS::fillPlaces() {
  const CONTEXT_RECORD* root = Context(pos.root);
  statePlaces.fill(root->lastIndex ? States(root) : &root->oneState, root->lastIndex + 1);
  placesStats = root->stats;
  placesLastIndex = root->lastIndex;
  placesFilled = true;
}

bool ROOT_FREQS::placesExact() const {
  const CONTEXT_RECORD* root = Context(pos.root);
  return !placesInStep() || statePlaces.exactFor(root->lastIndex ? States(root) : &root->oneState,
                                                 root->lastIndex + 1);
}

void ROOT_FREQS::sync() {
  placesFilled = false;
  std::memset(freq, 0, sizeof freq);
  sum = 0;
  const CONTEXT_RECORD* root = Context(pos.root);
  const SYMBOL_STATE* table = root->lastIndex ? States(root) : &root->oneState;
  for (int i = 0; i <= root->lastIndex; ++i) {
    freq[table[i].symbol] = table[i].freq;
    sum += table[i].freq;
  }
}

void TABLE_FREQS::fill(ENTRY& e, const CONTEXT_RECORD* c) {
  std::memset(e.freq, 0, sizeof e.freq);
  const SYMBOL_STATE* table = States(c);
  uint32_t sum = 0;
  for (int i = 0; i <= c->lastIndex; ++i) {
    e.freq[table[i].symbol] = table[i].freq;
    sum += table[i].freq;
  }
  e.sum = sum;
  e.placesFilled = false;
  e.context = c;
  e.stats = c->stats;
  e.lastIndex = c->lastIndex;
}

void TABLE_FREQS::fillPlaces(ENTRY& e) {
  e.places.fill(States(e.context), e.lastIndex + 1);
  e.placesFilled = true;
}

void TABLE_FREQS::grown(ENTRY& e, const CONTEXT_RECORD* c, int index) {
  // The new state's frequency is 0, which the copy has for a symbol the
  // table lacked; the states from index on moved down one place.
  e.stats = c->stats;
  e.lastIndex = c->lastIndex;
  if (e.placesFilled) e.places.noteRotation(States(c), index, c->lastIndex);  // from nowhere to index
}

void TABLE_FREQS::clear() {
  for (ENTRY& e : entries) e.context = nullptr;
}

int TABLE_FREQS::entriesInStep() const {
  int count = 0;
  for (const ENTRY& e : entries) {
    if (e.context == nullptr) continue;
    ENTRY now;
    fill(now, e.context);
    if (now.sum != e.sum || std::memcmp(now.freq, e.freq, sizeof now.freq) != 0) return -1;
    if (InStep(e, e.context) && e.placesFilled && !e.places.exactFor(States(e.context), e.lastIndex + 1)) return -1;
    ++count;
  }
  return count;
}

namespace {

// First frequency of a pending state, by the estimate of its position.
constexpr uint8_t FIRST_FREQ[36] = {2, 2, 3, 3, 3, 3, 4, 4, 4, 5, 5, 5, 5, 5, 7, 7, 8, 8,
                                    8, 8, 8, 9, 9, 9, 9, 9, 9, 10, 10, 10, 10, 10, 10, 10, 10, 10};

// Correction of an inline frequency when a one-symbol context gets its
// second symbol, indexed by the clamped signed difference between what the
// last refused decision predicted and what the frequency implied.
constexpr int8_t ESC_ADJUST[15] = {-3, -2, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 2, 3, 4};

inline void SwapStates(SYMBOL_STATE* a, SYMBOL_STATE* b) {
  SYMBOL_STATE t = *a;
  *a = *b;
  *b = t;
}

// Moves a table to a run of another size class. Returns false when the pool
// has no run for it (the caller then cuts the tree back).
bool MoveTable(CONTEXT_RECORD* c, uint32_t states, int fromClass, int toClass) {
  const uint32_t run = unitPool.allocUnits(toClass);
  if (run == 0) return false;
  std::memcpy(ModelAddress(run), ModelAddress(c->stats), states * sizeof(SYMBOL_STATE));
  unitPool.freeUnits(c->stats, UNIT_POOL::classUnits[fromClass]);
  c->stats = run;
  return true;
}

}  // namespace

uint8_t TextByte(uint32_t textPosition) {
  return pos.text->data()[textPosition - MODEL_MEMORY::blockSize];
}

bool BuildPlainRoot() {
  CONTEXT_RECORD* root = Context(pos.root);
  const uint32_t table = unitPool.allocUnits(TableClass(256));
  if (table == 0) return false;
  root->lastIndex = 255;
  root->flags = 0xC7;
  root->freqSum = 256;
  root->stats = table;
  root->suffix = 0;
  SYMBOL_STATE* s = States(root);
  for (int i = 0; i < 256; ++i) s[i] = SYMBOL_STATE{static_cast<uint8_t>(i), 1, 0};
  return true;
}

SYMBOL_STATE* FindStateInLongTable(CONTEXT_RECORD* c, int symbol) {
  SYMBOL_STATE* s = States(c);
  const int n = c->lastIndex + 1;
  // A long table is most often the root or cached, and then its states'
  // places are at hand.
  if (c->suffix == 0) return rootFreqs.places().locate(s, n, symbol);
  if (TABLE_FREQS::ENTRY* e = tableFreqs.kept(c)) return TABLE_FREQS::placesOf(*e).locate(s, n, symbol);
  for (int i = 0; i < n; ++i)
    if (s[i].symbol == symbol) return s + i;
  return nullptr;
}

void MoveToFront(CONTEXT_RECORD* c, int i) {
  SYMBOL_STATE* s = States(c);
  const SYMBOL_STATE moved = s[i];
  std::memmove(s + 1, s, static_cast<size_t>(i) * sizeof(SYMBOL_STATE));
  s[0] = moved;
  NoteMoved(c, 0, i);
}

void InitPendingFreq(CONTEXT_RECORD* c) {
  SYMBOL_STATE* table = States(c);
  int index = c->flags & kFlagIndexMask;
  SYMBOL_STATE* p = table + index;
  const int symbol = p->symbol;

  // Contexts that received the symbol in the same update know no more of it.
  CONTEXT_RECORD* s = c->suffix ? Context(c->suffix) : nullptr;
  while (s && s->lastIndex > 0) {
    const SYMBOL_STATE& q = States(s)[s->flags & kFlagIndexMask];
    if (q.freq != 0 || q.symbol != symbol) break;
    s = s->suffix ? Context(s->suffix) : nullptr;
  }

  uint32_t t = 1;
  if (s) {
    uint32_t suffixSum;
    uint32_t l = 1;
    if (s->lastIndex > 0) {
      if (States(s)[s->flags & kFlagIndexMask].freq == 0) InitPendingFreq(s);
      suffixSum = s->freqSum;
      if (const SYMBOL_STATE* q = FindState(s, symbol)) l = q->freq;
    } else {
      l = s->oneState.symbol == symbol ? s->oneState.freq : 1;
      suffixSum = l;
    }
    const uint32_t a = c->lastIndex;
    const uint32_t e = s->lastIndex;
    const uint32_t m = l >= 6 ? l - 1 : (l >= 4 ? 3 : 1);
    const int64_t rawO = static_cast<int64_t>(e) - 4 * static_cast<int64_t>(a) + 1;
    const uint32_t o = static_cast<uint32_t>(std::clamp<int64_t>(rawO, 0, 16 * (a + 1)));
    const uint32_t sum = c->freqSum;
    const uint32_t den = suffixSum + 2 * (e + 1) - l + sum;
    const uint32_t position = 3 * m * (4 * (a + 1) + o + sum) / (den ? den : 1);
    t = position < 36 ? FIRST_FREQ[position] : 11;
    if (position >= 34 && sum < 32 * (a + 1)) {
      const uint32_t w = sum < 6 * (a + 1) ? 23 : 7;
      t += std::min(position / 6 - 4, w);
    }
  }
  p->freq = static_cast<uint8_t>(t);
  c->freqSum = static_cast<uint16_t>(c->freqSum + t);
  NoteFreq(c, *p);
  const int pendingAt = index;
  while (index > 0 && p->freq > p[-1].freq + 2) {
    SwapStates(p, p - 1);
    --p;
    --index;
  }
  if (index != pendingAt) NoteMoved(c, index, pendingAt);
  c->flags = static_cast<uint8_t>((c->flags & 0xF8) | index | kFlagFreshFreq);
}

void RewardFound(CONTEXT_RECORD* c, SYMBOL_STATE* s) {
  c->flags &= 0xD8;
  const uint32_t n = c->lastIndex + 1u;
  const uint32_t f = c->freqSum;
  const uint32_t increment = 5 + (5 * n * n + 12 * n < f) + (10 * n < f) + (22 * n < f);
  s->freq = static_cast<uint8_t>(s->freq + increment);
  c->freqSum = static_cast<uint16_t>(c->freqSum + increment);
  NoteFreq(c, *s);
  SYMBOL_STATE* table = States(c);
  const int from = static_cast<int>(s - table);
  // The found state moves up at least one place and into the first eight,
  // then on past the states whose frequency is not 7 above its own. The
  // states it passes each move down one place, in a single move.
  int index = from;
  if (from > 0) {
    index = std::min(from - 1, 7);
    while (index > 0 && table[index - 1].freq < s->freq + 7) --index;
    const SYMBOL_STATE moved = *s;
    std::memmove(table + index + 1, table + index, static_cast<size_t>(from - index) * sizeof(SYMBOL_STATE));
    table[index] = moved;
    s = table + index;
    NoteMoved(c, index, from);
  }
  c->flags = static_cast<uint8_t>(c->flags | index);
  pos.foundState = s;
  if (s->freq > 244) Rescale(c);
}

void Rescale(CONTEXT_RECORD* c) {
  tableFreqs.drop(c);
  SYMBOL_STATE* table = States(c);
  const int oldLast = c->lastIndex;
  MoveToFront(c, static_cast<int>(pos.foundState - table));
  const int add = pos.orderLen == pos.orderLimit ? 0 : 2;
  uint32_t sum = 0;
  uint8_t high = 0;
  for (int i = 0; i <= oldLast; ++i) {
    SYMBOL_STATE moved = table[i];
    moved.freq = static_cast<uint8_t>((moved.freq + add) / 2);
    int j = i;
    while (j > 0 && table[j - 1].freq < moved.freq) {
      table[j] = table[j - 1];
      --j;
    }
    table[j] = moved;
    sum += moved.freq;
    if (moved.freq) high |= HighFlag(moved.symbol);
  }
  int kept = oldLast + 1;
  while (kept > 0 && table[kept - 1].freq == 0) --kept;
  c->flags = static_cast<uint8_t>((c->flags & ~kFlagHighSymbol) | high);
  const int oldClass = TableClass(oldLast + 1);
  if (kept >= 2) {
    c->lastIndex = static_cast<uint8_t>(kept - 1);
    c->freqSum = static_cast<uint16_t>(sum);
    const int newClass = TableClass(kept);
    if (newClass != oldClass) {
      if (!unitPool.listEmpty(newClass)) {
        MoveTable(c, kept, oldClass, newClass);
      } else {
        const uint32_t keep = UNIT_POOL::classUnits[newClass];
        unitPool.freeUnits(c->stats + keep * UNIT_POOL::kUnitSize,
                           UNIT_POOL::classUnits[oldClass] - keep);
      }
    }
    c->flags = static_cast<uint8_t>((c->flags & ~kFlagIndexMask) | kFlagRescaled);
    pos.foundState = States(c);
    if (c == Context(pos.root)) rootFreqs.sync();
    return;
  }
  // One state left: the context turns into a one-symbol context.
  const SYMBOL_STATE only = table[0];
  const uint32_t k = static_cast<uint32_t>(oldLast);
  unitPool.freeUnits(c->stats, UNIT_POOL::classUnits[oldClass]);
  c->lastIndex = 0;
  c->oneState = only;
  c->oneState.freq = static_cast<uint8_t>(std::min<uint32_t>((k + 2 * only.freq) / (k + 1), 45));
  c->flags = HighFlag(only.symbol);
  pos.foundState = &c->oneState;
  if (c == Context(pos.root)) rootFreqs.sync();
}

namespace {

// Adds a pending state for `symbol` to a context that escaped. Returns false
// when the pool ran dry.
bool AddSymbol(CONTEXT_RECORD* c, int symbol, uint32_t successor, int escapeHint) {
  int index;
  TABLE_FREQS::ENTRY* entry = nullptr;  // c's cached copy, which follows the growth
  if (c->lastIndex == 0) {
    const uint32_t run = unitPool.allocUnits(0);
    if (run == 0) return false;
    SYMBOL_STATE* table = ModelRecord<SYMBOL_STATE>(run);
    table[0] = c->oneState;
    const int adjust = ESC_ADJUST[std::clamp(escapeHint + 8, 0, 14)];
    const int freq = std::clamp(4 * table[0].freq + adjust, 2, 238);
    table[0].freq = static_cast<uint8_t>(freq);
    c->freqSum = static_cast<uint16_t>(freq);
    c->stats = run;
    index = 1;
  } else {
    // A state still waiting for its first frequency is settled first, so
    // that no context ever holds two pending states.
    if (States(c)[c->flags & kFlagIndexMask].freq == 0) InitPendingFreq(c);
    const uint32_t n = c->lastIndex + 1u;
    if (n >= TABLE_FREQS::kFrom) entry = tableFreqs.kept(c);
    const int oldClass = TableClass(n);
    const int newClass = TableClass(n + 1);
    if (newClass != oldClass && !MoveTable(c, n, oldClass, newClass)) return false;
    SYMBOL_STATE* table = States(c);
    index = std::min<int>(static_cast<int>(n), 7);
    if (static_cast<int>(n) > index)
      std::memmove(table + index + 1, table + index, (n - index) * sizeof(SYMBOL_STATE));
  }
  States(c)[index] = SYMBOL_STATE{static_cast<uint8_t>(symbol), 0, successor};
  c->lastIndex = static_cast<uint8_t>(c->lastIndex + 1);
  c->flags = static_cast<uint8_t>(HighFlag(symbol) | index | (c->flags & ~kFlagIndexMask));
  if (entry) TABLE_FREQS::grown(*entry, c, index);
  return true;
}

// After a hit, the lower contexts learn the symbol too, with a boost that
// falls off with the distance from the context where it was found.
void BoostLowerContexts(CONTEXT_RECORD* found, int symbol, int escapes) {
  if (pos.foundState->freq > 130) return;
  int boost = 2;
  int passed = 0;
  for (uint32_t lower = found->suffix; lower != 0 && boost > 0; ++passed) {
    CONTEXT_RECORD* d = Context(lower);
    lower = d->suffix;
    if (d->lastIndex == 0) {
      // A one-symbol context has nothing to learn from the hit, but it
      // counts as a step: the walk stays short along deterministic chains.
      boost >>= 1;
      continue;
    }
    SYMBOL_STATE* s = FindState(d, symbol);
    if (s == nullptr || s->freq == 0 || s->freq > 227) break;
    const uint32_t size = d->lastIndex + 1u;
    const int raise = boost + (pos.orderLen < 4) + (passed == 0 && escapes == 0) +
                      (7u * d->freqSum < size * 4u * s->freq);
    s->freq = static_cast<uint8_t>(s->freq + raise);
    d->freqSum = static_cast<uint16_t>(d->freqSum + raise);
    NoteFreq(d, *s);
    if (s->freq > 28 && (d->flags & kFlagFreshFreq) &&
        States(d) + (d->flags & kFlagIndexMask) == s)
      d->flags &= static_cast<uint8_t>(~kFlagFreshFreq);
    if (s->freq > 68) break;
    boost >>= 1;
  }
}

}  // namespace

bool UpdateModel(uint32_t found, int escapeHint, int escapes) {
  CONTEXT_RECORD* foundCtx = Context(found);
  const int symbol = pos.foundState->symbol;
  BoostLowerContexts(foundCtx, symbol, escapes);

  const uint32_t nextText = MODEL_MEMORY::blockSize + pos.textBase + pos.textIndex + 1;
  const uint32_t oldTop = pos.topContext;
  int order = pos.orderLen;  // order of the context whose state leads on
  CONTEXT_RECORD* ctx = foundCtx;
  SYMBOL_STATE* state = pos.foundState;
  uint32_t next = state->successor;

  // A state that leads nowhere now points at the text that follows; so do
  // the states of the shorter contexts until one leads somewhere.
  while (next == 0) {
    state->successor = nextText;
    --order;
    if (ctx->suffix == 0) {
      next = pos.root;
      break;
    }
    ctx = Context(ctx->suffix);
    state = FindState(ctx, symbol);
    if (state == nullptr) {
      next = pos.root;
      order = -1;
      break;
    }
    next = state->successor;
  }

  if (IsTextPosition(next)) {
    // Turn the text that followed into real contexts, one per context whose
    // state still points into the text, from the shortest up.
    SYMBOL_STATE* chain[256];
    int chainLength = 0;
    chain[chainLength++] = state;
    uint32_t base = pos.root;  // suffix of the shortest new context
    for (CONTEXT_RECORD* lower = ctx; chainLength < 256;) {
      if (lower->suffix == 0) break;
      lower = Context(lower->suffix);
      SYMBOL_STATE* s = FindState(lower, symbol);
      if (s == nullptr) break;  // only the root can tell: start at the root
      if (IsContext(s->successor)) {
        base = s->successor;
        break;
      }
      if (s->successor == 0) s->successor = next;
      chain[chainLength++] = s;
    }
    const uint8_t textSymbol = TextByte(next);
    const uint32_t textNext = next + 1;
    // chain[0] is the state at `order`; chain[k] at `order - k`. A context of
    // the order limit leads to a context of the same order.
    uint32_t made = base;
    // The new contexts start with the chain frequency of the context below
    // them all.
    const CONTEXT_RECORD* below = Context(base);
    const uint8_t chainCode = below->lastIndex == 0 && below->oneState.symbol == textSymbol
                                  ? ChainCode(ChainFreq(below))
                                  : 0;
    for (int k = chainLength - 1; k >= 0; --k) {
      if (order - k >= pos.orderLimit) {
        chain[k]->successor = made;
        continue;
      }
      const uint32_t unit = unitPool.allocContext();
      if (unit == 0) return false;
      CONTEXT_RECORD* nc = Context(unit);
      nc->lastIndex = 0;
      nc->flags = static_cast<uint8_t>(HighFlag(textSymbol) | chainCode);
      nc->oneState = SYMBOL_STATE{textSymbol, 0, textNext};
      nc->suffix = made;
      chain[k]->successor = unit;
      made = unit;
    }
    next = made;
  }

  const int newOrder = std::min(order + 1, pos.orderLimit);
  const uint32_t added = newOrder == pos.orderLimit ? next : nextText;
  for (uint32_t c = oldTop; c != found && c != 0;) {
    CONTEXT_RECORD* escaped = Context(c);
    if (!AddSymbol(escaped, symbol, added, escapeHint)) return false;
    c = escaped->suffix;
  }
  pos.orderLen = newOrder;
  pos.topContext = pos.curContext = next;
  return true;
}

}  // namespace zubreca
