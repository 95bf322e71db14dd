#include "model/symbol_coder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "buffers/data_buffer.h"
#include "model/aux_predictors.h"
#include "model/context_tree.h"
#include "model/estimators.h"
#include "model/huge_pages.h"
#include "model/match_model.h"
#include "model/model_start.h"
#include "model/page_prefaulter.h"
#include "model/split_estimate.h"
#include "model/text_state.h"
#include "model/word_followers.h"

namespace zubreca {

RANGE_CODER coder;

namespace {

constexpr int kMatchLengthClasses = 16;

// The auxiliary predictors that propose a byte by name.
enum PROPOSER : int { kColumn, kPair, kClass, kTable0, kTable1, kTable2, kRecord, kProgression, kRecency, kProposers };

// Per-buffer coding state.
struct CODING_STATE {
  uint8_t maskStamp[256];
  uint8_t maskRound = 1;
  uint32_t symbolCount = 1;
  int escapeHint = 0;       // signed difference left by the last refused one-symbol decision
  bool prevSuccess = false; // the previous byte was the first decision's symbol
  TEXT_STATE text;
  uint16_t oneRunning[kOneLowRows + kOneHighRows][256];  // running one-symbol probabilities
  uint16_t oneSymbolRunning[kOneLowRows + kOneHighRows][4 * 256];  // ... by row, place in a word and symbol
  // Running candidate probabilities by row, symbol and the five follower bits.
  uint16_t candidateRunning[kCandidateRows][1 << kCandidateBits];
  CORRECTION_STAGES stages;
  // The suffix of the multi-symbol context being coded: its frequency of
  // each symbol (valid where the stamp matches the round) and the part of
  // its frequency sum not yet masked or refused.
  uint16_t suffixSeen[256];  // the frequency above the round's stamp
  uint8_t suffixRound = 0;
  const uint8_t* suffixFreqs = nullptr;  // the suffix's frequencies by symbol, where kept (else the stamps)
  uint32_t suffixRest = 1;
  // Long candidate lists: the running average cost of their tails, in
  // 1/256 bits, by escapes (0, 1, 2, 3 and more), and the estimates that
  // code a tail by value.
  uint32_t tailCost[4] = {};
  uint32_t valueTails = 0;  // tails coded by value
  uint32_t proposedGroups = 0;  // groups of proposed candidates decided
  uint32_t escapedTailsDecided = 0;  // tails after an escape coded after a decision
  uint32_t favouritesFound = 0;      // tails whose favourite was the symbol
  bool lastEscapedTailHit = false;  // whether the last tail after an escape held the symbol
  SPLIT_ESTIMATE split;
  // How often each named predictor's proposals in lists coded by value
  // turned out the symbol lately, out of 2^16 (CodeProposedInGroups).
  uint16_t proposerRate[kProposers];
  // The match decisions: a probability of the proposed byte out of 2^16
  // and how often it was used, by the class of the match length, where the
  // top context holds the byte and whether the buffer is text.
  uint16_t matchHit[kMatchLengthClasses][3][2];
  uint8_t matchUses[kMatchLengthClasses][3][2];
};
CODING_STATE cs;

constexpr uint32_t kRunningScale = 12544;  // 256 * 49

// Where a ratio q (0 to 255) lies within its CLASS_OF class, from -8 (the
// start) to 7 (the end): a candidate leans toward the row of the
// neighbouring class by that much. A table, as the coder would otherwise
// divide by the class width at every candidate.
struct CLASS_PLACES {
  int8_t v[256];
  constexpr CLASS_PLACES() : v{} {
    int start[27] = {};
    for (int& s : start) s = 256;
    for (int q = 255; q >= 0; --q) start[CLASS_OF[q]] = q;
    for (int q = 0; q < 256; ++q) {
      const int cls = CLASS_OF[q];
      const int lo = start[cls], width = start[cls + 1] - lo;
      v[q] = static_cast<int8_t>(((q - lo) * 16 + 8) / width - 8);
    }
  }
};
constexpr CLASS_PLACES kClassPlace;

inline bool Masked(int symbol) { return cs.maskStamp[symbol] == cs.maskRound; }
inline void Mask(int symbol) { cs.maskStamp[symbol] = cs.maskRound; }

inline int OrderClass(int order) { return order <= 1 ? 0 : order <= 3 ? 1 : order <= 7 ? 2 : 3; }

// Called with clamped weights (w < t < 2^24, bits <= 6), so the shifted
// weight fits 32 bits and the cheaper division serves.
inline int ProbClass(uint32_t w, uint32_t t, int bits) { return static_cast<int>((w << bits) / t); }

// Decision kinds, for the correction stages.
enum DECISION_KIND { kOneSymbol = 0, kTopCandidate = 1, kEscapedCandidate = 2 };

// Keeps 1 <= w < t and t within what the coder can divide.
inline void ClampWeights(uint32_t& w, uint32_t& t) {
  if (t > 0xFFFF0) {
    const uint32_t shift = t > 0xFFFFF0 ? 8 : 4;
    w >>= shift;
    t >>= shift;
  }
  if (w < 1) w = 1;
  if (t <= w) t = w + 1;
}

#ifdef ZUBRECA_STATS
}  // namespace
double statBits[4];
uint64_t statCount[4];
int statKind = 0;
double byteBits = 0;
double escBits[8];
uint64_t escCount[8];
namespace {
#endif

template <bool Encoding>
inline bool CodeDecision(bool hit, uint32_t w, uint32_t t) {
#ifdef ZUBRECA_STATS
  if (Encoding) {
    statBits[statKind] += -std::log2(hit ? double(w) / t : 1.0 - double(w) / t);
    byteBits += -std::log2(hit ? double(w) / t : 1.0 - double(w) / t);
    statCount[statKind]++;
  }
#endif
  if constexpr (Encoding) {
    coder.encodeDecision(hit, w, t);
    return hit;
  } else {
    return coder.decodeDecision(w, t);
  }
}

// Cells of the symbol-keyed correction stages: stage 2 by the class of the
// current byte, the class before the last byte below 64 and the order class
// of the context, stage 3 by the kind of decision and the row chosen for
// the position (TEXT_STATE).
// The symbol varies fastest, so the candidates of one context share a small
// region of the table. Keying stage 2 by the classes rather than by the
// previous byte itself is 0.2% smaller on text and 0.4% on binaries, and
// the 0.8 MB of the table that the 192 rows use stay in the caches far
// better than the whole table the byte spread over. Stage 2 tells only two
// probabilities apart (more is 0.2% larger on text), which leaves room for
// the order class: 0.4% smaller on text and binaries than 16 probabilities
// and no order.
inline uint32_t SymbolCell2(uint32_t symbol) {
  const uint32_t classes = static_cast<uint32_t>(aux.byteClass) * 4 + (aux.classHistory & 3u);
  const uint32_t row = classes * 4 + static_cast<uint32_t>(OrderClass(pos.orderLen));
  return (row << 9) | (symbol << 1);
}
inline uint32_t SymbolCell3(DECISION_KIND kind, uint32_t symbol) {
  return kind * (1u << 20) + (cs.text.stage3Row | symbol);
}
static_assert(kEscapedCandidate * (1u << 20) + (0xFFFu << 8 | 0xFF) == kStage3Cells - 1);

// Stages 4 and 5 are keyed mostly by features, with only a coarse
// probability class (two for stage 4, four for stage 5): the stages that
// follow 1 to 3 learn more from the situation than from fine probability
// classes. Stage 4 adds feature bits 5 to 8 to bits 10 to 14, stage 5 bits
// 6 to 9 to bits 0 to 5; against 32 and 64 probability classes this is
// 0.5% smaller on text and 0.7% on binaries.
inline uint32_t OrderOf() { return static_cast<uint32_t>(std::min(std::max(pos.orderLen, 0), 31)); }
constexpr uint32_t Stage4Index(uint32_t kind, uint32_t order, uint32_t features, uint32_t p6) {
  const uint32_t row = (kind * 32u + order) * 32u + (features >> 10 & 31);
  return row * 32u + (features >> 5 & 15) * 2 + (p6 >> 5);
}
constexpr uint32_t Stage5Index(uint32_t escapes, uint32_t features, uint32_t p6) {
  const uint32_t row = std::min(escapes, 20u) * 64u + (features & 63);
  return row * 64u + (features >> 6 & 15) * 4 + (p6 >> 4);
}
static_assert(Stage4Index(kEscapedCandidate, 31, ~0u, 63) == kStage4Cells - 1);
static_assert(Stage5Index(~0u, ~0u, 63) == kStage5Cells - 1);
inline uint32_t Stage4Cell(DECISION_KIND kind, uint32_t features, uint32_t p6) {
  return Stage4Index(kind, OrderOf(), features, p6);
}
inline uint32_t Stage5Cell(int escapes, uint32_t features, uint32_t p6) {
  return Stage5Index(static_cast<uint32_t>(escapes), features, p6);
}

// Fetches the stage 4 and 5 cells for the probability class p6.
inline void PrefetchStageCells(DECISION_KIND kind, uint32_t features, int escapes, uint32_t p6) {
  __builtin_prefetch(&tables.stage4[Stage4Cell(kind, features, p6)]);
  __builtin_prefetch(&tables.stage5[Stage5Cell(escapes, features, p6)]);
}

// Starts fetching the correction cells of a likely candidate; they lie in
// tables far larger than the caches.
inline void PrefetchSymbolCells(int symbol, DECISION_KIND kind) {
  const uint32_t s = static_cast<uint32_t>(symbol);
  __builtin_prefetch(&tables.stage2[SymbolCell2(s)]);
  __builtin_prefetch(&tables.stage3[SymbolCell3(kind, s)]);
}

// Picks the five correction cells for a decision: stage 1 by the kind of
// decision, whether its probability is above one half, which word followers
// propose the symbol, and a column of the caller's (finer probability
// classes are 0.17% larger on text), 2 by the
// symbol, the byte classes, the order class and whether the probability is
// above one half, 3 by the symbol and the word or the bytes
// before it, 4 by the order, nine feature bits and whether the probability
// is above one half, 5 by the number of escapes, ten feature bits and the
// probability in quarters. A light decision (see LightDecision) leaves the
// cells of stages 2 and 3 unset.
// Always inlined: its callers pass nine values that mostly stay in registers.
[[gnu::always_inline]] inline void StageCells(GAIN_RECORD* cells[5], DECISION_KIND kind, int symbol, uint32_t w,
                                              uint32_t t, uint32_t features, int escapes, uint32_t stage1Column,
                                              bool light = false) {
  const uint32_t p6 = static_cast<uint32_t>(ProbClass(w, t, 6));
  const uint32_t s = static_cast<uint32_t>(symbol);
  // In text, stage 1 tells apart the symbols the word followers propose:
  // 0.14% smaller on the eight Canterbury texts and 0.6% on kjv.txt for the
  // follower by the last word, a further 0.03% and 0.2% for the one by the
  // last two, 0.02% and 0.1% for whether the proposal was confirmed, and
  // 0.38% and 0.3% for the three last followers of the word so far.
  uint32_t proposed = 0;
  if (cs.text.inText()) {
    const bool byOne = symbol == wordFollowers.byLastWord();
    const bool byTwo = symbol == wordFollowers.byLastTwoWords();
    proposed = byOne | byTwo << 1 |
               (byOne ? wordFollowers.confirmed(0) : byTwo && wordFollowers.confirmed(1)) << 2 |
               wordFollowers.followedWordSoFar(symbol) << 3;
  }
  cells[0] = &tables.stage1[kind * 65536 + (proposed << 11) + (p6 >> 5 << 10) + stage1Column];
  static_assert((15 << 11) + (1 << 10) + 1023 < 65536 && 3 * 65536 == kStage1Cells);
  // Callers keep the column below 1024: four bits of their own below the
  // text class, or three below the candidates' text class.
  static_assert((15 | (TEXT_STATE::kTextClasses - 1) << 4) < 1024);
  static_assert((7 | (2 * TEXT_STATE::kTextClasses - 1) << 3) < 1024);
  if (!light) {
    cells[1] = tables.stage2Cell(SymbolCell2(s) | p6 >> 5);
    cells[2] = tables.stage3Cell(SymbolCell3(kind, s));
  }
  cells[3] = &tables.stage4[Stage4Cell(kind, features, p6)];
  cells[4] = &tables.stage5[Stage5Cell(escapes, features, p6)];
}

// ---------------------------------------------------------------------------
// One-symbol contexts.

template <bool Encoding>
bool OneSymbolDecision(CONTEXT_RECORD* ctx, int target, bool atTop, int escapes) {
  SYMBOL_STATE& st = ctx->oneState;
  const int symbol = st.symbol;
  PrefetchSymbolCells(symbol, kOneSymbol);
  // The effective frequency is the largest along the chain of one-symbol
  // suffix contexts that predict the same symbol. Walking the chain costs a
  // cache miss a step, so each one-symbol context keeps a coarse copy of
  // its chain's largest frequency (ChainFreq), refreshed from the suffix
  // whenever the context is used: 0.04% larger than the full walk on text,
  // and the walk was the coder's costliest single load.
  const CONTEXT_RECORD* suffix = ctx->suffix ? Context(ctx->suffix) : nullptr;
  uint32_t chain = 0;
  if (suffix && suffix->lastIndex == 0 && suffix->oneState.symbol == symbol) chain = ChainFreq(suffix);
  SetChainFreq(ctx, chain);
  const uint32_t f = std::max<uint32_t>({st.freq, 1, chain});
  const int suffixSize = suffix ? suffix->lastIndex : 0;
  const int suffixClass = suffixSize == 0 ? 0 : suffixSize <= 2 ? 1 : suffixSize <= 15 ? 2 : 3;

  BIT_ESTIMATE* cell;
  BIT_ESTIMATE* up;
  BIT_ESTIMATE* down;
  uint16_t* running;
  uint16_t* symbolRunning;
  uint32_t features;
  if (f <= 13) {
    // The place in a word (bits 12-13) tells more on text than how recently
    // the current pair occurred, which held those bits before (0.13%), and
    // the end of a long line or the numbered-line guess (bit 0) more than
    // the recency follower (0.14%). In text, bit 10 tells whether a word
    // follower proposes the symbol instead of whether the last byte was 64
    // or above (0.04% smaller on the Canterbury texts, 0.2% on kjv.txt).
    const int row = static_cast<int>(f) + 1;
    features = (aux.endsLongLine(symbol) || symbol == aux.columnGuess) |
               (aux.pairClose && symbol == aux.pairFollower) << 1 |
               (symbol == aux.classFollower) << 2 | cs.prevSuccess << 3 |
               (symbol == aux.tableFollower[0]) << 4 |
               (symbol == aux.tableFollower[1] || symbol == aux.tableFollower[2]) << 5 |
               OrderClass(pos.orderLen) << 6 | suffixClass << 8 |
               (cs.text.inText() ? wordFollowers.proposes(symbol) : cs.text.lastByte >= 64) << 10 |
               atTop << 11 | cs.text.wordClass() << 12;
    cell = &tables.oneLow(row, features);
    up = &tables.oneLow(row - 1, features);
    down = &tables.oneLow(row + 1, features);
    running = &cs.oneRunning[row][features & 0xFF];
    symbolRunning = &cs.oneSymbolRunning[row][cs.text.wordClass() << 8 | symbol];
  } else {
    const int row = std::min(CLASS_OF[std::min<uint32_t>(f, 127)] - 5, 13);
    features = (symbol == aux.recencyFollower) | (aux.pairClose && symbol == aux.pairFollower) << 1 |
               cs.prevSuccess << 2 | atTop << 3 | OrderClass(pos.orderLen) << 4 |
               (symbol == aux.classFollower) << 6 | (suffixSize > 0) << 7;
    cell = &tables.oneHigh(row, features);
    up = &tables.oneHigh(row - 1, features);
    down = &tables.oneHigh(row + 1, features);
    running = &cs.oneRunning[kOneLowRows + row][features & 0xFF];
    symbolRunning = &cs.oneSymbolRunning[kOneLowRows + row][cs.text.wordClass() << 8 | symbol];
  }

  if (cell->total > 0x8000) RefreshBitEstimate(*cell);
  uint32_t w = cell->hits;
  uint32_t t = cell->total;
  if (cell->rate > 32) {
    w += (up->hits + down->hits) >> 2;
    t += (up->total + down->total) >> 2;
    // So do the columns that differ in one feature bit (the class
    // follower, the order, the place in a word; in the high rows the
    // previous success and the class follower), at a weight that falls as
    // the cell settles: 0.07% smaller on text.
    const int shift = cell->rate >= 1024 ? 2 : cell->rate >= 256 ? 3 : 4;
    const uint32_t flips = f <= 13 ? (1u << 2 | 1u << 6 | 1u << 12) : (1u << 2 | 1u << 6);
    const int rows = f <= 13 ? kOneLowRows : kOneHighRows;  // the distance between columns
    for (uint32_t rest = flips; rest != 0; rest &= rest - 1) {
      const int column = static_cast<int>(features ^ (rest & (0u - rest)));
      const BIT_ESTIMATE& other = cell[(column - static_cast<int>(features)) * rows];
      w += other.hits >> shift;
      t += other.total >> shift;
    }
  }
  // The running probability of the row and feature counts for a fifth
  // (0.04% smaller on text than a third). Below 2^32: the running value
  // stays under 2^14, t / 4 under 2^16.
  w += *running * (t / 4) / kRunningScale;
  t += t / 4;
  // A slow running probability of the symbol itself in this row and place
  // in a word counts for a third: 0.27% smaller on text, 0.27% on binaries
  // (without the place in a word 0.1% less on text). The product stays
  // below 2^32 (the value under 2^14, t / 2 under 2^17).
  w += *symbolRunning * (t / 2) / kRunningScale;
  t += t / 2;
  cell->total = static_cast<uint16_t>(cell->total + cell->rate);
  uint32_t shareClass = 0;
  if (suffixSize > 0) {
    // The suffix's share of the symbol counts for a third, its sum padded
    // by two for each of its symbols: 0.2% smaller on text. The product
    // stays below 2^31 (t / 2 under 2^23). The share in sixteenths also
    // picks the stage 1 cell: none, below 4, below 10, 10 and more.
    const SYMBOL_STATE* q = FindState(suffix, symbol);
    const uint32_t sf = q ? q->freq : 0;
    const uint32_t sum = suffix->freqSum + 2 * (suffixSize + 1u) + 1;
    const uint32_t sixteenths = sf * 16 / sum;
    shareClass = sixteenths == 0 ? 0 : sixteenths < 4 ? 1 : sixteenths < 10 ? 2 : 3;
    const uint32_t z = t / 2;
    w += sf * z / sum;
    t += z;
  }
  ClampWeights(w, t);

  GAIN_RECORD* cells[5];
  // Stage 1 also tells one-symbol decisions apart by the size of the
  // suffix (0.05% smaller on text; the auxiliary features there hurt), by
  // the suffix's share of the symbol (0.03% on text) and by the text class.
  StageCells(cells, kOneSymbol, symbol, w, t, features, escapes,
             static_cast<uint32_t>(suffixClass) | shareClass << 2 | cs.text.textClass(symbol) << 4);
  cs.stages.apply(cells, w, t);
  ClampWeights(w, t);

#ifdef ZUBRECA_STATS
  statKind = 0;
#endif
  const bool hit = CodeDecision<Encoding>(target == symbol, w, t);
  cs.stages.learn(hit);
  *running = static_cast<uint16_t>(*running - (*running >> 3) + (hit ? 1568 : 0));
  *symbolRunning = static_cast<uint16_t>(*symbolRunning - (*symbolRunning >> 5) + (hit ? kRunningScale / 32 : 0));
  if (hit) {
    cell->hits = static_cast<uint16_t>(cell->hits + cell->rate);
    // One-symbol reward.
    if (st.freq < 122) st.freq = static_cast<uint8_t>(st.freq + 1 + (st.freq == 1 && t < 5 * w));
  } else {
    const int64_t fi = f;
    cs.escapeHint = static_cast<int>(16 * (static_cast<int64_t>(w) + w * fi - static_cast<int64_t>(t) * fi) /
                                     (static_cast<int64_t>(t) + t * fi));
  }
  return hit;
}

// ---------------------------------------------------------------------------
// Multi-symbol contexts.

// The symbols masked so far, as a set of 256 bits; returns how many.
int MaskedSet(uint64_t masked[4]) {
  const uint8_t round = cs.maskRound;
#ifdef __SSE2__
  const __m128i roundBytes = _mm_set1_epi8(static_cast<char>(round));
  __m128i count = _mm_setzero_si128();
  for (int word = 0; word < 4; ++word) {
    uint64_t bits = 0;
    for (int i = 0; i < 64; i += 16) {
      const __m128i stamps = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cs.maskStamp + word * 64 + i));
      const __m128i isMasked = _mm_cmpeq_epi8(stamps, roundBytes);
      bits |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(isMasked))} << i;
      count = _mm_add_epi64(count, _mm_sad_epu8(_mm_and_si128(isMasked, _mm_set1_epi8(1)), _mm_setzero_si128()));
    }
    masked[word] = bits;
  }
  return _mm_cvtsi128_si32(count) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(count, count));
