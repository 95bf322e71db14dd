// Long-range repeats. The context tree holds tens of bytes of model memory
// per byte of input, so on inputs of more than a few megabytes it is cut
// back again and again, and a repeat from megabytes back is coded almost
// from scratch. The match model keeps no tree: it finds the latest earlier
// occurrence of the last bytes in the buffer itself and proposes the byte
// that followed it, with the length of the match as its confidence. The
// buffer's bytes are all in memory (the encoder's input, the decoder's
// output so far), so the model needs only two hash tables of positions,
// 20 MB beside the model block, and it survives every cut-back.
//
// Two windows find a match: the last 32 bytes, whose table keeps the
// positions far back, and the last 12, which finds the shorter repeats.
// A match is taken over when a candidate's bytes agree further back than
// the current match does; it ends at the first byte that differs.
#pragma once

#include <cstdint>

#include "model/used_slot_log.h"

namespace zubreca {

class MATCH_MODEL {
 public:
  static constexpr uint32_t kLongWindow = 32, kShortWindow = 12;
  static constexpr uint32_t kLongBits = 22, kShortBits = 20;
  // Sparse tables, which the coder asks for: only one window in 8 of the
  // long kind and one in 4 of the short enters its table and is looked up,
  // chosen by its hash, so by its bytes. A repeat meets a chosen window a
  // few bytes after it starts, and the backward check then gives the match
  // its whole length. A byte then costs less than one cache miss in the
  // tables on average, against two: in text, where the tree knows the short
  // repeats itself, that is most of the match model's cost, and a
  // spreadsheet codes 10% faster. Sizes stay within 0.01%, but for two
  // programs with resources (0.04% and 0.13% larger).
  static constexpr uint32_t kLongSampleMask = 7, kShortSampleMask = 3;
  // A candidate's bytes are compared this far back at most: the length of
  // a match starts at most here and grows by one with every byte it
  // predicts.
  static constexpr uint32_t kVerifyLimit = 64;
  static constexpr uint32_t kLengthLimit = 65535;
  // A match this long survives a byte that differs, at a quarter of its
  // length.
  static constexpr uint32_t kRecoverFrom = 32;
  // A table slot that no window of the current byte uses.
  static constexpr uint32_t kNoSlot = ~0u;

  // Forgets the buffer before: a new buffer starts without matches.
  void reset();

  // The byte c at `index` of the buffer `history` is known now: follows
  // the match and moves the windows on, and starts fetching the table
  // slots that `look` reads, while the caller updates the tree. `sparse`
  // chooses the sparse tables for this byte. Reads history only before
  // `index`.
  void roll(const uint8_t* history, uint32_t index, uint8_t c, bool sparse);
  // Then, with history holding bytes 0 to index, looks for a new match and
  // enters the windows in the tables. The encoder and the decoder call both
  // with the same bytes and choices, as the match model reads nothing past
  // them.
  void look(const uint8_t* history, uint32_t index);
  void update(const uint8_t* history, uint32_t index, bool sparse = false) {
    roll(history, index, history[index], sparse);
    look(history, index);
  }

  // The proposed next byte, or -1; and the length of the match behind it.
  int proposed() const { return length ? next : -1; }
  uint32_t matchLength() const { return length; }

  template <class ADD>
  void addState(ADD add) const {
    add(&length, sizeof length);
    add(&from, sizeof from);
    add(&next, sizeof next);
    add(&longHash, sizeof longHash);
    add(&shortHash, sizeof shortHash);
    add(longTable, sizeof longTable);
    add(shortTable, sizeof shortTable);
  }

 private:
  // How many bytes before `candidate` and before `end` agree, both
  // exclusive, up to kVerifyLimit.
  static uint32_t AgreeingBefore(const uint8_t* history, uint32_t candidate, uint32_t end);
  void consider(const uint8_t* history, uint32_t candidate, uint32_t end);

  uint32_t length = 0;  // bytes the match has agreed on; 0 without a match
  uint32_t from = 0;    // index of the byte the match proposes
  int next = -1;        // that byte
  uint32_t longHash = 0, shortHash = 0;  // of the bytes in the two windows
  // The slots `look` reads and writes for the current byte.
  uint32_t longSlot = kNoSlot, shortSlot = kNoSlot;
  uint32_t longTable[1u << kLongBits];    // index after a window, by its hash; 0 for none
  uint32_t shortTable[1u << kShortBits];
  // A short buffer clears only the slots it wrote.
  USED_SLOT_LOG<1u << 16, true> written;
};

extern MATCH_MODEL matchModel;

}  // namespace zubreca
