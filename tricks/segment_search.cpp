#include "tricks/segment_search.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>

#include "driver/console.h"
#include "tricks/segment_cost.h"

namespace zubreca {

namespace {

constexpr uint32_t kChunk = 52428800;       // 50 MiB: the most bytes one cost table covers
constexpr uint32_t kShortestTail = 92;      // a cut leaves at least this much behind it
constexpr uint32_t kSpinSplit = 3276800;    // pieces this long show progress while searched
constexpr uint32_t kSpinClass = 1638400;    // ... classes this long, when merged

std::unique_ptr<CONTEXT_STATS> NewStats() {
  std::unique_ptr<CONTEXT_STATS> stats(new (std::nothrow) CONTEXT_STATS);
  if (!stats) ReportError("out of memory");
  stats->clear();
  return stats;
}

// One piece while the file is cut; the list of them runs in file order
// within a chunk.
struct SEGMENT {
  uint32_t offset;
  uint32_t length;
  CLASS_COST cost;
  SEGMENT* next;
};

// A class while classes are merged.
struct CANDIDATE {
  std::vector<PIECE> pieces;
  uint32_t length = 0;
  CLASS_COST cost;
  int32_t index = 0;  // its number in the pair cache
  bool removed = false;
};

class ANALYSIS {
 public:
  ANALYSIS(const uint8_t* data, uint32_t length, int level)
      : data(data), length(length), level(level), costs(length), limit(SegmentLimit(length)) {}

  std::vector<SEGMENT_CLASS> run();

 private:
  // The tolerance: how much a cut or a union must save.
  uint32_t tolerance(uint32_t a, uint32_t b) const { return (2 * std::min(a, b)) >> level; }
  void countPieces(CONTEXT_STATS& stats, const std::vector<PIECE>& pieces) const {
    for (const PIECE& p : pieces) stats.count(data + p.offset, p.length);
  }
  void split(SEGMENT* segment, int depth);
  uint32_t bestCut(const SEGMENT& segment, CONTEXT_STATS& walked);
  void merge(std::vector<CANDIDATE>& classes);
  bool absorb(CANDIDATE& a, std::vector<CANDIDATE*>& order);
  uint32_t& pairCache(int32_t i, int32_t j);