#else
  int count = 0;
  for (int word = 0; word < 4; ++word) {
    uint64_t bits = 0;
    for (int i = 0; i < 64; ++i) {
      const bool isMasked = cs.maskStamp[word * 64 + i] == round;
      bits |= uint64_t{isMasked} << i;
      count += isMasked;
    }
    masked[word] = bits;
  }
  return count;
#endif
}

// A long table going into a tail is summed first and the masked symbols
// taken out after when they are at most one in kMaskedFewPer of its states
// (a spreadsheet masks many: there the test per state is cheaper).
constexpr int kMaskedFewPer = 2;

// The sum of the frequencies of the masked symbols, from frequencies by
// symbol.
inline uint32_t MaskedSum(const uint8_t* freq) {
  const uint8_t round = cs.maskRound;
#ifdef __SSE2__
  // Sixteen symbols at a time, summed by sad.
  const __m128i roundBytes = _mm_set1_epi8(static_cast<char>(round));
  __m128i sum = _mm_setzero_si128();
  for (int i = 0; i < 256; i += 16) {
    const __m128i masked = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cs.maskStamp + i)), roundBytes);
    const __m128i f = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(freq + i)), masked);
    sum = _mm_add_epi64(sum, _mm_sad_epu8(f, _mm_setzero_si128()));
  }
  return static_cast<uint32_t>(_mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sum, sum)));
#else
  uint32_t sum = 0;
  for (int symbol = 0; symbol < 256; ++symbol) sum += freq[symbol] & (0u - (cs.maskStamp[symbol] == round));
  return sum;
#endif
}

// Makes the frequencies of the suffix of a multi-symbol context ready by
// symbol, for the inheritance step and the candidate decisions, and sums
// those of the symbols not masked yet. Those of the root and of long
// tables are kept by symbol (ROOT_FREQS, TABLE_FREQS); those of a shorter
// table are stamped. The root has no suffix: nothing is stamped.
// AnyMasked tells whether symbols may be masked yet: the top context is
// viewed before any is.
template <bool AnyMasked>
void ViewSuffix(const CONTEXT_RECORD* c) {
  const uint8_t* freqs = nullptr;
  uint32_t sum = 0;
  if (c->suffix == pos.root) {
    freqs = rootFreqs.freq;
    sum = rootFreqs.sum;
  } else if (c->suffix != 0 && Context(c->suffix)->lastIndex + 1 >= TABLE_FREQS::kFrom) {
    const TABLE_FREQS::ENTRY& entry = tableFreqs.of(Context(c->suffix));
    freqs = entry.freq;
    sum = entry.sum;
  }
  cs.suffixFreqs = freqs;
  if (freqs) {
    // Only the masked frequencies are summed, in a loop over the masks
    // without branches.
    uint32_t masked = 0;
    if constexpr (AnyMasked) masked = MaskedSum(freqs);
    cs.suffixRest = 1 + sum - masked;
    return;
  }
  if (++cs.suffixRound == 0) {
    std::memset(cs.suffixSeen, 0, sizeof cs.suffixSeen);
    cs.suffixRound = 1;
  }
  uint32_t rest = 1;
  if (c->suffix != 0) {
    const CONTEXT_RECORD* s = Context(c->suffix);
    const SYMBOL_STATE* st = s->lastIndex ? States(s) : &s->oneState;
    // Read once: the stores below may alias byte-sized fields.
    const int last = s->lastIndex;
    const uint32_t round = cs.suffixRound;
    const uint8_t maskRound = cs.maskRound;
    const uint8_t* const maskStamp = cs.maskStamp;
    uint16_t* const seen = cs.suffixSeen;
    for (int i = 0; i <= last; ++i) {
      const int symbol = st[i].symbol;
      const uint32_t freq = st[i].freq;
      seen[symbol] = static_cast<uint16_t>(freq << 8 | round);
      if constexpr (AnyMasked) {
        const uint32_t open = maskStamp[symbol] != maskRound;
        rest += freq & (0u - open);  // without a branch: masks follow no pattern
      } else {
        rest += freq;
      }
    }
  }
  cs.suffixRest = rest;
}

// A frequency from its stamp of ViewSuffix (frequency << 8 | round); 0 when
// stamped in another round.
inline uint32_t StampedFreq(uint32_t stamp, uint32_t round) { return (stamp & 255) == round ? stamp >> 8 : 0; }

// The suffix's frequency of a symbol, after ViewSuffix.
inline uint32_t SuffixFreq(int symbol) {
  if (cs.suffixFreqs) return cs.suffixFreqs[symbol];
  return StampedFreq(cs.suffixSeen[symbol], cs.suffixRound);
}

