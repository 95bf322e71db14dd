#include "model/aux_predictors.h"

#include <cstdio>
#include <cstring>

namespace zubreca {

AUX_PREDICTORS aux;

namespace {

// Class of a byte below 64 (controls, blanks, punctuation and digits).
constexpr uint8_t CLASS_LOW[64] = {0, 0, 2, 3, 3, 0, 1, 0, 0, 1, 0, 3, 1, 0, 0, 2,
                                   2, 2, 2, 2, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   1, 1, 2, 1, 3, 0, 1, 0, 2, 2, 1, 3, 0, 1, 1, 1,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 2, 2, 1};

// Places bit j of v at bit 2j.
constexpr uint32_t Spread(uint32_t v) {
  uint32_t r = 0;
  for (int j = 0; j < 8; ++j) r |= ((v >> j) & 1u) << (2 * j);
  return r;
}

struct SPREAD_TABLE {
  uint16_t v[256];
  constexpr SPREAD_TABLE() : v{} {
    for (uint32_t i = 0; i < 256; ++i) v[i] = static_cast<uint16_t>(Spread(i));
  }
};
constexpr SPREAD_TABLE SPREAD;

}  // namespace

void AUX_PREDICTORS::reset() {
  recencyFollower = pairFollower = classFollower = recordFollower = progression = -1;
  tableFollower[0] = tableFollower[1] = tableFollower[2] = -1;
  closeFollower = pairClose = false;
  recordLength = 0;
  byteClass = 0;
  classHistory = 0;
  lastDistance = 0;
  columnGuess = -1;
  column = lineAverage = lineWidth = 0;
  std::memset(lineLengths, 0, sizeof lineLengths);
  lineCount = 0;
  lineStarts[0] = 0;
  lineStarts[1] = lineStarts[2] = kNoLine;
  classCell = 0;
  std::memset(ring, 0, sizeof ring);
  std::memset(lastSeen, 0x55, sizeof lastSeen);
  std::memset(recentSeen, 0x55, sizeof recentSeen);
  std::memset(recentCount, 0, sizeof recentCount);
  std::memset(pairSeen, 0x55, sizeof pairSeen);
  std::memset(classFollowers, 0, sizeof classFollowers);
  std::memset(followTables, 0, sizeof followTables);
  for (int i = 0; i < 256; ++i) recordTable[i] = static_cast<uint8_t>(i);
  recordDistances[0] = recordDistances[1] = recordDistances[2] = 0;
  previous[0] = previous[1] = previous[2] = 0;
  clearStamps();
}

void AUX_PREDICTORS::clearStamps() {
  std::memset(recencyStamp, 0, sizeof recencyStamp);
  stampsDue = false;
  std::memset(recentFollowers, 0, sizeof recentFollowers);
  followerSetDue = false;
  recentOccurrences = false;
}

void AUX_PREDICTORS::update(int c, uint32_t i, uint8_t maskRound) {
  const int p = previous[0];
  ring[i & (kRingSize - 1)] = static_cast<uint8_t>(c);
  ring[(i & (kRingSize - 1)) + kRingSize] = static_cast<uint8_t>(c);

  // Byte classes: runs of letters-and-above count up, the rest come from
  // the table; the history keeps the last four classes of bytes below 64.
  const int oldClass = byteClass;
  if (c < 64) {
    classHistory = static_cast<uint8_t>(classHistory * 4 + (oldClass < 3 ? oldClass : 3));
    byteClass = CLASS_LOW[c];
  } else if (p >= 64 && i > 0) {
    byteClass = oldClass + 1 <= 9 ? oldClass + 1 : (c == 254 ? 9 : 10);
  } else {
    byteClass = c < 212 ? 3 : (c < 252 ? 4 : (c < 254 ? 6 : 11));
  }
  classFollowers[classCell] = static_cast<uint8_t>(c);
  classCell = (static_cast<uint32_t>(classHistory) * 12 + static_cast<uint32_t>(byteClass)) * 256 +
              static_cast<uint32_t>(c);
  classFollower = classFollowers[classCell];

  // Same-byte recency. The followers of earlier occurrences are stamped
  // when first asked for (stampRecentFollowers).
  const uint32_t q = lastSeen[c];
  lastSeen[c] = i;
  uint32_t* const recent = recentSeen[c];
  const uint32_t count = recentCount[c];
  recent[count % kRecentDepth] = i;
  recentCount[c] = static_cast<uint8_t>(count + 1);
  const uint32_t d = i - q;
  lastDistance = d;
  stampRound = maskRound;
  stampPosition = i;
  stampsDue = d <= 249;
  recentOccurrences = d <= 249;
  followerSetDue = true;
  if (d > 249) {
    recencyFollower = -1;
    closeFollower = false;
  } else {
    recencyFollower = at(q + 1);
    closeFollower = d <= 49;
  }

  // Pair recency.
  if (i > 0) {
    const uint32_t key = SPREAD.v[p] + 2u * SPREAD.v[c];
    const uint32_t old = pairSeen[key];
    pairSeen[key] = i - 1;
    const uint32_t d2 = i - old;
    if (d2 <= 0x3FFF) {
      pairFollower = at(old + 2);
      pairClose = d2 < 576;
    } else {
      pairFollower = -1;
      pairClose = false;
    }
  }

  // Pair-keyed follower tables: the byte that followed (previous, current),
  // (two back, previous) and (two back, current) the last time.
  const int pp = previous[1];
  const int ppp = previous[2];
  followTables[0][(pp << 8) | p] = static_cast<uint8_t>(c);
  followTables[1][(ppp << 8) | pp] = static_cast<uint8_t>(c);
  followTables[2][(ppp << 8) | p] = static_cast<uint8_t>(c);
  tableFollower[0] = followTables[0][(p << 8) | c];
  tableFollower[1] = followTables[1][(pp << 8) | p];
  tableFollower[2] = followTables[2][(pp << 8) | c];

  // Records of fixed length: a byte that repeats at the distance it repeated
  // at before votes for that length; three votes in a row set it.
  if (d <= 256 && d == recordTable[c]) {
    recordDistances[2] = recordDistances[1];
    recordDistances[1] = recordDistances[0];
    recordDistances[0] = d;
    if (recordDistances[1] == d && recordDistances[2] == d) recordLength = static_cast<int>(d);
  }
  recordTable[c] = static_cast<uint8_t>(d > 255 ? 0 : d);
  recordFollower = recordLength > 0 ? at(i + 1 - static_cast<uint32_t>(recordLength)) : -1;

  // Arithmetic progressions over the last bytes.
  const int step = c - p;
  progression = (i >= 3 && step == p - pp && pp - ppp == step && step != 0)
                    ? ((c + step) & 0xFF)
                    : -1;
  // Else across records: a field that counts from record to record.
  const uint32_t length = static_cast<uint32_t>(recordLength);
  if (progression < 0 && length > 0 && i + 1 >= 2 * length) {
    const int last = at(i + 1 - length), before = at(i + 1 - 2 * length);
    if (last != before) progression = (2 * last - before) & 0xFF;
  }

  previous[2] = pp;
  previous[1] = p;
  previous[0] = c;
  updateLines(c, i);
}

// The followers of the up to 55 occurrences of the current byte before the
// latest are stamped, the k-th while it lies less than 440 - 8k bytes back.
// The positions come from the byte's own ring, so the loads do not wait on
// each other.
template <class F>
void AUX_PREDICTORS::forEachRecentFollower(F f) const {
  const uint32_t i = stampPosition;
  const int c = previous[0];
  const uint32_t* const recent = recentSeen[c];
  const uint32_t latest = recentCount[c] - 1u;  // the slot of the byte itself
  for (uint32_t k = 0; k < 55; ++k) {
    const uint32_t occurrence = recent[(latest - 2 - k) % kRecentDepth];
    if (i - occurrence >= 440 - 8 * k) break;
    f(at(occurrence + 1), k);
  }
}

void AUX_PREDICTORS::stampRecentFollowers() {
  stampsDue = false;
  forEachRecentFollower([this](int follower, uint32_t) { recencyStamp[follower] = stampRound; });
}

// A byte followed by many different bytes lately would propose them all to
// the coder's long lists, one decision each, mostly refused. Its latest
// occurrences' followers tell nearly as much: stereo audio, whose frequent
// high bytes are followed by noise, takes 16% fewer decisions this way, and
// audio, images and programs code at most 0.1% larger.
void AUX_PREDICTORS::gatherRecentFollowers() {
  followerSetDue = false;
  uint64_t all[4] = {}, latest[4] = {};
  int count = 0;  // of distinct followers (counted here: without POPCNT a popcount is a library call)
  if (recentOccurrences)
    forEachRecentFollower([&](int follower, uint32_t k) {
      const uint64_t bit = uint64_t{1} << (follower & 63);
      count += (all[follower >> 6] & bit) == 0;
      all[follower >> 6] |= bit;
      if (k < kNarrowOccurrences) latest[follower >> 6] |= bit;
    });
  std::memcpy(recentFollowers, count > kWideFollowers ? latest : all, sizeof recentFollowers);
}

void AUX_PREDICTORS::updateLines(int c, uint32_t i) {
  if (c == '\n') {
    if (column > 8) lineAverage = lineAverage - lineAverage / 4 + column * 4;
    // Text wrapped at a fixed width fills its lines up to that width, and
    // the longest of the last few lines finds it.
    lineLengths[lineCount++ & 7] = column - (previous[1] == '\r');
    lineWidth = 0;
    for (const uint32_t length : lineLengths) lineWidth = length > lineWidth ? length : lineWidth;
    column = 0;
    lineStarts[2] = lineStarts[1];
    lineStarts[1] = lineStarts[0];
    lineStarts[0] = i + 1;
  } else {
    ++column;
  }
  columnGuess = guessColumn(i + 1);
}

namespace {
inline bool IsDigit(int c) { return c >= '0' && c <= '9'; }
}  // namespace

// Numbered lines (verse numbers, line numbers, table rows) repeat a number at
// the same column, or count it up by one from line to line. On kjv.txt this
// halves the cost of the digits (1.2% of the whole).
int AUX_PREDICTORS::guessColumn(uint32_t next) const {
  const uint32_t start = lineStarts[0], prev = lineStarts[1];
  // Both earlier lines must still be in the ring.
  if (prev == kNoLine || next - prev >= kRingSize) return -1;
  const uint32_t col = next - start;
  if (col + 1 >= start - prev) return -1;  // beyond the previous line's text
  uint32_t q = prev + col;
  // Just past the end of a number, a number that counts up may carry into
  // one more digit (9 to 10).
  const bool pastNumber = !IsDigit(at(q));
  if (pastNumber) {
    if (col == 0 || !IsDigit(at(q - 1))) return -1;
    --q;
  }
  // The number (at most 9 digits) around that column of the previous line.
  uint32_t first = q, last = q;
  while (first > prev && IsDigit(at(first - 1)) && q - first < 8) --first;
  while (last + 2 < start && IsDigit(at(last + 1)) && last - first < 8) ++last;
  uint32_t number = 0;
  for (uint32_t k = first; k <= last; ++k) number = number * 10 + static_cast<uint32_t>(at(k) - '0');
  const uint32_t runColumn = first - prev;
  // It counts up when the line before had the number one less at that column.
  const uint32_t before = lineStarts[2];
  bool countsUp = false;
  if (before != kNoLine && next - before < kRingSize && runColumn + 1 < prev - before) {
    uint32_t older = 0;
    int digits = 0;
    for (uint32_t k = before + runColumn; k + 1 < prev && IsDigit(at(k)) && digits < 9; ++k, ++digits)
      older = older * 10 + static_cast<uint32_t>(at(k) - '0');
    countsUp = digits > 0 && older + 1 == number;
  }
  if (!countsUp) return pastNumber ? -1 : at(q);
  // The digit of number + 1 at this column, if the digits written so far
  // agree with it.
  char up[12];
  const int length = std::snprintf(up, sizeof up, "%u", number + 1);
  const uint32_t offset = next - (start + runColumn);
  if (next < start + runColumn || offset >= static_cast<uint32_t>(length)) return -1;
  for (uint32_t k = 0; k < offset; ++k)
    if (at(start + runColumn + k) != static_cast<uint8_t>(up[k])) return -1;
  return up[offset];
}

}  // namespace zubreca
