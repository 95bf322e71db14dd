// Per-buffer model start and the cut-back of the context tree when the model
// block is full.
#pragma once

#include <cstdint>

namespace zubreca {

class DATA_BUFFER;

// Starts a fresh model for one buffer: the pool, the root context (plain,
// or primed from a model library file when `number` is not 0), the symbol
// coder's tables and the auxiliary predictors. `textBase` is the index in
// the buffer's storage of the first byte to be coded. Returns the number of
// the model actually loaded (0 when none).
int StartModel(int number, DATA_BUFFER* buffer, uint32_t textBase);

// Called when the pool ran dry while the tree was updated after a byte:
// cuts the tree back to the contexts that still lead somewhere, gives the
// cut units back and resumes from the root.
void CutOff();

bool ModelRestarted();

}  // namespace zubreca
