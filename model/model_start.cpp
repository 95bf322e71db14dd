#include "model/model_start.h"

#include <algorithm>
#include <cstring>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/context_tree.h"
#include "model/model_library.h"
#include "model/symbol_coder.h"

namespace zubreca {

int StartModel(int number, DATA_BUFFER* buffer, uint32_t textBase) {
  pos.orderLimit = std::clamp(std::min(modelOrder, buffer->maxOrder), 1, 255);
  pos.restarted = false;
  unitPool.start();
  pos.root = unitPool.rootOffset();
  Context(pos.root)->suffix = 0;
  int loaded = number != 0 ? LoadModel(number) : 0;
  if (loaded == 0) BuildPlainRoot();
  rootFreqs.sync();
  tableFreqs.clear();
  pos.topContext = pos.curContext = pos.root;
  CONTEXT_RECORD* root = Context(pos.root);
  pos.foundState = root->lastIndex ? States(root) : &root->oneState;
  pos.orderLen = 0;
  pos.text = buffer;
  pos.textBase = textBase;
  pos.textIndex = 0;
  StartSymbolCoder(buffer->alphabet);
  return loaded;
}

bool ModelRestarted() { return pos.restarted; }

namespace {

void GiveBackUnits(uint32_t run, uint32_t units) {
  for (uint32_t u = 0; u < units; ++u) unitPool.giveBackUnit(run + u * UNIT_POOL::kUnitSize);
}

// When the unit after a table is free and a run of the table's class is
// waiting in its list, the table moves there, so that the merging pass can
// join the space it leaves with its free neighbour.
void MoveTableNextToFreeSpace(CONTEXT_RECORD* c) {
  const int cls = TableClass(c->lastIndex + 1u);
  const uint32_t units = UNIT_POOL::classUnits[cls];
  if (!unitPool.isFreeRun(c->stats + units * UNIT_POOL::kUnitSize) || unitPool.listEmpty(cls)) return;
  const uint32_t run = unitPool.removeOldest(cls);
  std::memcpy(ModelAddress(run), ModelAddress(c->stats), units * UNIT_POOL::kUnitSize);
  unitPool.freeUnits(c->stats, units);
  c->stats = run;
}

void SettlePending(CONTEXT_RECORD* c) {
  SYMBOL_STATE& p = States(c)[c->flags & kFlagIndexMask];
  if (p.freq == 0) {
    p.freq = 4;
    c->freqSum = static_cast<uint16_t>(c->freqSum + 4);
  }
}

uint32_t PruneContext(uint32_t offset, int depth);

// Prunes the children of a multi-symbol context and moves the states that
// have none behind those that do. Returns how many states keep a child.
int PruneChildren(CONTEXT_RECORD* c, int depth) {
  SYMBOL_STATE* table = States(c);
  const int n = c->lastIndex + 1;
  SYMBOL_STATE withChild[256];
  SYMBOL_STATE without[256];
  int kept = 0;
  int dropped = 0;
  for (int i = 0; i < n; ++i) {
    SYMBOL_STATE s = table[i];
    if (IsContext(s.successor)) {
      s.successor = depth < pos.orderLimit ? PruneContext(s.successor, depth + 1) : 0;
      withChild[kept++] = s;
    } else {
      s.successor = 0;
      without[dropped++] = s;
    }
  }
  table = States(c);
  std::memcpy(table, withChild, kept * sizeof(SYMBOL_STATE));
  std::memcpy(table + kept, without, dropped * sizeof(SYMBOL_STATE));
  return kept;
}

uint32_t PruneContext(uint32_t offset, int depth) {
  CONTEXT_RECORD* c = Context(offset);
  if (c->lastIndex == 0) {
    if (!IsContext(c->oneState.successor)) {
      unitPool.giveBackUnit(offset);
      return 0;
    }
    c->oneState.successor =
        depth < pos.orderLimit ? PruneContext(c->oneState.successor, depth + 1) : 0;
    const bool suffixWide = c->suffix != 0 && Context(c->suffix)->lastIndex > 0;
    if (c->oneState.successor != 0 || depth < 11 || suffixWide) return offset;
    unitPool.giveBackUnit(offset);
    return 0;
  }

  MoveTableNextToFreeSpace(c);
  SettlePending(c);
  const int n = c->lastIndex + 1;
  const uint32_t oldUnits = UNIT_POOL::classUnits[TableClass(n)];
  const int kept = PruneChildren(c, depth);
  if (kept == n) {
    c->flags &= static_cast<uint8_t>(~kFlagIndexMask);
    return offset;
  }
  SYMBOL_STATE* table = States(c);
  if (kept == 0) {
    GiveBackUnits(c->stats, oldUnits);
    unitPool.giveBackUnit(offset);
    return 0;
  }
  if (kept == 1) {
    const SYMBOL_STATE only = table[0];
    const uint32_t t = std::max<uint32_t>(only.freq, 1);
    const uint32_t den = 16 * oldUnits + c->freqSum - std::min<uint32_t>(t, c->freqSum);
    GiveBackUnits(c->stats, oldUnits);
    c->lastIndex = 0;
    c->oneState = only;
    c->oneState.freq = static_cast<uint8_t>(std::min<uint32_t>((2 * t - 2) / (den ? den : 1) + 1, 255));
    c->flags = HighFlag(only.symbol);
    return offset;
  }
  uint32_t sum = 0;
  for (int i = 0; i < kept; ++i) sum += table[i].freq;
  const bool halve = 21u * static_cast<uint32_t>(kept - 1) < sum;
  uint8_t high = 0;
  if (halve) sum = 0;
  for (int i = 0; i < kept; ++i) {
    if (halve) {
      table[i].freq = static_cast<uint8_t>(table[i].freq - table[i].freq / 2);
      sum += table[i].freq;
    }
    high |= HighFlag(table[i].symbol);
  }
  const uint32_t newUnits = UNIT_POOL::classUnits[TableClass(kept)];
  if (newUnits < oldUnits) GiveBackUnits(c->stats + newUnits * UNIT_POOL::kUnitSize, oldUnits - newUnits);
  c->lastIndex = static_cast<uint8_t>(kept - 1);
  c->freqSum = static_cast<uint16_t>(sum);
  c->flags = static_cast<uint8_t>(high | (c->flags & (halve ? 0x60 : 0x20)));
  return offset;
}

}  // namespace

void CutOff() {
  // Flatten the top: two-symbol contexts whose second symbol leads nowhere
  // become one-symbol contexts.
  uint32_t top = pos.topContext;
  while (top != 0 && top != pos.curContext) {
    CONTEXT_RECORD* c = Context(top);
    if (c->lastIndex != 1 || IsContext(States(c)[1].successor)) break;
    const SYMBOL_STATE first = States(c)[0];
    unitPool.freeUnits(c->stats, UNIT_POOL::classUnits[0]);
    c->lastIndex = 0;
    c->oneState = first;
    c->oneState.freq = static_cast<uint8_t>((first.freq + 3) / 4);
    c->flags = static_cast<uint8_t>((c->flags & 0x10) | (first.symbol >= 64 ? 0x08 : 0));
    top = c->suffix;
  }

  // Settle the root, then prune from it.
  CONTEXT_RECORD* root = Context(pos.root);
  if (root->lastIndex > 0) {
    MoveTableNextToFreeSpace(root);
    SettlePending(root);
    PruneChildren(root, 1);
    root->flags &= static_cast<uint8_t>(~kFlagIndexMask);
  } else if (IsContext(root->oneState.successor)) {
    root->oneState.successor = PruneContext(root->oneState.successor, 1);
  } else {
    root->oneState.successor = 0;
  }

  unitPool.mergePass();
  ++unitPool.mergeCount;
  unitPool.mergeCountdown = 0;
  pos.orderLen = 0;
  pos.topContext = pos.curContext = pos.root;
  pos.foundState = root->lastIndex ? States(root) : &root->oneState;
  pos.restarted = true;
  rootFreqs.sync();
  tableFreqs.clear();
}

}  // namespace zubreca
