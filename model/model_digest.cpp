#include "model/model_digest.h"

#include "model/aux_predictors.h"
#include "model/context_tree.h"
#include "model/estimators.h"
#include "model/symbol_coder.h"
#include "model/word_followers.h"

namespace zubreca {

namespace {

struct DIGEST {
  uint64_t h = 1469598103934665603ull;
  void add(const void* data, uint64_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  }
  void add(uint64_t v) { add(&v, sizeof v); }
};

// Walks the tree the way the cut-back does: through successor contexts,
// never deeper than the order limit, so every context is visited once.
void AddContext(DIGEST& d, uint32_t offset, int depth) {
  const CONTEXT_RECORD* c = Context(offset);
  d.add(offset);
  d.add(c->lastIndex);
  d.add(c->flags);
  d.add(c->suffix);
  const int n = c->lastIndex + 1;
  const SYMBOL_STATE* s = c->lastIndex ? States(c) : &c->oneState;
  if (c->lastIndex) d.add(c->freqSum);
  for (int i = 0; i < n; ++i) {
    d.add(s[i].symbol);
    d.add(s[i].freq);
    d.add(s[i].successor);
  }
  if (depth >= pos.orderLimit) return;
  for (int i = 0; i < n; ++i)
    if (IsContext(s[i].successor)) AddContext(d, s[i].successor, depth + 1);
}

}  // namespace

uint64_t ModelDigest() {
  DIGEST d;
  AddContext(d, pos.root, 0);
  d.add(static_cast<uint64_t>(pos.orderLen));
  d.add(pos.topContext);
  d.add(unitPool.lowEdge);
  d.add(unitPool.highEdge);
  d.add(unitPool.mergeCount);
  d.add(tables.oneSymbolLow, sizeof tables.oneSymbolLow);
  d.add(tables.oneSymbolHigh, sizeof tables.oneSymbolHigh);
  d.add(tables.candidate, sizeof tables.candidate);
  d.add(tables.escapeMain, sizeof tables.escapeMain);
  d.add(tables.escapeSide, sizeof tables.escapeSide);
  d.add(tables.stage1, sizeof tables.stage1);
  d.add(tables.stage2, sizeof tables.stage2);
  d.add(tables.stage3, sizeof tables.stage3);
  d.add(tables.stage4, sizeof tables.stage4);
  d.add(tables.stage5, sizeof tables.stage5);
  d.add(&aux, sizeof aux);
  wordFollowers.addState([&d](const void* p, size_t n) { d.add(p, n); });
  AddTailCodingState([&d](const void* p, size_t n) { d.add(p, n); });
  return d.h;
}

}  // namespace zubreca