// Whether a multi-symbol context may inherit (InheritFromSuffix): it has a
// suffix, has not been rescaled, its first state is not yet strong, and its
// suffix's average frequency is at least its own.
bool MayInherit(const CONTEXT_RECORD* c) {
  if (c->suffix == 0 || (c->flags & kFlagRescaled)) return false;
  if (States(c)[0].freq > 108) return false;
  const CONTEXT_RECORD* s = Context(c->suffix);
  const uint32_t nC = c->lastIndex + 1u;
  const uint32_t nS = s->lastIndex + 1u;
  const uint32_t sumS = s->lastIndex ? s->freqSum : s->oneState.freq;
  return nC * sumS >= nS * c->freqSum;
}

// Moves a context's frequencies toward what its suffix has seen, while the
// context itself has seen little; suffixFreq(symbol) gives the suffix's
// frequency of a symbol. Only a few states in ten move: the pass over the
// others is kept to a load and a comparison (a symbol the suffix lacks has
// sf = 0, which fails it).
template <class SUFFIX_FREQ>
void Inherit(CONTEXT_RECORD* c, SUFFIX_FREQ suffixFreq) {
  const CONTEXT_RECORD* s = Context(c->suffix);
  SYMBOL_STATE* table = States(c);
  const uint32_t nC = c->lastIndex + 1u;
  const uint32_t nS = s->lastIndex + 1u;
  const uint32_t sumS = s->lastIndex ? s->freqSum : s->oneState.freq;
  const uint32_t a = 11 * nC;
  uint32_t f = c->freqSum;
  const uint32_t b = 7 * s->lastIndex + sumS + 7 + (a < f ? 8 * nS : 0);
  const bool kept = nC >= TABLE_FREQS::kFrom;  // whether tableFreqs may keep c (never the root)
  // Below 2^25 both: b < 2^17, a + f < 2^17, frequencies below 2^8.
  for (int i = c->lastIndex; i >= 0; --i) {
    const uint32_t sf = suffixFreq(table[i].symbol);
    const uint32_t cf = table[i].freq;
    if (b * cf < (a + f) * sf && cf <= 228) {
      const uint32_t g = b + 3 * (a + f) - sf - 3 * cf;
      const uint32_t nf = std::min(((a + f - cf) * (sf + 3 * cf) + g - 4) / g, cf + 11);
      table[i].freq = static_cast<uint8_t>(nf);
      if (kept) tableFreqs.note(c, table[i]);
      f = f + nf - cf;
      c->freqSum = static_cast<uint16_t>(f);
    }
  }
}

// Inheritance, reading the suffix through ViewSuffix.
void InheritFromSuffix(CONTEXT_RECORD* c) {
  if (!MayInherit(c)) return;
  // Read once: the stores to the byte-sized frequencies may alias them.
  if (const uint8_t* const freqs = cs.suffixFreqs) {
    Inherit(c, [freqs](int symbol) -> uint32_t { return freqs[symbol]; });
  } else {
    const uint16_t* const seen = cs.suffixSeen;
    const uint32_t round = cs.suffixRound;
    Inherit(c, [seen, round](int symbol) { return StampedFreq(seen[symbol], round); });
  }
}

// Escape weight of a multi-symbol context; remembers the cells it used.
struct ESCAPE_USE {
  ESCAPE_ESTIMATE* cells[6];
  uint32_t shares[6];
  int count = 0;
};

// Column bits 2-3 are the place in a word (0.05% smaller on text than the
// previous success and the fresh-frequency flag they replaced). Bit 9 tells
// whether escaping can bring new symbols cheaply: in the top context,
// whether the suffix knows symbols this context has not seen; in a context
// reached by an escape, whether exactly one of its symbols is masked (0.1%
// smaller on text than the pair distance it replaced).
uint32_t EscapeWeight(CONTEXT_RECORD* c, bool atTop, uint32_t unmasked, ESCAPE_USE& use) {
  use.count = 0;
  const uint32_t n = c->lastIndex + 1u;
  if (n >= 256) return 1;
  const int row = CLASS_OF[n - 2];
  const uint32_t perSymbol = c->freqSum / n;
  const bool newcomers =
      atTop ? c->suffix != 0 && Context(c->suffix)->lastIndex + 1u > n : unmasked + 1 == n;
  const uint32_t column = static_cast<uint32_t>(OrderClass(pos.orderLen)) | cs.text.wordClass() << 2 |
                          ((c->flags & kFlagRescaled) != 0) << 4 | (cs.text.lastByte >= 64) << 5 |
                          (perSymbol < 3 ? 0 : perSymbol < 8 ? 1 : perSymbol < 20 ? 2 : 3) << 6 |
                          atTop << 8 | newcomers << 9;
  ESCAPE_ESTIMATE& main = tables.escapeMain[row][column];
  if (main.count > 0x8000 || main.sum > 0x80000) RefreshEscapeEstimate(main, c->lastIndex, c->freqSum);
  uint64_t s = main.sum;
  uint64_t cnt = main.count;
  use.cells[0] = &main;
  use.shares[0] = main.rate;
  use.count = 1;
  if (main.rate > 128) {
    const int shift = main.rate >= 1024 ? 1 : main.rate >= 512 ? 2 : 3;
    ESCAPE_ESTIMATE& side = tables.escapeSide[row][(aux.byteClass & 15) | (cs.prevSuccess << 4) |
                                                   (OrderClass(pos.orderLen) << 5) | atTop << 7];
    ESCAPE_ESTIMATE& flip8 = tables.escapeMain[row][column ^ 0x100];
    ESCAPE_ESTIMATE& flip9 = tables.escapeMain[row][column ^ 0x200];
    // Rows run from 1 to 24; rows 0 and 25 are there as neighbours.
    ESCAPE_ESTIMATE& above = tables.escapeMain[row - 1][column];
    ESCAPE_ESTIMATE& below = tables.escapeMain[row + 1][column];
    ESCAPE_ESTIMATE* extra[5] = {&side, &flip8, &flip9, &above, &below};
    for (ESCAPE_ESTIMATE* e : extra) {
      if (e->count > 0x8000 || e->sum > 0x80000) RefreshEscapeEstimate(*e, c->lastIndex, c->freqSum);
      s += e->sum >> shift;
      cnt += e->count >> shift;
      use.cells[use.count] = e;
      use.shares[use.count] = e->rate >> shift;
      ++use.count;
    }
  }
  for (int k = 0; k < use.count; ++k)
    use.cells[k]->count = static_cast<uint16_t>(use.cells[k]->count + use.shares[k]);
  if (cnt == 0) cnt = 1;
  return static_cast<uint32_t>((n * s + cnt / 2) / cnt) + 2;
}

void EscapeHappened(const ESCAPE_USE& use, uint32_t x, uint32_t n) {
  for (int k = 0; k < use.count; ++k) {
    ESCAPE_ESTIMATE* e = use.cells[k];
    e->count = static_cast<uint16_t>(e->count - use.shares[k]);
    e->sum += use.shares[k] * (x / n);
  }
}

// Outside text, the candidates from the seventh of a list on are light
// decisions: they skip the symbol-keyed stages 2 and 3, whose cells are
// cache misses. Deep in a list nearly every decision is a near-certain
// refusal that those stages barely refine: 8 to 14% faster on audio, a
// library and a spreadsheet, for 0.2% on programs (from the fifth
// candidate on, 0.3%; skipping stage 3 alone saved little time).
constexpr int kLightFrom = 6;
inline bool LightDecision(int index) { return index >= kLightFrom && !cs.text.inText(); }

// Starts fetching the correction cells of the candidate at `index` of a
// list, if its decision reads them.
inline void PrefetchCandidateCells(int symbol, DECISION_KIND kind, int index) {
  if (!LightDecision(index)) PrefetchSymbolCells(symbol, kind);
}

// The low five bits of a candidate's feature word: whether the predictors
// propose its symbol, in four groups, and whether it ends a long line.
inline uint32_t ProposalBitsNow(int symbol) {
  return (symbol == aux.columnGuess) | (aux.pairClose && symbol == aux.pairFollower) << 1 |
         (symbol == aux.classFollower) << 2 |
         (symbol == aux.tableFollower[0] || symbol == aux.tableFollower[1] ||
          symbol == aux.tableFollower[2] || symbol == aux.recordFollower || symbol == aux.progression)
             << 3 |
         aux.endsLongLine(symbol) << 4;
}

// The same bits set out by symbol. They change only once a byte, when the
// predictors move on, and outside text a byte often offers dozens of
// candidates: there they are set out when first asked for, which makes a
// spreadsheet 3% faster. Text offers a few, and computes them as asked.
class CANDIDATE_PROPOSALS {
 public:
  // The predictors have moved on (or started afresh), and the text state
  // with them.
  void expire() { state = cs.text.inText() ? kAsAsked : kDue; }
  uint32_t of(int symbol) {
    if (state == kSetOut) return bits[symbol];
    if (state == kAsAsked) return ProposalBitsNow(symbol);
    return first(symbol);
  }

 private:
  enum STATE : uint8_t { kSetOut, kDue, kAsAsked };

  // The first ask of a byte outside text.
  [[gnu::noinline]] uint32_t first(int symbol) {
    state = kSetOut;
    make();
    return bits[symbol];
  }

  // Marks what ProposalBitsNow reads, predictor by predictor.
  void make() {
    for (int k = 0; k < count; ++k) bits[marked[k]] = 0;
    count = 0;
    mark(aux.columnGuess, 1);
    if (aux.pairClose) mark(aux.pairFollower, 2);
    mark(aux.classFollower, 4);
    for (const int follower : aux.tableFollower) mark(follower, 8);
    mark(aux.recordFollower, 8);
    mark(aux.progression, 8);
    for (const int lineEnd : {'\n', '\r'})
      if (aux.endsLongLine(lineEnd)) mark(lineEnd, 16);
  }
  void mark(int symbol, uint8_t bit) {
    if (symbol < 0) return;
    if (bits[symbol] == 0) marked[count++] = static_cast<uint8_t>(symbol);
    bits[symbol] |= bit;
  }

  uint8_t bits[256] = {};
  uint8_t marked[11];  // the symbols with bits set, at most one per predictor
  int count = 0;
  STATE state = kDue;
};
CANDIDATE_PROPOSALS proposals;

inline uint32_t ProposalBits(int symbol) { return proposals.of(symbol); }

// What is left of the suffix's frequencies among the open symbols once a
// symbol the suffix gives sf is refused (at least 1).
inline uint32_t SuffixRestAfterRefusal(uint32_t rest, uint32_t sf) { return rest > sf + 1 ? rest - sf : 1; }

// A candidate's share of the total in 256ths (at most 255), and the row of
// its decision: that share in classes.
inline uint32_t CandidateShare(uint32_t f, uint32_t t) { return std::min<uint32_t>(256 * f / t, 255); }
inline int CandidateRow(uint32_t share) { return CLASS_OF[share] + 1; }

