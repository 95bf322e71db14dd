// Small predictors over the recent text. They code nothing themselves: they
// propose likely next bytes and measure distances, and the symbol coder turns
// their answers into the feature bits that select estimator cells.
#pragma once

#include <cstdint>

namespace zubreca {

struct AUX_PREDICTORS {
  static constexpr uint32_t kRingSize = 1u << 17;
  static constexpr uint32_t kRecentDepth = 64;  // past the 56 occurrences the stamps reach

  // Proposals for the next byte; -1 when there is none.
  int recencyFollower = -1;  // byte after the last occurrence of the current byte
  bool closeFollower = false;  // ... and that occurrence was at most 49 bytes back
  int pairFollower = -1;     // byte after the last occurrence of the current pair
  bool pairClose = false;     // the pair follower is usable (distance < 576)
  int classFollower = -1;
  int tableFollower[3] = {-1, -1, -1};  // pair-keyed follower tables
  int recordFollower = -1;   // byte one record length back
  int progression = -1;      // next term of an arithmetic progression
  int recordLength = 0;
  int byteClass = 0;
  uint8_t classHistory = 0;
  uint32_t lastDistance = 0;  // distance to the previous occurrence of the current byte
  // Lines: the byte the previous line holds at the same column when it is a
  // digit (or, for a number that grew by one from the line before, the digit
  // of the next number); -1 otherwise.
  int columnGuess = -1;
  uint32_t column = 0;       // bytes since the last line feed
  uint32_t lineAverage = 0;  // running mean length of lines over 8 bytes, times 16
  uint32_t lineWidth = 0;    // the longest of the last eight lines, line ends not counted

  void reset();
  // Called once per coded byte c, at position i (the count of bytes before it).
  void update(int c, uint32_t i, uint8_t maskRound);
  void clearStamps();

  uint8_t at(uint32_t position) const { return ring[position & (kRingSize - 1)]; }

  // Whether the symbol followed one of the recent occurrences of the
  // current byte: the k-th before the latest, while it lies less than
  // 440 - 8k bytes back. `round` is the mask round given to the last update.
  // The followers are stamped at the first question after an update, as
  // most bytes are coded without one.
  bool followedRecently(int symbol, uint8_t round) {
    if (stampsDue) stampRecentFollowers();
    return recencyStamp[symbol] == round;
  }
  // The same followers as a set of 256 bits, for the round given to the
  // last update, where they are few: when more than kWideFollowers
  // different bytes followed, the set holds only the followers of the
  // kNarrowOccurrences latest occurrences. Gathered at the first question
  // after an update, apart from the stamps: text asks for the stamps only.
  static constexpr int kWideFollowers = 16;
  static constexpr uint32_t kNarrowOccurrences = 8;
  const uint64_t* recentFollowerSet() {
    if (followerSetDue) gatherRecentFollowers();
    return recentFollowers;
  }

  // The byte these predictors favour most, and whether they agree on it.
  int predicted() const { return pairClose ? pairFollower : (closeFollower ? recencyFollower : -1); }
  bool confident() const { return pairClose && closeFollower && pairFollower == recencyFollower; }

  // Whether the symbol would end a line that is already about as long as
  // the lines before it (text wrapped at a fixed width breaks there).
  bool endsLongLine(int symbol) const {
    return (symbol == '\n' || symbol == '\r') && column > 8 && column + 8 >= lineAverage / 16;
  }

 private:
  // Per-symbol stamps: a symbol that followed one of the recent occurrences
  // of the current byte carries the mask round of the update.
  uint8_t recencyStamp[256];
  bool stampsDue = false;     // the last update's stamps are not written yet
  uint8_t stampRound = 0;     // ... the round they carry
  uint32_t stampPosition = 0; // ... the position of that update's byte
  // The same followers as a set of 256 bits, gathered apart from the stamps.
  uint64_t recentFollowers[4] = {};
  bool followerSetDue = false;     // the last update's set is not gathered yet
  bool recentOccurrences = false;  // whether the last update's byte occurred recently
  uint8_t ring[2 * kRingSize];
  uint32_t lastSeen[256];
  // The positions of the latest occurrences of each byte, a ring per byte.
  uint32_t recentSeen[256][kRecentDepth];
  uint8_t recentCount[256];
  uint32_t pairSeen[65536];
  uint8_t classFollowers[256 * 12 * 256];
  uint32_t classCell = 0;
  uint8_t followTables[3][65536];
  uint8_t recordTable[256];
  uint32_t recordDistances[3] = {0, 0, 0};
  int previous[3] = {0, 0, 0};  // the last three bytes, newest first
  static constexpr uint32_t kNoLine = UINT32_MAX;
  uint32_t lineStarts[3] = {0, kNoLine, kNoLine};  // this line, the one before, the one before that
  uint32_t lineLengths[8] = {};  // of the last eight lines, a ring
  uint32_t lineCount = 0;

  void updateLines(int c, uint32_t i);
  void stampRecentFollowers();
  void gatherRecentFollowers();
  // Calls f with the byte that followed each recent occurrence of the
  // last update's byte, and k: the occurrence is the k-th before the
  // latest, as in followedRecently.
  template <class F>
  void forEachRecentFollower(F f) const;
  int guessColumn(uint32_t next) const;
};

extern AUX_PREDICTORS aux;

}  // namespace zubreca
