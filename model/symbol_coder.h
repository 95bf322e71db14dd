// Codes bytes through the context tree as a sequence of yes/no decisions:
// the candidates of a context are offered one by one, most probable first
// (outside text, the tail of a long list may be coded by the bits of the
// symbol's value instead); when all are refused the model escapes to the
// suffix context, where the refused symbols are masked. Escaping out of the
// root marks the end of data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "buffers/data_buffer.h"
#include "model/range_coder.h"

namespace zubreca {

extern RANGE_CODER coder;

// Resets masks, estimator tables and auxiliary predictors for a new buffer,
// whose text the features read with `alphabet`.
void StartSymbolCoder(TEXT_ALPHABET alphabet);

enum class CODE_RESULT { kCoded, kEnd, kCutOff };

// Codes one byte, or the end of data for -1. kCutOff means that the tree
// was cut back after the byte (the pool ran dry); coding goes on.
CODE_RESULT EncodeSymbol(int c);
// Decodes one byte into `out` (appended); returns kEnd at the end of data.
CODE_RESULT DecodeSymbol(DATA_BUFFER* out);

// Mask round (1..255) and the count of coded bytes (from 1): they drive the
// progress marks.
uint8_t MaskRound();
uint32_t SymbolCount();

// Feeds the learned state of the coding of long candidate lists to `add`,
// for the model digest.
void AddTailCodingState(const std::function<void(const void*, size_t)>& add);
// How many tails of long lists this buffer has coded by value so far.
uint32_t TailsCodedByValue();
// How many groups of proposed candidates this buffer has coded after a
// decision whether the symbol is among them so far.
uint32_t ProposedGroupsDecided();
// How many tails of lists reached by an escape this buffer has coded after
// a decision against the escape so far.
uint32_t EscapedTailsDecided();
// How many tails this buffer has found the symbol in by their favourite
// (the candidate whose recent hits single it out) so far.
uint32_t FavouritesFound();

}  // namespace zubreca