// The decision for the candidate st at `index` of its list; `last` tells
// whether it is the last before an escape.
template <bool Encoding>
bool CandidateDecision(int target, const SYMBOL_STATE* st, uint32_t t, bool atTop,
                       CONTEXT_RECORD* ctx, int escapes, int index, bool last) {
  const bool first = index == 0;
  const bool light = LightDecision(index);
  const int symbol = st->symbol;
  const uint32_t f = std::max<uint32_t>(st->freq, 1);
  const uint32_t q = CandidateShare(f, t);
  const int row = CandidateRow(q);
  // Feature word. Bit 0 is the numbered-line guess (1.2% smaller on
  // kjv.txt), bit 4 the end of a long line (0.5% on wrapped text), bits 6
  // and 8 the place in a word (0.3% on text). Bit 12 is whether the context
  // is longer than 4, but in text whether a word follower proposes the
  // symbol (0.04% smaller on the Canterbury texts and on kjv.txt; counting
  // the follower of the word so far too, a further 0.08%).
  const uint32_t word = cs.text.wordClass();
  const uint32_t features =
      ProposalBits(symbol) | (symbol >= 64) << 5 | (word & 1) << 6 |
      aux.followedRecently(symbol, cs.maskRound) << 7 |
      (word >> 1) << 8 | atTop << 9 |
      ((ctx->flags & kFlagFreshFreq) != 0) << 10 | cs.prevSuccess << 11 |
      (cs.text.inText() ? wordFollowers.proposes(symbol) : pos.orderLen > 4) << 12;
  // The correction stages read bits of their own: stage 5 whether this is
  // the first candidate offered and (in place of the line end) whether a
  // word is under way, stage 4 the word again and whether this is the last
  // candidate before an escape (0.15% smaller on text). In place of the
  // previous success, bit 11 tells whether the suffix gives the symbol a
  // larger share than this context does (0.05% smaller on text).
  const bool inWord = word != 0;
  const uint32_t sf = SuffixFreq(symbol);
  const uint64_t suffixShare = uint64_t{sf} * t, ownShare = uint64_t{f} * cs.suffixRest;
  const bool suffixFavours = suffixShare > ownShare;
  const uint32_t stageFeatures = (features & ~(1u << 4 | 1u << 11)) | first | inWord << 4 |
                                 suffixFavours << 11 | inWord << 13 | last << 14;
  PrefetchStageCells(atTop ? kTopCandidate : kEscapedCandidate, stageFeatures, escapes, q >> 2);
  BIT_ESTIMATE& cell = tables.candidateCell(row, features);
  if (cell.total > 0x8000) RefreshBitEstimate(cell);
  uint32_t w = cell.hits;
  uint32_t tt = cell.total;
  const BIT_ESTIMATE& above = tables.candidateCell(row - 1, features);
  const BIT_ESTIMATE& below = tables.candidateCell(row + 1, features);
  {
    // Interpolate toward the neighbouring row by the position of q in its class.
    const int frac = kClassPlace.v[q];
    const BIT_ESTIMATE& side = frac >= 0 ? below : above;
    const uint32_t a = static_cast<uint32_t>(frac >= 0 ? frac : -frac);
    if (side.total) {
      w = (w * (16 - a) + (uint32_t{side.hits} * cell.total / side.total) * a) / 16;
    }
  }
  // A young cell (one whose rate is still high) leans on the rows beside
  // it, and from a rate of 73 also on the rows two away (rows run from 2 to
  // 25, so all four exist): 0.05% smaller on text, 0.26% on binaries.
  if (cell.rate >= 9) {
    w += (above.hits + below.hits) >> 3;
    tt += (above.total + below.total) >> 3;
    if (cell.rate >= 73) {
      const BIT_ESTIMATE& farAbove = tables.candidateCell(row - 2, features);
      const BIT_ESTIMATE& farBelow = tables.candidateCell(row + 2, features);
      w += (farAbove.hits + farBelow.hits) >> 4;
      tt += (farAbove.total + farBelow.total) >> 4;
    }
  }
  // A running probability for the symbol itself, in this row and with the
  // same follower bits, counts for a ninth. It forgets fast (a quarter per
  // use), so it follows what this symbol did lately: 0.04% smaller on text,
  // 0.35% on binaries. Below 2^32: the running value stays under 2^14,
  // tt / 8 under 2^18.
  uint16_t& running = cs.candidateRunning[row][static_cast<uint32_t>(symbol) | (features & 31) << 8];
  w += running * (tt >> 3) / kRunningScale;
  tt += tt >> 3;
  cell.total = static_cast<uint16_t>(cell.total + cell.rate);
  {
    // The context's own ratio f / t counts for a third of the estimate.
    const uint32_t z = tt >> 1;
    w += f * z / t;  // f < 2^8, z < 2^16
    tt += z;
  }
  if (ctx->suffix != 0) {
    // So does the suffix's share among the symbols still open, at a
    // seventeenth of the estimate: 0.25% smaller on text, 0.1% on binaries.
    const uint32_t z = tt >> 4;
    w += sf * z / cs.suffixRest;  // sf < 2^8, z < 2^17
    tt += z;
  }
  ClampWeights(w, tt);

  // Stage 1 tells candidates apart by how the suffix's share of the symbol
  // compares with this context's: none to offer at the root (0), the suffix
  // lacks the symbol (1), then by powers of two from below a quarter (2) to
  // four times and more (7). Text 0.05% smaller, binaries 0.13%. The text
  // class of the symbol comes above.
  uint32_t shareClass = 0;
  if (ctx->suffix != 0) {
    shareClass = sf == 0                          ? 1
                 : suffixShare * 4 < ownShare     ? 2
                 : suffixShare * 2 < ownShare     ? 3
                 : suffixShare < ownShare         ? 4
                 : suffixShare < 2 * ownShare     ? 5
                 : suffixShare < 4 * ownShare     ? 6
                                                  : 7;
  }
  GAIN_RECORD* cells[5];
  StageCells(cells, atTop ? kTopCandidate : kEscapedCandidate, symbol, w, tt, stageFeatures, escapes,
             shareClass | cs.text.candidateTextClass(symbol) << 3, light);
  if (light)
    cs.stages.applyLight(cells, w, tt);
  else
    cs.stages.apply(cells, w, tt);
  ClampWeights(w, tt);

#ifdef ZUBRECA_STATS
  statKind = atTop ? 1 : 2;
#endif
  const bool hit = CodeDecision<Encoding>(target == symbol, w, tt);
  if (light)
    cs.stages.learnLight(hit);
  else
    cs.stages.learn(hit);
  if (hit) cell.hits = static_cast<uint16_t>(cell.hits + cell.rate);
  running = static_cast<uint16_t>(running - (running >> 2) + (hit ? kRunningScale / 4 : 0));
  if (!hit) cs.suffixRest = SuffixRestAfterRefusal(cs.suffixRest, sf);
  return hit;
}

// ---------------------------------------------------------------------------
// Long candidate lists.
//
// Offered one by one, a long list costs a decision through the five
// correction stages for every candidate refused: a byte new to its
// contexts took a hundred or more. Past its first kOneByOne candidates, the
// rest of a long list can instead be coded by value: one decision tells
// the rest from an escape, then each bit of the symbol's value, from the
// highest, that still tells the remaining candidates apart, by the share
// of their frequencies below it, through two learned curves
// (SPLIT_ESTIMATE). The candidates the auxiliary predictors propose stay
// one by one, ahead of the rest (without that, 3.9% larger on audio and
// 1.6% on a program).
//
// By value is smaller where neighbouring values go together: 1.3% on
// stereo audio, 1.6% on a photo and 2.4% on a 16-bit image, and the audio
// takes 2.4 times fewer decisions. One by one is smaller where the
// features pick the symbol deep in a list almost for free (by value
// throughout was 13% larger on a spreadsheet) and on text (0.3%). So
// outside text, each buffer measures on the coder's range what the tails
// of long lists cost, a running average by escapes, and codes them by value
// where a tail costs more than kValueTailAbove: there the features were not
// finding the symbol. Elsewhere the tail of a top context's list stays one
// by one after a decision against its escape (CodeTailAfterDecision).

// A list is long from kLongList candidates. Its head is kOneByOne of them;
// a tail shorter than kMinTail stays one by one. A head of 4 rather than 8
// was 0.1 to 0.3% smaller on audio and images and took 7 to 10% fewer
// decisions; a head of 2 rather than 4 is 0.1% smaller on them and takes
// 7% fewer decisions there and on a library, for 0.02 to 0.04% on the
// other programs (a head of 1 made one 0.06% larger, and none at all
// made another 1% larger).
// Long lists from 8 rather than 12 candidates were 1.2% larger on a
// spreadsheet.
// A list reached by an escape whose tail goes by value has a head of
// kEscapedHead: its first candidate alone, the proposed ones behind it. A
// head of 1 rather than 2 there takes 3.6% fewer decisions on stereo
// audio, 2.7% on a library and 2.6% on a photo, and codes every corpus
// file within 0.03% (a spreadsheet 0.26% smaller, a 16-bit image 0.08%);
// a head of none made a library 1.1% larger. Tails that stay one by one
// after a decision keep kOneByOne: a head of 1 there made the spreadsheet
// 1.7% larger.
constexpr int kLongList = 12;
constexpr int kOneByOne = 2;
constexpr int kEscapedHead = 1;
constexpr int kMinTail = 4;
// The average cost of a tail, in 1/256 bits, above which tails are coded by
// value: 1.5 bits. With the head of 4, 2 bits in the top context rather
// than 4 took 10 to 25% fewer decisions on audio and programs at sizes
// within 0.05%, but 0.25% larger on a listing of file names under the
// records trick. With the head of 2, 1.5 bits rather than 2 takes 8% fewer
// decisions on a library of resources and 6% on stereo audio, whose tails
// after one escape cost about that much, and every corpus file codes
// within 0.01% or smaller (a library 0.13%); 1.25 bits made the
// spreadsheet 0.6% larger.
constexpr uint32_t kValueTailAbove = 384;

inline int TailClass(int escapes) { return std::min(escapes, 3); }
// The second curve's context of a tail's decisions: the length of the tail
// in four classes, and the order class.
inline uint32_t TailLengthAndOrder(int n) {
  const uint32_t lengthClass = n < 32 ? 0u : n < 96 ? 1u : n < 192 ? 2u : 3u;
  return lengthClass << 2 | static_cast<uint32_t>(OrderClass(pos.orderLen));
}
inline bool CodesTailByValue(int escapes) {
  return !cs.text.inText() && cs.tailCost[TailClass(escapes)] > kValueTailAbove;
}
// In a context reached by an escape, a tail that stays one by one is
// coded after a decision against the escape: a spreadsheet's long lists
// end in an escape more often than not, after up to a hundred near-certain
// refusals. Taken where such tails had cost less than a quarter bit on
// average, it took the spreadsheet 21% fewer decisions for 0.3% of its
// size; taken wherever they do not go by value (below kValueTailAbove),
// the spreadsheet 14% fewer instructions still, and it codes 0.4% smaller;
// a program codes 0.4% larger.
constexpr uint32_t kCheapTail = kValueTailAbove;
inline bool CodesCheapTailAfterDecision(int escapes) {
  return !cs.text.inText() && cs.tailCost[TailClass(escapes)] < kCheapTail;
}

// Measures the cost of a tail from its first decision to its end and takes
// it into the running average of its class.
class TAIL_METER {
 public:
  explicit TAIL_METER(int escapes) : cls(TailClass(escapes)) {}
  void start() { from = coder.spentSixteenths(); started = true; }
  bool running() const { return started; }
  void stop() {
    if (!started) return;
    started = false;
    const uint32_t cost = std::min<uint32_t>(coder.spentSixteenths() - from, 4095) * 16;
    uint32_t& average = cs.tailCost[cls];
    average = average - (average >> 4) + (cost >> 4);
  }

 private:
  int cls;
  uint32_t from = 0;
  bool started = false;
};

// A set of byte values with a frequency for each, for coding a tail by
// value: the decisions split ranges of values aligned to powers of two.
struct VALUE_SET {
  uint16_t freq[256];  // at least 1 where present, 0 where absent

  bool has(int value) const { return freq[value] != 0; }
  // The frequency of the values in [from, from + width), a range aligned
  // to its width, a power of two.
  uint32_t sumIn(int from, int width) const {
#ifdef __SSE2__
    if (width >= 8) {
      // Pairs of frequencies (below 2^15) summed into 32-bit lanes.
      const __m128i ones = _mm_set1_epi16(1);
      __m128i total = _mm_setzero_si128();
      for (int i = from; i < from + width; i += 8)
        total = _mm_add_epi32(
            total, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(freq + i)), ones));
      total = _mm_add_epi32(total, _mm_shuffle_epi32(total, 0x4E));
      total = _mm_add_epi32(total, _mm_shuffle_epi32(total, 0xB1));
      return static_cast<uint32_t>(_mm_cvtsi128_si32(total));
    }
#endif
    uint32_t sum = 0;
    for (int i = from; i < from + width; ++i) sum += freq[i];
    return sum;
  }
};

// The candidates of a tail to be coded by value: their values with their
// frequencies (at least 1), and their states by value. All of a list's
// candidates are gathered at first (GatherTail); the head and the proposed
// candidates are then taken out (TakeProposedFromTail).
struct VALUE_TAIL {
  VALUE_SET set;
  SYMBOL_STATE* bySymbol[256];
  uint32_t sum = 0;
  int count = 0;
  // A tail listed from a whole table whose states' places are kept
  // (ListKeptIntoTail) finds its states through them, and bySymbol is not
  // filled.
  STATE_PLACES* places = nullptr;
  SYMBOL_STATE* table = nullptr;
  int tableSize = 0;

  SYMBOL_STATE* stateOf(int symbol) const {
    return places ? places->locate(table, tableSize, symbol) : bySymbol[symbol];
  }
};

// Enters a candidate's frequency (at least 1) and state in a tail by its
// symbol; returns the frequency, for the tail's sum.
inline uint32_t PutInTail(VALUE_TAIL& tail, SYMBOL_STATE* state) {
  const uint32_t f = std::max<uint32_t>(state->freq, 1);
  tail.set.freq[state->symbol] = static_cast<uint16_t>(f);
  tail.bySymbol[state->symbol] = state;
  return f;
}

// Gathers all n candidates c into a tail.
void GatherTail(VALUE_TAIL& tail, SYMBOL_STATE* const* c, int n) {
  std::memset(tail.set.freq, 0, sizeof tail.set.freq);
  uint32_t sum = 0;
  for (int k = 0; k < n; ++k) sum += PutInTail(tail, c[k]);
  tail.sum = sum;
  tail.count = n;
}

// An empty tail, for ListIntoTail and AddToTail.
void StartTail(VALUE_TAIL& tail) {
  std::memset(tail.set.freq, 0, sizeof tail.set.freq);
  tail.sum = 0;
  tail.count = 0;
}

inline void AddToTail(VALUE_TAIL& tail, SYMBOL_STATE* state) {
  tail.sum += PutInTail(tail, state);
  ++tail.count;
}