  const uint8_t* const data;
  const uint32_t length;
  const int level;
  const COST_TABLE costs;
  const uint32_t limit;
  uint32_t pieces = 0;
  std::deque<SEGMENT> segments;
  std::unique_ptr<CONTEXT_STATS> remaining = NewStats(), walked = NewStats();
  std::vector<uint32_t> cacheKeys, cacheValues;
};

// The cut of `segment` (counted in `remaining`) that prices its two parts
// lowest together, in one pass: each byte moves from the remaining part to
// the walked one, and both prices follow from the slopes of the counts it
// changes. 0 when no cut beats the whole.
uint32_t ANALYSIS::bestCut(const SEGMENT& segment, CONTEXT_STATS& walkedStats) {
  CONTEXT_STATS& rest = *remaining;
  uint32_t restBins[33] = {}, walkedBins[33] = {};
  uint32_t restModel = 0;
  for (const CONTEXT_STATS::ROW& row : rest.rows) {
    for (const uint32_t count : row.counts) {
      ++restBins[count & 31];
      restBins[32] += count >> 5;
    }
  }
  for (const uint32_t b : restBins) restModel += b;
  walkedBins[0] = CONTEXT_STATS::kContexts * 256;
  uint32_t walkedModel = walkedBins[0];

  const COST_TABLE& c = costs;
  uint32_t d = segment.cost.cost;
  uint32_t w = static_cast<uint32_t>(c.segmentOverhead);
  uint32_t best = d, cut = 0;
  const uint8_t* p = data + segment.offset;
  for (uint32_t i = 1; i + kShortestTail <= segment.length; ++i, ++p) {
    const uint32_t context = ContextOf(p[-2], p[-1]), b = *p;
    // Out of the remaining part: the cell and the row total fall, the
    // cell moves down one count bin.
    CONTEXT_STATS::ROW& out = rest.rows[context];
    const uint32_t n = out.counts[b]--;
    d += c.slope(n);
    d -= c.slope(out.total--);
    d += c.slope(restBins[n & 31]--);
    d -= c.slope(++restBins[(n - 1) & 31]);
    if ((n & 31) == 0) {
      d += c.slope(restBins[32]--);
      d -= c.slope(restModel--);
    }
    // Into the walked part: the same, upwards.
    CONTEXT_STATS::ROW& in = walkedStats.rows[context];
    const uint32_t m = ++in.counts[b];
    w -= c.slope(m);
    w += c.slope(++in.total);
    w += c.slope(walkedBins[(m - 1) & 31]--);
    w -= c.slope(++walkedBins[m & 31]);
    if ((m & 31) == 0) {
      w -= c.slope(++walkedBins[32]);
      w += c.slope(++walkedModel);
    }
    if (d + w < best) {
      best = d + w;
      cut = i;
    }
  }
  return cut;
}

void ANALYSIS::split(SEGMENT* segment, int depth) {
  if (segment->length > kSpinSplit) ScrPrint();
  remaining->clear();
  remaining->count(data + segment->offset, segment->length);
  segment->cost = SegmentCost(costs, *remaining);
  const CLASS_COST whole = segment->cost;
  // Statistics that make up less than three fifths of the price: no cut
  // can pay.
  if (whole.dataCost < (whole.cost / 5) * 3) return;
  if (segment->length - 91 < 2 || pieces >= limit || depth >= kDeepestSplit) return;
  walked->clear();
  const uint32_t cut = bestCut(*segment, *walked);
  if (cut == 0) return;

  segments.push_back(SEGMENT{segment->offset + cut, segment->length - cut, {}, segment->next});
  ++pieces;
  SEGMENT* tail = &segments.back();
  segment->next = tail;
  segment->length = cut;
  split(tail, depth + 1);
  split(segment, depth + 1);
  // The parts join again when they do not save enough apart.
  SEGMENT* n = segment->next;
  if (whole.cost < n->cost.cost + segment->cost.cost + tolerance(n->cost.cost, segment->cost.cost)) {
    segment->next = n->next;
    segment->length += n->length;
    segment->cost = whole;
    --pieces;
  }
}

uint32_t& ANALYSIS::pairCache(int32_t i, int32_t j) {
  const uint32_t key = (static_cast<uint32_t>(std::max(i, j)) << 16) + static_cast<uint32_t>(std::min(i, j));
  const auto at = std::lower_bound(cacheKeys.begin(), cacheKeys.end(), key);
  return cacheValues[static_cast<size_t>(at - cacheKeys.begin())];
}

// Splices X's pieces into A's in file order, fusing pieces that touch.
void Splice(CANDIDATE& a, CANDIDATE& x) {
  std::vector<PIECE> all;
  all.reserve(a.pieces.size() + x.pieces.size());
  std::merge(a.pieces.begin(), a.pieces.end(), x.pieces.begin(), x.pieces.end(), std::back_inserter(all),
             [](const PIECE& p, const PIECE& q) { return p.offset < q.offset; });
  a.pieces.clear();
  for (const PIECE& p : all) {
    if (!a.pieces.empty() && a.pieces.back().end() == p.offset) {
      a.pieces.back().length += p.length;
    } else {
      a.pieces.push_back(p);
    }
  }
  a.length += x.length;
  x.pieces.clear();
  x.length = 0;
  x.removed = true;
}

// Merges into A every class whose union with it prices low enough, in
// passes over the classes from the cheapest, until a pass merges none.
bool ANALYSIS::absorb(CANDIDATE& a, std::vector<CANDIDATE*>& order) {
  std::unique_ptr<CONTEXT_STATS> stats, trial;
  bool absorbed = false;
  for (bool merged = true; merged;) {
    merged = false;
    for (CANDIDATE* x : order) {
      if (x == &a || x->removed) continue;
      if (a.length >= kChunk && x->length >= kChunk) {
        Splice(a, *x);
        merged = absorbed = true;
        continue;
      }
      if (a.length + static_cast<uint64_t>(x->length) > kChunk) continue;
      if (a.cost.cost < x->cost.cost) break;
      uint32_t& judged = pairCache(a.index, x->index);
      if (judged == a.cost.cost + x->cost.cost) continue;  // judged before at these very prices
      judged = a.cost.cost + x->cost.cost;
      if (!stats) {
        stats = NewStats();
        countPieces(*stats, a.pieces);
        trial = NewStats();
      }
      *trial = *stats;
      countPieces(*trial, x->pieces);
      const CLASS_COST together = SegmentCost(costs, *trial);
      if (together.cost < x->cost.cost + a.cost.cost + tolerance(a.cost.cost, x->cost.cost)) {
        a.cost = together;
        std::swap(stats, trial);
        Splice(a, *x);
        merged = absorbed = true;
      }
    }
  }
  if (a.length > kSpinClass) ScrPrint();
  return absorbed;
}

void ANALYSIS::merge(std::vector<CANDIDATE>& classes) {
  const size_t m = classes.size();
  cacheKeys.clear();
  for (uint32_t i = 1; i < m; ++i) {
    for (uint32_t j = 0; j < i; ++j) cacheKeys.push_back((i << 16) + j);
  }
  cacheValues.assign(cacheKeys.size(), 0);
  std::vector<CANDIDATE*> order;
  for (CANDIDATE& c : classes) order.push_back(&c);
  for (bool again = true; again;) {
    std::stable_sort(order.begin(), order.end(), [](const CANDIDATE* p, const CANDIDATE* q) {
      if (p->removed != q->removed) return q->removed;
      return p->cost.cost < q->cost.cost;
    });
    again = false;
    for (CANDIDATE* a : order) {
      if (a->removed) break;
      if (absorb(*a, order)) {
        again = true;
        break;
      }
    }
  }
}

std::vector<SEGMENT_CLASS> ANALYSIS::run() {
  // Chunks in file order, each put in front of the list and cut.
  SEGMENT* list = nullptr;
  for (uint32_t start = 0; start < length; start += kChunk) {
    segments.push_back(SEGMENT{start, std::min(kChunk, length - start), {}, list});
    ++pieces;
    list = &segments.back();
    split(list, 0);
  }
  std::vector<CANDIDATE> classes;
  for (SEGMENT* s = list; s; s = s->next) {
    CANDIDATE c;
    c.pieces.push_back(PIECE{s->offset, s->length});
    c.length = s->length;
    c.cost = s->cost;
    c.index = static_cast<int32_t>(classes.size());
    classes.push_back(std::move(c));
  }
  merge(classes);

  std::vector<SEGMENT_CLASS> result;
  for (CANDIDATE& c : classes) {
    if (!c.removed) result.push_back(SEGMENT_CLASS{std::move(c.pieces)});
  }
  std::sort(result.begin(), result.end(), [](const SEGMENT_CLASS& p, const SEGMENT_CLASS& q) {
    return p.pieces.front().offset < q.pieces.front().offset;
  });
  return result;
}

}  // namespace

uint32_t SEGMENT_CLASS::length() const {
  uint32_t total = 0;
  for (const PIECE& p : pieces) total += p.length;
  return total;
}

// One piece per 16 KiB, at least 16 and at most 256: the merge compares
// up to all pairs of pieces, each at the price of a pass over 65536 counts.
uint32_t SegmentLimit(uint32_t length) { return std::clamp<uint32_t>(length / 16384, 16, 256); }

std::vector<SEGMENT_CLASS> AnalyseSegments(const uint8_t* data, uint32_t length, int level) {
  return ANALYSIS(data, length, level).run();
}

}  // namespace zubreca
