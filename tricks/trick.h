// The trick framework: the trick number of an entry and the dispatch of the
// trick encoders and decoders.
//
// A trick is a reversible transform of one file's data, chosen with -t when
// encoding. Its number is one byte in the entry's header buffer right after
// the stored name, and its parameters follow it there, so decoding needs no
// switch. The -t text is the trick number in decimal followed by the trick's
// own parameters, each a number in parentheses, e.g. "1(7)".
#pragma once

#include <cstdint>
#include <cstdio>

#include "buffers/data_buffer.h"

namespace zubreca {

// A trick encoder receives the -t text just after the trick number and the
// data chain, whose head holds the whole file in the reading phase. It
// appends what its decoder needs to headerBuffer, replaces the chain by the
// buffers to be coded (each flipped, each with its maxOrder set) and returns
// the -t position after its parameters.
using TRICK_ENCODER = const char* (*)(const char* position, DATA_BUFFER*& chain);
// What a trick decoder reads from: the archive at the entry's first data
// buffer and the length the entry header gives the file. A decoder bounds
// its buffers by what a file of that length can need, so that a damaged
// stream is stopped early, and decodes every buffer through `decode`, which
// notes whether each one ended as a sound buffer does.
struct ENTRY_READER {
  FILE* archive = nullptr;
  uint32_t fileLength = 0;
  bool sound = true;  // every buffer so far ended exactly

  // DecodeBuffer (model/coded_buffer.h) of the entry's next buffer.
  void decode(DATA_BUFFER* buffer, uint32_t limit);
};

// A trick decoder reads its parameters from headerBuffer, decodes its
// buffers from the entry in the encoder's order and returns one flipped
// buffer holding the restored file, or null when the buffers cannot be
// undone (a damaged entry).
using TRICK_DECODER = DATA_BUFFER* (*)(ENTRY_READER& entry);
// The most parameter bytes the trick's encoder (with the tricks it passes
// data on to) appends to headerBuffer for a file of `fileLength` bytes. The
// decoder of an entry header stops there, so that a damaged header cannot
// decode to gigabytes.
using TRICK_PARAMETER_BOUND = uint32_t (*)(uint32_t fileLength);
inline uint32_t NoParameters(uint32_t /*fileLength*/) { return 0; }

struct TRICK {
  TRICK_ENCODER encode;
  TRICK_DECODER decode;
  TRICK_PARAMETER_BOUND parameterBound;
};

inline constexpr int kTrickCount = 6;  // numbers 0..5

// The dispatch table, indexed by trick number. A trick that is not part of
// this build has null entries and is refused as "unknown trick".
extern const TRICK trickTable[kTrickCount];

// Writes the trick number of the -t text `trick` (0 when there is none or
// the file is empty) to headerBuffer and runs that trick's encoder on the
// chain. Fatal "unknown trick" for a number outside the table.
const char* EncodeTrick(const char* trick, DATA_BUFFER*& chain);

// Reads the trick number from headerBuffer and runs its decoder. Fatal
// "unknown trick" for a number outside the table or a header without one.
DATA_BUFFER* DecodeTrick(ENTRY_READER& entry);

// The parameter bound of trick `number` for a file of `fileLength` bytes,
// or -1 when there is no such trick.
int64_t TrickParameterBound(int number, uint32_t fileLength);

// Reads one parenthesised number at `position` and moves past it and the
// ')' that follow; gives `fallback` when there is no '(' or no digit. The
// value is clamped to [low, high].
uint32_t ParseTrickParam(const char*& position, uint32_t low, uint32_t high, uint32_t fallback);

// Trick 0: the file's bytes as one buffer.
const char* EncodePlain(const char* position, DATA_BUFFER*& chain);
DATA_BUFFER* DecodePlain(ENTRY_READER& entry);

}  // namespace zubreca