// Puts the open states among [first, end) of a context's table into an
// empty tail, masking them, without listing them: the listing of a long
// list that will be coded by value. Returns how many were open and adds
// their frequencies to sum. Where few symbols are masked yet, all the
// states go in at first and those masked before are then taken out again,
// and the pass over the table needs no test; otherwise each state is tested
// without a branch, as which symbols are masked follows no pattern.
int ListIntoTail(SYMBOL_STATE* first, SYMBOL_STATE* end, VALUE_TAIL& tail, uint32_t& sum) {
  uint8_t* const maskStamp = cs.maskStamp;
  const uint8_t round = cs.maskRound;
  uint16_t* const freq = tail.set.freq;
  uint32_t rawSum = 0, tailSum = 0;
  int open = 0;
  uint64_t maskedBefore[4];
  if (MaskedSet(maskedBefore) * kMaskedFewPer <= end - first) {
    for (SYMBOL_STATE* state = first; state != end; ++state) {
      const int symbol = state->symbol;
      const uint32_t f = state->freq;
      const uint32_t tailFreq = std::max<uint32_t>(f, 1);
      freq[symbol] = static_cast<uint16_t>(tailFreq);
      tail.bySymbol[symbol] = state;
      rawSum += f;
      tailSum += tailFreq;
      maskStamp[symbol] = round;
    }
    open = static_cast<int>(end - first);
    for (int word = 0; word < 4; ++word)
      for (uint64_t bits = maskedBefore[word]; bits != 0; bits &= bits - 1) {
        const int symbol = word * 64 + __builtin_ctzll(bits);
        if (freq[symbol] == 0) continue;  // not in this table
        tailSum -= freq[symbol];
        rawSum -= tail.bySymbol[symbol]->freq;
        freq[symbol] = 0;
        --open;
      }
  } else {
    for (SYMBOL_STATE* state = first; state != end; ++state) {
      const int symbol = state->symbol;
      const uint32_t isOpen = 0u - (maskStamp[symbol] != round);
      const uint32_t f = state->freq;
      const uint32_t tailFreq = std::max<uint32_t>(f, 1) & isOpen;
      freq[symbol] = static_cast<uint16_t>(tailFreq);  // 0 leaves a masked symbol out
      tail.bySymbol[symbol] = state;
      open -= static_cast<int>(isOpen);  // isOpen is 0 or all ones
      rawSum += f & isOpen;
      tailSum += tailFreq;
      maskStamp[symbol] = round;
    }
  }
  sum += rawSum;
  tail.sum += tailSum;
  tail.count += open;
  return open;
}

// ListIntoTail for a whole table whose frequencies and states' places are
// kept by symbol (the root's in rootFreqs, a long table's in tableFreqs):
// the tail's frequencies, the sums and the masks come sixteen symbols at a
// time, without a pass over the table, and the tail finds its states
// through the places. The root is listed for a quarter to a third of the
// bytes of audio, images and programs, an order-1 table for most of the
// rest.
int ListKeptIntoTail(SYMBOL_STATE* table, int n, const uint8_t* kept, STATE_PLACES& places, VALUE_TAIL& tail,
                     uint32_t& sum) {
  const bool full = n == 256;
  tail.places = &places;
  tail.table = table;
  tail.tableSize = n;
  uint8_t* const maskStamp = cs.maskStamp;
  const uint8_t round = cs.maskRound;
  uint16_t* const freq = tail.set.freq;
  uint32_t rawSum = 0, tailSum = 0;
  int open = 0;
#ifdef __SSE2__
  const __m128i roundBytes = _mm_set1_epi8(static_cast<char>(round));
  const __m128i all = _mm_set1_epi8(-1);
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  __m128i raw = zero, inTail = zero, openCount = zero;
  for (int i = 0; i < 256; i += 16) {
    __m128i* const stamps = reinterpret_cast<__m128i*>(maskStamp + i);
    const __m128i masked = _mm_cmpeq_epi8(_mm_loadu_si128(stamps), roundBytes);
    const __m128i held =
        full ? all : _mm_andnot_si128(_mm_cmpeq_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(places.at + i)), all), all);
    const __m128i isOpen = _mm_andnot_si128(masked, held);
    const __m128i f = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kept + i)), isOpen);
    const __m128i t = _mm_and_si128(_mm_max_epu8(f, ones), isOpen);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(freq + i), _mm_unpacklo_epi8(t, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(freq + i + 8), _mm_unpackhi_epi8(t, zero));
    raw = _mm_add_epi64(raw, _mm_sad_epu8(f, zero));
    inTail = _mm_add_epi64(inTail, _mm_sad_epu8(t, zero));
    openCount = _mm_add_epi64(openCount, _mm_sad_epu8(_mm_and_si128(isOpen, ones), zero));
    // The symbols the table holds are masked; the others keep their stamps.
    const __m128i oldStamps = _mm_loadu_si128(stamps);
    _mm_storeu_si128(stamps, _mm_or_si128(_mm_and_si128(held, roundBytes), _mm_andnot_si128(held, oldStamps)));
  }
  rawSum = static_cast<uint32_t>(_mm_cvtsi128_si32(raw) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(raw, raw)));
  tailSum = static_cast<uint32_t>(_mm_cvtsi128_si32(inTail) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(inTail, inTail)));
  open = _mm_cvtsi128_si32(openCount) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(openCount, openCount));
#else
  for (int symbol = 0; symbol < 256; ++symbol) {
    const bool held = full || places.at[symbol] != STATE_PLACES::kAbsent;
    const uint32_t isOpen = 0u - (held && maskStamp[symbol] != round);
    const uint32_t f = kept[symbol] & isOpen;
    const uint32_t tailFreq = std::max<uint32_t>(f, 1) & isOpen;
    freq[symbol] = static_cast<uint16_t>(tailFreq);
    open -= static_cast<int>(isOpen);
    rawSum += f;
    tailSum += tailFreq;
    if (held) maskStamp[symbol] = round;
  }
#endif
  sum += rawSum;
  tail.sum += tailSum;
  tail.count += open;
  return open;
}

// The symbols an auxiliary predictor proposes, as a set of 256 bits.
void ProposedSet(uint64_t proposed[4]) {
  const uint64_t* recent = aux.recentFollowerSet();
  for (int word = 0; word < 4; ++word) proposed[word] = recent[word];
  const int symbols[] = {aux.recencyFollower,  aux.pairFollower,       aux.classFollower,
                         aux.tableFollower[0], aux.tableFollower[1],   aux.tableFollower[2],
                         aux.recordFollower,   aux.progression,        aux.columnGuess};
  for (const int symbol : symbols)
    if (symbol >= 0) proposed[symbol >> 6] |= uint64_t{1} << (symbol & 63);
}

// Moves the candidates from `from` on that an auxiliary predictor proposes
// to the front of that part, each part keeping its order; returns how many
// moved.
int PromoteProposed(SYMBOL_STATE** c, int from, int n) {
  uint64_t proposed[4];
  ProposedSet(proposed);
  // Without branches: which candidates are proposed follows no pattern.
  SYMBOL_STATE* rest[256];
  int moved = 0, kept = 0;
  for (int k = from; k < n; ++k) {
    SYMBOL_STATE* state = c[k];
    const int symbol = state->symbol;
    const bool promote = (proposed[symbol >> 6] >> (symbol & 63) & 1) != 0;
    c[from + moved] = state;
    rest[kept] = state;
    moved += promote;
    kept += !promote;
  }
  std::memcpy(c + from + moved, rest, static_cast<size_t>(kept) * sizeof *c);
  return moved;
}

// The same for a list whose n candidates c were all gathered into `tail`
// and lie from `from` on in the order of their states in memory (the order
// of their context's table): the first `from` and the proposed ones are
// taken out of the tail, and only the proposed ones are moved, found by
// their bits rather than by a pass over the list. Returns how many moved,
// or -1, with nothing changed, when fewer than kMinTail would be left.
int TakeProposedFromTail(SYMBOL_STATE** c, int from, int n, VALUE_TAIL& tail) {
  uint64_t proposed[4];
  ProposedSet(proposed);
  uint64_t head[4] = {};
  for (int k = 0; k < from; ++k) head[c[k]->symbol >> 6] |= uint64_t{1} << (c[k]->symbol & 63);
  SYMBOL_STATE* promoted[256];
  int moved = 0;
  for (int word = 0; word < 4; ++word)
    for (uint64_t bits = proposed[word] & ~head[word]; bits != 0; bits &= bits - 1)
      if (const int symbol = word * 64 + __builtin_ctzll(bits); tail.set.has(symbol))
        promoted[moved++] = tail.stateOf(symbol);
  if (n - from - moved < kMinTail) return -1;
  std::sort(promoted, promoted + moved, std::less<SYMBOL_STATE*>());
  auto takeOut = [&tail](const SYMBOL_STATE* state) {
    tail.set.freq[state->symbol] = 0;
    tail.sum -= std::max<uint32_t>(state->freq, 1);
  };
  for (int k = 0; k < from; ++k) takeOut(c[k]);
  for (int k = 0; k < moved; ++k) {
    takeOut(promoted[k]);
    c[from + k] = promoted[k];
  }
  tail.count = n - from - moved;
  return moved;
}

// Codes which candidate of the tail is the target, by value (see above), or
// an escape. Returns the found state, or nullptr after an escape.
template <bool Encoding>
SYMBOL_STATE* CodeTailByValue(const VALUE_TAIL& tail, uint32_t escape, int target, int escapes, bool atTop) {
  const VALUE_SET& set = tail.set;
  uint32_t sum = tail.sum;

#ifdef ZUBRECA_STATS
  statKind = 3;
#endif
  // The encoder's target is -1 at the end of data, which no list holds.
  const bool targetInTail = Encoding && target >= 0 && set.has(target);
  const uint32_t escapeRow = static_cast<uint32_t>(TailClass(escapes) * 2 + atTop);
  const bool inTail =
      CodeDecision<Encoding>(targetInTail, cs.split.escapeWeight(escapeRow, sum, sum + escape), SPLIT_ESTIMATE::kTotal);
  cs.split.learn(inTail);
  if (!inTail) return nullptr;
  // Each step keeps the candidates whose value has the target's bit: the
  // range of values [base, base + 2^(bit + 1)) narrows to one of its
  // halves. The first curve is chosen by the bits so far, whether the
  // context was reached by an escape and the top two bits of the last byte;
  // the second by the bits so far, the length of the tail and the order
  // class.
  const uint32_t firstBits = (escapes > 0) << 2 | cs.text.lastByte >> 6;
  const uint32_t secondBits = TailLengthAndOrder(tail.count);
  int base = 0;
  uint32_t node = 1;  // 1 followed by the bits so far
  for (int bit = 7; bit >= 0; --bit) {
    const int half = 1 << bit;
    // Every candidate has a frequency of at least 1: a half is empty when
    // its frequency is 0, and holds all of them when it is the sum.
    const uint32_t belowSum = set.sumIn(base, half);
    if (belowSum == 0 || belowSum == sum) {
      node = node * 2 + (belowSum == 0);
      base += belowSum == 0 ? half : 0;
      continue;
    }
    const uint32_t w = cs.split.weight(node << 3 | firstBits, node << 4 | secondBits, belowSum, sum);
    const bool zero = CodeDecision<Encoding>(Encoding && !(target >> bit & 1), w, SPLIT_ESTIMATE::kTotal);
    cs.split.learn(zero);
    if (zero) {
      sum = belowSum;
    } else {
      sum -= belowSum;
      base += half;
    }
    node = node * 2 + !zero;
  }
  // Each step kept a half that holds candidates: base is the value found.
  return tail.stateOf(base);
}

// The favourite of a tail.
//
// Deep in a spreadsheet's long lists the symbol is found almost for free
// after a hundred or more near-certain refusals: what picks it out is the
// running probability of its symbol in the row its share of the rest gives
// it, which stays high while the same symbol keeps being found there. All
// of that is known before the first refusal: each candidate would be
// offered with the tail's sum less the frequencies before it. So where
// tails are cheap, the first candidate past the tail's first whose running
// probability would be at least kFavouriteAt is offered first, with the
// sum, the suffix's rest and the place it would have had; refused, it
// leaves the tail and the others follow one by one. On the spreadsheet
// 1.6% smaller, with 54% fewer decisions in contexts reached by an escape;
// a library of resources 0.01% larger.
constexpr uint16_t kFavouriteAt = kRunningScale * 7 / 8;

struct FAVOURITE {
  int at = -1;  // its place in the tail, or -1 when none was offered
  bool hit = false;
};

// The first candidate of c[1, n) that would be offered with a running
// probability of at least kFavouriteAt, if the ones before it were refused;
// its sum and the suffix's rest at that point.
struct FAVOURITE_PLACE {
  int at = -1;
  uint32_t sum = 1;
  uint32_t suffixRest = 1;
};
FAVOURITE_PLACE FindFavourite(SYMBOL_STATE* const* c, int n, uint32_t sum) {
  uint32_t rest = cs.suffixRest;
  for (int k = 0; k < n; ++k) {
    const int symbol = c[k]->symbol;
    const uint32_t t = std::max<uint32_t>(sum, 1);
    if (k > 0) {
      const uint32_t column = static_cast<uint32_t>(symbol) | ProposalBits(symbol) << 8;
      const int row = CandidateRow(CandidateShare(std::max<uint32_t>(c[k]->freq, 1), t));
      if (cs.candidateRunning[row][column] >= kFavouriteAt) return FAVOURITE_PLACE{k, t, rest};
    }
    rest = SuffixRestAfterRefusal(rest, SuffixFreq(symbol));
    sum -= c[k]->freq;
  }
  return FAVOURITE_PLACE{};
}

// Offers the favourite of the n candidates c of a tail whose sum is `sum`
// and whose first candidate has place `from` in its list.
template <bool Encoding>
FAVOURITE OfferFavourite(int target, SYMBOL_STATE* const* c, int n, uint32_t sum, CONTEXT_RECORD* ctx, int escapes,
                         bool atTop, int from) {
  if (!CodesCheapTailAfterDecision(escapes)) return FAVOURITE{};
  const FAVOURITE_PLACE place = FindFavourite(c, n, sum);
  if (place.at < 0) return FAVOURITE{};
  const SYMBOL_STATE* st = c[place.at];
  const uint32_t rest = cs.suffixRest;
  cs.suffixRest = place.suffixRest;
  const bool hit = CandidateDecision<Encoding>(target, st, place.sum, atTop, ctx, escapes, from + place.at,
                                               place.at + 1 == n);
  cs.suffixRest = SuffixRestAfterRefusal(rest, SuffixFreq(st->symbol));
  return FAVOURITE{place.at, hit};
}

// Codes which of the n candidates c of a tail is the target, or an
// escape: one decision for the tail against the escape, then the candidates
// one by one, the last without a decision. sum is the frequency sum of the
// tail; the candidates follow `from` others in their list. Returns the
// found state, or nullptr after an escape.
//
// A long list whose symbol is not in it took a refusal for every candidate
// before its escape: a spreadsheet took 25 decisions a byte, nearly all
// refusals at a near-certain probability. In the top context the one
// decision makes it and stereo audio 15% faster, for 0.2% of its size;
// audio and programs code within 0.08%.
//
// In a context reached by an escape, the decision is learned by the
// escapes, whether the last such tail held the symbol, the tail's length
// and the order class (without the order class, 64% larger on the
// spreadsheet). It is taken only where such tails have been cheap (see
// CodesCheapTailAfterDecision): elsewhere the refusals one by one told
// the escape apart better.
template <bool Encoding>
SYMBOL_STATE* CodeTailAfterDecision(SYMBOL_STATE* const* c, int n, uint32_t sum, uint32_t escape, int target,
                                    CONTEXT_RECORD* ctx, int from, bool atTop, int escapes) {
  bool targetInTail = false;
  if constexpr (Encoding)
    for (int k = 0; k < n; ++k) targetInTail |= c[k]->symbol == target;
  uint32_t w;
  if (atTop) {
    w = cs.split.weight(SPLIT_ESTIMATE::kTopTailRow, TailLengthAndOrder(n), sum, sum + escape);
  } else {
    const uint32_t first = SPLIT_ESTIMATE::kEscapedTailRow + static_cast<uint32_t>(std::min(escapes, 2)) * 2 +
                           cs.lastEscapedTailHit;
    w = cs.split.weight(first, SPLIT_ESTIMATE::kEscapedTailSecondRow + TailLengthAndOrder(n), sum, sum + escape);
  }
  const bool inTail = CodeDecision<Encoding>(targetInTail, w, SPLIT_ESTIMATE::kTotal);
  cs.split.learn(inTail);
  if (!atTop) cs.lastEscapedTailHit = inTail;
  if (!inTail) return nullptr;
  const FAVOURITE favourite = OfferFavourite<Encoding>(target, c, n, sum, ctx, escapes, atTop, from);
  if (favourite.hit) {
    ++cs.favouritesFound;
    return c[favourite.at];
  }
  SYMBOL_STATE* others[256];
  if (favourite.at >= 0) {
    sum -= c[favourite.at]->freq;
    std::copy(c, c + favourite.at, others);
    std::copy(c + favourite.at + 1, c + n, others + favourite.at);
    c = others;
    --n;
  }
  for (int k = 0; k + 1 < n; ++k) {
    if (CandidateDecision<Encoding>(target, c[k], std::max<uint32_t>(sum, 1), atTop, ctx, escapes, from + k,
                                    k + 2 == n))
      return c[k];
    sum -= c[k]->freq;
  }
  return c[n - 1];
}

// Which named predictors (PROPOSER) propose the symbol, a bit each.
inline uint32_t Proposers(int symbol) {
  return (symbol == aux.columnGuess) << kColumn | (symbol == aux.pairFollower) << kPair |
         (symbol == aux.classFollower) << kClass | (symbol == aux.tableFollower[0]) << kTable0 |
         (symbol == aux.tableFollower[1]) << kTable1 | (symbol == aux.tableFollower[2]) << kTable2 |
         (symbol == aux.recordFollower) << kRecord | (symbol == aux.progression) << kProgression |
         (symbol == aux.recencyFollower) << kRecency;
}

// The proposed candidates of a list coded by value. Most are refused: on
// a photo, one in 7 to 20 of each predictor's turned out the symbol, and
// each refusal took a decision through the five correction stages. So the
// candidates of a predictor whose proposals have lately turned out the
// symbol at least one time in 10 (kStrongRate) go one by one; the others,
// with those only the followers of recent occurrences propose, go as a
// group: one decision tells whether the symbol is among them, learned by
// their number and the share of their frequencies, then they go one by one.
// Stereo audio takes 11% fewer instructions and codes 1.1% smaller, a photo
// 8% fewer for 0.2% of its size, programs within 0.1%. Returns the found
// state, or nullptr when the symbol is not among them (t has then lost
// their frequencies); `at` is the place of c[0] in a list of n.
constexpr uint16_t kStrongRate = 65536 / 10;
template <bool Encoding>
SYMBOL_STATE* CodeProposedInGroups(SYMBOL_STATE* const* c, int count, uint32_t& t, int at, int n, int target,
                                   bool atTop, CONTEXT_RECORD* ctx, int escapes) {
  uint32_t strongProposers = 0, offered = 0;
  for (int p = 0; p < kProposers; ++p) strongProposers |= (cs.proposerRate[p] >= kStrongRate) << p;
  SYMBOL_STATE* strong[256];
  SYMBOL_STATE* weak[256];
  int strongCount = 0, weakCount = 0;
  for (int k = 0; k < count; ++k) {
    const uint32_t proposers = Proposers(c[k]->symbol);
    offered |= proposers;
    if (proposers & strongProposers)
      strong[strongCount++] = c[k];
    else
      weak[weakCount++] = c[k];
  }
  if (weakCount == 1) strong[strongCount++] = weak[--weakCount];
  SYMBOL_STATE* found = nullptr;
  const DECISION_KIND kind = atTop ? kTopCandidate : kEscapedCandidate;
  for (int k = 0; k < strongCount && found == nullptr; ++k) {
    if (k + 1 < strongCount) PrefetchCandidateCells(strong[k + 1]->symbol, kind, at + k + 1);
    if (CandidateDecision<Encoding>(target, strong[k], t, atTop, ctx, escapes, at + k, at + k + 1 == n))
      found = strong[k];
    else
      t -= strong[k]->freq;
  }
  if (found == nullptr && weakCount > 0) {
    uint32_t sum = 0;
    bool targetAmong = false;
    for (int k = 0; k < weakCount; ++k) {
      sum += std::max<uint32_t>(weak[k]->freq, 1);
      if constexpr (Encoding) targetAmong |= weak[k]->symbol == target;
    }
    const uint32_t row = static_cast<uint32_t>(std::min(weakCount, 4) - 2) * 4 + (escapes > 0) * 2 + atTop;
    const uint32_t w = cs.split.escapeWeight(SPLIT_ESTIMATE::kGroupRow + row, sum, std::max(t, sum + 1));
    const bool among = CodeDecision<Encoding>(targetAmong, w, SPLIT_ESTIMATE::kTotal);
    cs.split.learn(among);
    ++cs.proposedGroups;
    if (among) {
      const int from = at + strongCount;
      for (int k = 0; k + 1 < weakCount && found == nullptr; ++k) {
        if (CandidateDecision<Encoding>(target, weak[k], sum, atTop, ctx, escapes, from + k, false))
          found = weak[k];
        else
          sum -= std::max<uint32_t>(weak[k]->freq, 1);
      }
      if (found == nullptr) found = weak[weakCount - 1];
    } else {
      for (int k = 0; k < weakCount; ++k) t -= weak[k]->freq;
    }
  }
  // Each predictor that offered a candidate learns whether it was the symbol.
  const uint32_t hits = found ? Proposers(found->symbol) : 0;
  for (int p = 0; p < kProposers; ++p) {
    if (!(offered >> p & 1)) continue;
    uint16_t& rate = cs.proposerRate[p];
    rate = static_cast<uint16_t>(rate + (((hits >> p & 1) ? 65535 : 0) - rate) / 32);
  }
  return found;
}

// Codes a long list whose first oneByOne candidates go one by one (its head
// of `head`, then the proposed ones); the rest go by value from `tail`, or
// without it (nullptr) one by one after a decision against the escape. t
// is the escape weight plus the frequencies of all n. Returns the found
// state, or nullptr after an escape.
template <bool Encoding>
SYMBOL_STATE* CodeHeadAndTail(SYMBOL_STATE* const* c, int n, int head, int oneByOne, const VALUE_TAIL* tail,
                              uint32_t t, uint32_t escape, int target, bool atTop, CONTEXT_RECORD* ctx, int escapes) {
  const DECISION_KIND kind = atTop ? kTopCandidate : kEscapedCandidate;
  TAIL_METER meter(escapes);
  for (int k = 0; k < head; ++k) {
    if (k + 1 < oneByOne) PrefetchCandidateCells(c[k + 1]->symbol, kind, k + 1);
    if (CandidateDecision<Encoding>(target, c[k], t, atTop, ctx, escapes, k, k + 1 == n)) {
      meter.stop();
      return c[k];
    }
    t -= c[k]->freq;
  }
  meter.start();
  SYMBOL_STATE* found = nullptr;
  if (head < oneByOne) {
    if (tail) {
      found = CodeProposedInGroups<Encoding>(c + head, oneByOne - head, t, head, n, target, atTop, ctx, escapes);
      if (found != nullptr) {
        meter.stop();
        return found;
      }
    } else {
      for (int k = head; k < oneByOne; ++k) {
        if (k + 1 < oneByOne) PrefetchCandidateCells(c[k + 1]->symbol, kind, k + 1);
        if (CandidateDecision<Encoding>(target, c[k], t, atTop, ctx, escapes, k, k + 1 == n)) {
          meter.stop();
          return c[k];
        }
        t -= c[k]->freq;
      }
    }
  }
  if (oneByOne < n) {
    if (tail) {
      ++cs.valueTails;
      found = CodeTailByValue<Encoding>(*tail, escape, target, escapes, atTop);
    } else {
      found = CodeTailAfterDecision<Encoding>(c + oneByOne, n - oneByOne, t - escape, escape, target, ctx, oneByOne,
                                              atTop, escapes);
    }
  }
  meter.stop();
  return found;
}

// A long list whose tail stays one by one: the proposed candidates move up
// behind its first ones, and a tail too short joins them.
template <bool Encoding>
SYMBOL_STATE* CodeLongListOneByOne(SYMBOL_STATE** c, int n, uint32_t t, uint32_t escape, int target, bool atTop,
                                   CONTEXT_RECORD* ctx, int escapes) {
  int oneByOne = kOneByOne + PromoteProposed(c, kOneByOne, n);
  if (n - oneByOne < kMinTail) oneByOne = n;
  return CodeHeadAndTail<Encoding>(c, n, kOneByOne, oneByOne, nullptr, t, escape, target, atTop, ctx, escapes);
}

// The top context's long list, its n states in table order: the first
// candidates and the proposed ones one by one, then the rest by value, or
// one by one after a decision against the escape. t is the escape weight
// plus the frequencies of all n. Returns the found state, or nullptr after
// an escape. Nothing is masked in the top context yet: where its table is
// cached, the whole table goes into the tail from its copy (which masks
// its symbols early: the top context reads no masks, and masks them all
// when it escapes), and only the head is listed.
template <bool Encoding>
SYMBOL_STATE* CodeLongList(CONTEXT_RECORD* ctx, int n, uint32_t t, uint32_t escape, int target) {
  SYMBOL_STATE* const table = States(ctx);
  SYMBOL_STATE* c[256];
  int listed = 0;
  if (CodesTailByValue(0)) {
    VALUE_TAIL tail;
    if (TABLE_FREQS::ENTRY* entry = n >= TABLE_FREQS::kFrom ? tableFreqs.kept(ctx) : nullptr) {
      for (; listed < kOneByOne; ++listed) c[listed] = table + listed;
      StartTail(tail);
      uint32_t sum = 0;
      ListKeptIntoTail(table, n, entry->freq, TABLE_FREQS::placesOf(*entry), tail, sum);
    } else {
      for (; listed < n; ++listed) c[listed] = table + listed;
      GatherTail(tail, c, n);
    }
    if (const int moved = TakeProposedFromTail(c, kOneByOne, n, tail); moved >= 0)
      return CodeHeadAndTail<Encoding>(c, n, kOneByOne, kOneByOne + moved, &tail, t, escape, target, true, ctx, 0);
  }
  for (; listed < n; ++listed) c[listed] = table + listed;
  return CodeLongListOneByOne<Encoding>(c, n, t, escape, target, true, ctx, 0);
}

// Offers the candidates of the top context in table order. Nothing is
// masked yet, so the total is the context's own frequency sum; the symbols
// are masked only when the context escapes. Returns the found state, or
// nullptr after an escape.
template <bool Encoding>
SYMBOL_STATE* CodeInTopContext(CONTEXT_RECORD* ctx, int target) {
  PrefetchSymbolCells(States(ctx)[ctx->flags & kFlagIndexMask].symbol, kTopCandidate);
  // The suffix's table is read by the pending-frequency and inheritance
  // steps below.
  if (ctx->suffix) {
    const CONTEXT_RECORD* suffix = Context(ctx->suffix);
    if (suffix->lastIndex) __builtin_prefetch(ModelAddress(suffix->stats));
  }
  if (States(ctx)[ctx->flags & kFlagIndexMask].freq == 0) InitPendingFreq(ctx);
  ViewSuffix<false>(ctx);
  InheritFromSuffix(ctx);
  if (const int i = ctx->flags & kFlagIndexMask) {
    MoveToFront(ctx, i);
    ctx->flags &= static_cast<uint8_t>(~kFlagIndexMask);
  }
  SYMBOL_STATE* table = States(ctx);
  const int n = ctx->lastIndex + 1;
  const int predicted = aux.predicted();
  if (predicted >= 0) {
    for (int i = 1; i < n; ++i) {
      if (table[i].symbol != predicted) continue;
      if (aux.confident()) {
        MoveToFront(ctx, i);
        ctx->flags = static_cast<uint8_t>((ctx->flags & ~kFlagIndexMask) | 1);
      } else if (i > 1) {
        const SYMBOL_STATE moved = table[i];
        std::memmove(table + 2, table + 1, static_cast<size_t>(i - 1) * sizeof(SYMBOL_STATE));
        table[1] = moved;
        NoteMoved(ctx, 1, i);
      }
      break;
    }
  }

  ESCAPE_USE use;
  const uint32_t escape = EscapeWeight(ctx, true, static_cast<uint32_t>(n), use);
  uint32_t t = escape + ctx->freqSum;
  if (n >= kLongList && !cs.text.inText()) {
    if (SYMBOL_STATE* found = CodeLongList<Encoding>(ctx, n, t, escape, target)) return found;
  } else {
    for (int k = 0; k < n; ++k) {
      if (k + 1 < n) PrefetchCandidateCells(table[k + 1].symbol, kTopCandidate, k + 1);
      if (CandidateDecision<Encoding>(target, table + k, t, true, ctx, 0, k, k + 1 == n)) return table + k;
      t -= table[k].freq;
    }
  }
  for (int k = 0; k < n; ++k) Mask(table[k].symbol);
  EscapeHappened(use, ctx->freqSum, static_cast<uint32_t>(n));
  return nullptr;
}

// The candidates of a context reached by an escape: the state of interest
// first if it is open, then the other open states in table order.
struct ESCAPED_LIST {
  SYMBOL_STATE* c[256];
  int count = 0;
  uint32_t sum = 0;      // of the candidates' frequencies
  int predictedAt = -1;  // where the predicted symbol is among them, or -1

  // Lists the open states among [first, end), masking them. Without
  // branches: which symbols are masked follows no pattern.
  // The members are kept in locals meanwhile: the stores to the byte-sized
  // masks might alias them.
  void listOpen(SYMBOL_STATE* first, SYMBOL_STATE* end, int predicted) {
    uint8_t* const maskStamp = cs.maskStamp;
    const uint8_t round = cs.maskRound;
    int n = count, at = predictedAt;
    uint32_t total = sum;
    for (SYMBOL_STATE* state = first; state != end; ++state) {
      const int symbol = state->symbol;
      const uint32_t open = maskStamp[symbol] != round;
      at = symbol == predicted ? n : at;
      c[n] = state;
      n += static_cast<int>(open);
      total += state->freq & (0u - open);
      maskStamp[symbol] = round;
    }
    count = n;
    predictedAt = at;
    sum = total;
  }
  // Lists the same candidates again from the tail that ListIntoTail filled
  // with them, once their masks are all set: the state of interest if it
  // was open, then the tail's states among [first, end). The sum stays.
  void listFromTail(SYMBOL_STATE* interest, bool interestOpen, SYMBOL_STATE* first, SYMBOL_STATE* end,
                    const VALUE_TAIL& tail, int predicted) {
    count = 0;
    predictedAt = -1;
    if (interestOpen) c[count++] = interest;
    for (SYMBOL_STATE* state = first; state != end; ++state) {
      if (!tail.set.has(state->symbol) || state == interest) continue;
      predictedAt = state->symbol == predicted ? count : predictedAt;
      c[count++] = state;
    }
  }
  // Moves the predicted symbol forward, to the front when the predictors
  // are confident, else to second place.
  void movePredicted() {
    const int to = aux.confident() ? 0 : 1;
    if (const int k = predictedAt; k > to) {
      SYMBOL_STATE* moved = c[k];
      std::memmove(c + to + 1, c + to, static_cast<size_t>(k - to) * sizeof(SYMBOL_STATE*));
      c[to] = moved;
    }
  }
};

// Offers the unmasked symbols of a context reached by an escape: the state
// of interest first, then the others in table order, the predicted symbol
// moved forward in the list. Returns the found state, or nullptr after an
// escape (all candidates refused, or none to offer).
template <bool Encoding>
SYMBOL_STATE* CodeInEscapedContext(CONTEXT_RECORD* ctx, int target, int escapes) {
  // The state of interest is most often the first candidate: its cells
  // are fetched while the suffix is viewed and the list is made.
  PrefetchSymbolCells(States(ctx)[ctx->flags & kFlagIndexMask].symbol, kEscapedCandidate);
  if (States(ctx)[ctx->flags & kFlagIndexMask].freq == 0) InitPendingFreq(ctx);
  SYMBOL_STATE* const table = States(ctx);
  SYMBOL_STATE* const end = table + ctx->lastIndex + 1;
  // The masked states at the start of the table are passed over first: in
  // a chain of escapes the contexts below the top often hold only symbols
  // already refused, and then only the inheritance step below has work.
  SYMBOL_STATE* firstOpen = table;
  while (firstOpen != end && Masked(firstOpen->symbol)) ++firstOpen;
  // Contexts reached by an escape inherit from their suffix by the same
  // rule as the top context (0.2% smaller on text).
  if (firstOpen == end && !MayInherit(ctx)) return nullptr;
  ViewSuffix<true>(ctx);
  InheritFromSuffix(ctx);
  if (firstOpen == end) return nullptr;

  ESCAPED_LIST list;
  SYMBOL_STATE* const interest = table + (ctx->flags & kFlagIndexMask);
  const bool interestOpen = !Masked(interest->symbol);
  if (interestOpen) {
    list.c[list.count++] = interest;
    Mask(interest->symbol);
    list.sum += interest->freq;
  }
  // The predicted symbol is looked for only while it is open (no symbol
  // has two states in one table).
  const int predicted = aux.predicted();
  const int predictedOpen = predicted >= 0 && !Masked(predicted) ? predicted : -1;
  // A list long enough to be coded by value goes straight into the tail,
  // and only its first kEscapedHead candidates are listed: all but the
  // proposed ones stay in the tail. Should the list turn out short, or the
  // tail too short once the proposed are out, it is listed from the tail.
  VALUE_TAIL tail;
  const bool intoTail = end - table >= kLongList && CodesTailByValue(escapes);
  if (intoTail) {
    for (SYMBOL_STATE* state = firstOpen; state != end && list.count < kEscapedHead; ++state)
      if (!Masked(state->symbol)) list.c[list.count++] = state;
    const int listed = list.count;
    StartTail(tail);
    // The frequencies by symbol of the root are kept, and most often those
    // of a long table too: it was the suffix of the top context.
    const uint8_t* kept = nullptr;
    STATE_PLACES* places = nullptr;
    if (ctx->suffix == 0) {
      kept = rootFreqs.freq;
      places = &rootFreqs.places();
    } else if (TABLE_FREQS::ENTRY* entry = tableFreqs.kept(ctx)) {
      kept = entry->freq;
      places = &TABLE_FREQS::placesOf(*entry);
    }
    const int n = static_cast<int>(end - table);
    list.count = interestOpen + (kept ? ListKeptIntoTail(table, n, kept, *places, tail, list.sum)
                                      : ListIntoTail(firstOpen, end, tail, list.sum));
    if (interestOpen) AddToTail(tail, interest);
    if (list.count < kLongList) {
      list.listFromTail(interest, interestOpen, firstOpen, end, tail, predictedOpen);
    } else if (predictedOpen >= 0 && tail.set.has(predictedOpen)) {
      list.predictedAt = listed;
      for (int k = 0; k < listed; ++k) list.predictedAt = list.c[k]->symbol == predictedOpen ? k : list.predictedAt;
      list.c[list.predictedAt] = tail.stateOf(predictedOpen);
    }
  } else {
    list.listOpen(firstOpen, end, predictedOpen);
  }
  if (predicted >= 0) list.movePredicted();
  SYMBOL_STATE** const candidates = list.c;
  const int count = list.count;

  ESCAPE_USE use;
  const uint32_t escape = EscapeWeight(ctx, false, static_cast<uint32_t>(count), use);
  uint32_t t = escape + list.sum;
  PrefetchSymbolCells(candidates[0]->symbol, kEscapedCandidate);
  const bool longList = count >= kLongList;
  if (longList && intoTail) {
    SYMBOL_STATE* found;
    if (const int moved = TakeProposedFromTail(candidates, kEscapedHead, count, tail); moved >= 0) {
      found = CodeHeadAndTail<Encoding>(candidates, count, kEscapedHead, kEscapedHead + moved, &tail, t, escape,
                                        target, false, ctx, escapes);
    } else {
      // Too many proposed candidates to leave a tail: one by one after all.
      list.listFromTail(interest, interestOpen, firstOpen, end, tail, predictedOpen);
      if (predicted >= 0) list.movePredicted();
      found = CodeLongListOneByOne<Encoding>(candidates, count, t, escape, target, false, ctx, escapes);
    }
    if (found) return found;
  } else {
    TAIL_METER meter(escapes);
    const bool decideTail = longList && count - kOneByOne >= kMinTail && CodesCheapTailAfterDecision(escapes);
    for (int k = 0; k < count; ++k) {
      if (longList && k == kOneByOne && !cs.text.inText()) {
        meter.start();
        if (decideTail) {
          ++cs.escapedTailsDecided;
          SYMBOL_STATE* found = CodeTailAfterDecision<Encoding>(candidates + k, count - k, t - escape, escape, target,
                                                                ctx, k, false, escapes);
          meter.stop();
          if (found) return found;
          break;
        }
      }
      if (k + 1 < count) PrefetchCandidateCells(candidates[k + 1]->symbol, kEscapedCandidate, k + 1);
      if (CandidateDecision<Encoding>(target, candidates[k], t, false, ctx, escapes, k, k + 1 == count)) {
        meter.stop();
        return candidates[k];
      }
      t -= candidates[k]->freq;
    }
    meter.stop();
  }
  EscapeHappened(use, list.sum + 1, static_cast<uint32_t>(end - table));
  return nullptr;
}

// ---------------------------------------------------------------------------
// The match decision.
//
// A match at least kMatchDecisionFrom bytes long proposes its byte before
// any context speaks: one decision, whose probability is learned by the
// class of the match length, by where the top context holds the byte (its
// first candidate, further down, or not at all) and by whether the buffer
// is text. When it hits, the byte is coded; the tree learns it as if the
// contexts that lack it had escaped to the first that holds it. When it
// misses, the byte is masked and the top context offers the others as a
// context reached by an escape does.
constexpr uint32_t kMatchDecisionFrom = 16;

// 0 for 16 to 23, 1 for 24 to 31, 2 for 32 to 47, then two classes per
// doubling up to 15 from 2048 on.
inline int MatchLengthClass(uint32_t length) {
  const int top = 31 - __builtin_clz(length);
  const int cls = (top - 4) * 2 + static_cast<int>(length >> (top - 1) & 1);
  return std::min(cls, kMatchLengthClasses - 1);
}

// 0 when the top context's first candidate is the symbol, 1 when it holds
// it elsewhere, 2 when it lacks it.
inline int PlaceInTop(const CONTEXT_RECORD* ctx, int symbol) {
  if (ctx->lastIndex == 0) return ctx->oneState.symbol == symbol ? 0 : 2;
  const SYMBOL_STATE* table = States(ctx);
  if (table[ctx->flags & kFlagIndexMask].symbol == symbol) return 0;
  for (int i = 0; i <= ctx->lastIndex; ++i)
    if (table[i].symbol == symbol) return 1;
  return 2;
}

template <bool Encoding>
bool MatchDecision(int target, int symbol, int place) {
  const int cls = MatchLengthClass(matchModel.matchLength());
  const int text = cs.text.inText();
  uint16_t& p = cs.matchHit[cls][place][text];
  uint8_t& uses = cs.matchUses[cls][place][text];
  const uint32_t w = std::clamp<uint32_t>(p, 32, 65536 - 32);
  const bool hit = CodeDecision<Encoding>(target == symbol, w, 65536);
  const int goal = hit ? 65535 : 0;
  p = static_cast<uint16_t>(p + (goal - p) / (uses + 2));
  if (uses < 60) ++uses;
  return hit;
}

// Whether a match of this length knows more than the tree: while it is
// more than twice as long as the top context, which holds all the match
// knows once it reaches the order limit.
inline bool MatchOutrunsTree(uint32_t length) {
  return length >= kMatchDecisionFrom && pos.orderLen < pos.orderLimit &&
         static_cast<uint32_t>(std::max(pos.orderLen, 0)) * 2 < length;
}

// After a hit of the match decision: the first context from the top that
// holds the symbol, its state, and the escapes to it, as the coding would
// have reached them. nullptr when no context holds it, which only a
// damaged stream can bring about.
SYMBOL_STATE* FindMatchedState(int symbol, uint32_t& ctxOffset, int& escapes) {
  for (;;) {
    CONTEXT_RECORD* ctx = Context(ctxOffset);
    if (SYMBOL_STATE* state = FindState(ctx, symbol)) {
      if (ctx->lastIndex != 0 && States(ctx)[ctx->flags & kFlagIndexMask].freq == 0) {
        InitPendingFreq(ctx);
        state = FindState(ctx, symbol);
      }
      return state;
    }
    if (ctx->suffix == 0) return nullptr;
    ctxOffset = ctx->suffix;
    --pos.orderLen;
    ++escapes;
  }
}

// Where long lists are coded by value (audio, images, programs), a byte
// takes several full candidate decisions, whose stage 3 cells lie in one
// row of each kind, in tables that mostly miss the caches; fetched one
// decision ahead they still arrived late. So at the end of such a byte the
// next byte's two candidate rows are fetched whole (2 KB each), and the
// stage 2 cells of the next top context's first candidates. On a photo and
// stereo audio the stages then wait on memory for a third of the time they
// did. A spreadsheet, whose lists stay one by one in light decisions, would
// only pay for the fetches.
// Always inlined: a function that only prefetches has no effect the
// compiler must keep, and its calls would be dropped as dead code.
[[gnu::always_inline]] inline void PrefetchNextByteCells(const CONTEXT_RECORD* next) {
  const GAIN_RECORD* const topRow = &tables.stage3[SymbolCell3(kTopCandidate, 0)];
  const GAIN_RECORD* const escapedRow = &tables.stage3[SymbolCell3(kEscapedCandidate, 0)];
  for (int symbol = 0; symbol < 256; symbol += 64 / sizeof(GAIN_RECORD)) {
    __builtin_prefetch(topRow + symbol);
    __builtin_prefetch(escapedRow + symbol);
  }
  if (next->lastIndex == 0) return;
  const SYMBOL_STATE* table = States(next);
  for (int k = 0; k < std::min(next->lastIndex + 1, 4); ++k)
    __builtin_prefetch(&tables.stage2[SymbolCell2(table[k].symbol)]);
}

template <bool Encoding>
CODE_RESULT CodeSymbol(int target, DATA_BUFFER* out) {
  uint32_t ctxOffset = pos.topContext;
  CONTEXT_RECORD* ctx = Context(ctxOffset);
  SYMBOL_STATE* found = nullptr;
  int escapes = 0;
  bool firstDecision = true;
  bool matchRefused = false;
  const int matched = matchModel.proposed();
  if (matched >= 0 && MatchOutrunsTree(matchModel.matchLength())) {
    // In text, a byte the top context offers first is left to it unless
    // the match is more than 16 times as long: its candidate estimates,
    // which learn from every byte, do as well. Offered whenever it outruns
    // the tree, kjv.txt was 0.004% larger; never in that case, a tar that
    // repeats texts was 1% larger.
    const int place = PlaceInTop(ctx, matched);
    const uint32_t order = static_cast<uint32_t>(std::max(pos.orderLen, 0));
    if (place != 0 || !cs.text.inText() || order * 16 < matchModel.matchLength()) {
      if (MatchDecision<Encoding>(target, matched, place)) {
        found = FindMatchedState(matched, ctxOffset, escapes);
        if (found == nullptr) return CODE_RESULT::kEnd;
        ctx = Context(ctxOffset);
      } else {
        Mask(matched);
        matchRefused = true;
        firstDecision = false;
      }
    }
  }
  while (found == nullptr) {
    if (ctx->lastIndex == 0) {
      const int symbol = ctx->oneState.symbol;
      if (!Masked(symbol)) {
        if (OneSymbolDecision<Encoding>(ctx, target, escapes == 0, escapes)) {
          found = &ctx->oneState;
          break;
        }
        Mask(symbol);
        firstDecision = false;
      }
    } else {
      found = escapes == 0 && !matchRefused ? CodeInTopContext<Encoding>(ctx, target)
                                            : CodeInEscapedContext<Encoding>(ctx, target, escapes);
      if (found) break;
      firstDecision = false;
    }
    if (ctx->suffix == 0) return CODE_RESULT::kEnd;  // escaped out of the root
    ctxOffset = ctx->suffix;
    ctx = Context(ctxOffset);
    --pos.orderLen;
    ++escapes;
  }

#ifdef ZUBRECA_STATS
  if (Encoding) {
    escBits[std::min(escapes, 7)] += byteBits;
    escCount[std::min(escapes, 7)]++;
    byteBits = 0;
  }
#endif
  const int symbol = found->symbol;
  // The found state's successor is most often the next byte's top context:
  // start fetching it before the tree is updated; so do the match model's
  // table slots.
  if (IsContext(found->successor)) __builtin_prefetch(Context(found->successor));
  matchModel.roll(pos.text->data() + pos.textBase, pos.textIndex, static_cast<uint8_t>(symbol), true);
  cs.prevSuccess = firstDecision && found == (ctx->lastIndex ? States(ctx) : &ctx->oneState);
  if constexpr (!Encoding) out->putByte(symbol);
  pos.curContext = ctxOffset;
  pos.foundState = found;
  // The text and word state move on first: the word followers' slots for
  // the next byte are fetched while the tree is updated. The followers are
  // asked only in text, and learn only there: their three slots a byte in
  // 10 MB of tables cost stereo audio 4% of its time and a library 6%, and
  // what they learned outside text made two programs, whose strings come
  // between code, only 0.02% smaller.
  cs.text.update(symbol);
  if (cs.text.inText())
    wordFollowers.update(symbol, cs.text.words(), cs.text.isWordByte(symbol));
  if (ctx->lastIndex > 0) RewardFound(ctx, found);

  const bool grown = UpdateModel(ctxOffset, cs.escapeHint, escapes);
  // The next byte starts at the new top context: fetch it while the
  // predictors are updated.
  const CONTEXT_RECORD* next = Context(pos.topContext);
  __builtin_prefetch(next);
  // The round advances before the predictors stamp the followers of the
  // byte's recent occurrences, so that the stamps carry the round the next
  // byte's candidates compare them with.
  if (++cs.maskRound == 0) {
    cs.maskRound = 1;
    std::memset(cs.maskStamp, 0, sizeof cs.maskStamp);
    aux.clearStamps();
  }
  aux.update(symbol, cs.symbolCount - 1, cs.maskRound);
  cs.text.prepareClasses();
  proposals.expire();
  matchModel.look(pos.text->data() + pos.textBase, pos.textIndex);
  if (next->lastIndex) __builtin_prefetch(ModelAddress(next->stats));
  if (next->suffix) __builtin_prefetch(Context(next->suffix));
  // The stage 3 row of the next byte is known now: fetch the cell of the
  // next context's first candidate, which is otherwise the costliest miss.
  const int firstSymbol =
      next->lastIndex ? States(next)[next->flags & kFlagIndexMask].symbol : next->oneState.symbol;
  __builtin_prefetch(&tables.stage3[SymbolCell3(next->lastIndex ? kTopCandidate : kOneSymbol,
                                                static_cast<uint32_t>(firstSymbol))]);
  if (CodesTailByValue(0) || CodesTailByValue(1)) PrefetchNextByteCells(next);
  ++pos.textIndex;
  ++cs.symbolCount;
  if (!grown) {
    CutOff();
    return CODE_RESULT::kCutOff;
  }
  return CODE_RESULT::kCoded;
}

// The tables ask for large pages (huge_pages.h) once per process, before
// their first use, and the page prefaulter populates them in the
// background, those written most widely first.
void PrepareTablePages() {
  static const bool advised = [] {
    AdviseHugePages(&tables, sizeof tables);
    AdviseHugePages(&aux, sizeof aux);
    AdviseHugePages(&wordFollowers, sizeof wordFollowers);
    AdviseHugePages(&matchModel, sizeof matchModel);
    pagePrefaulter.addRegion(&tables, sizeof tables);
    pagePrefaulter.addRegion(&matchModel, sizeof matchModel);
    pagePrefaulter.addRegion(&aux, sizeof aux);
    pagePrefaulter.addRegion(&wordFollowers, sizeof wordFollowers);
    return true;
  }();
  (void)advised;
}

}  // namespace

void StartSymbolCoder(TEXT_ALPHABET alphabet) {
  std::memset(cs.maskStamp, 0, sizeof cs.maskStamp);
  cs.maskRound = 1;
  cs.symbolCount = 1;
  cs.escapeHint = 0;
  cs.prevSuccess = false;
  cs.text = TEXT_STATE{};
  cs.text.alphabet = alphabet;
  for (auto& row : cs.oneRunning)
    for (auto& p : row) p = kRunningScale / 2;
  for (auto& row : cs.oneSymbolRunning) std::fill(std::begin(row), std::end(row), kRunningScale * 3 / 4);
  // Each candidate row starts near its share, which grows with the row.
  for (int r = 0; r < kCandidateRows; ++r)
    std::fill(std::begin(cs.candidateRunning[r]), std::end(cs.candidateRunning[r]),
              static_cast<uint16_t>(kRunningScale * std::min(255, 8 + 10 * r) / 256));
  std::memset(cs.suffixSeen, 0, sizeof cs.suffixSeen);
  cs.suffixRound = 0;
  cs.suffixFreqs = nullptr;
  cs.stages = CORRECTION_STAGES{};
  std::fill(std::begin(cs.tailCost), std::end(cs.tailCost), 0u);
  cs.valueTails = 0;
  cs.proposedGroups = 0;
  cs.lastEscapedTailHit = false;
  std::fill(std::begin(cs.proposerRate), std::end(cs.proposerRate), kStrongRate);
  cs.escapedTailsDecided = 0;
  cs.favouritesFound = 0;
  cs.split.reset();
  for (auto& byLength : cs.matchHit)
    for (auto& byPlace : byLength) std::fill(std::begin(byPlace), std::end(byPlace), uint16_t{49152});
  std::memset(cs.matchUses, 0, sizeof cs.matchUses);
  PrepareTablePages();
  tables.reset();
  aux.reset();
  cs.text.prepareClasses();
  proposals.expire();
  wordFollowers.reset();
  matchModel.reset();
}

CODE_RESULT EncodeSymbol(int c) { return CodeSymbol<true>(c, nullptr); }
CODE_RESULT DecodeSymbol(DATA_BUFFER* out) { return CodeSymbol<false>(-1, out); }

uint8_t MaskRound() { return cs.maskRound; }

void AddTailCodingState(const std::function<void(const void*, size_t)>& add) {
  add(cs.tailCost, sizeof cs.tailCost);
  add(&cs.valueTails, sizeof cs.valueTails);
  add(&cs.lastEscapedTailHit, sizeof cs.lastEscapedTailHit);
  add(cs.proposerRate, sizeof cs.proposerRate);
  cs.split.addState(add);
  add(cs.matchHit, sizeof cs.matchHit);
  add(cs.matchUses, sizeof cs.matchUses);
  matchModel.addState(add);
}
uint32_t TailsCodedByValue() { return cs.valueTails; }
uint32_t ProposedGroupsDecided() { return cs.proposedGroups; }
uint32_t EscapedTailsDecided() { return cs.escapedTailsDecided; }
uint32_t FavouritesFound() { return cs.favouritesFound; }
uint32_t SymbolCount() { return cs.symbolCount; }

}  // namespace zubreca
