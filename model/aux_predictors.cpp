#include "model/aux_predictors.h"

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
  pairDistanceClass = 0;
  recordLength = 0;
  byteClass = 0;
  classHistory = 0;
  lastDistance = 0;
  classCell = 0;
  std::memset(ring, 0, sizeof ring);
  std::memset(lastSeen, 0x55, sizeof lastSeen);
  std::memset(seenChain, 0x55, sizeof seenChain);
  std::memset(pairSeen, 0x55, sizeof pairSeen);
  std::memset(pairChain, 0x55, sizeof pairChain);
  std::memset(classFollowers, 0, sizeof classFollowers);
  std::memset(followTables, 0, sizeof followTables);
  for (int i = 0; i < 256; ++i) recordTable[i] = static_cast<uint8_t>(i);
  recordDistances[0] = recordDistances[1] = recordDistances[2] = 0;
  previous[0] = previous[1] = previous[2] = 0;
  clearStamps();
}

void AUX_PREDICTORS::clearStamps() { std::memset(recencyStamp, 0, sizeof recencyStamp); }

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

  // Same-byte recency.
  const uint32_t q = lastSeen[c];
  lastSeen[c] = i;
  seenChain[i & (kSeenChainSize - 1)] = q;
  const uint32_t d = i - q;
  lastDistance = d;
  if (d > 249) {
    recencyFollower = -1;
    closeFollower = false;
  } else {
    recencyFollower = at(q + 1);
    closeFollower = d <= 49;
    uint32_t occurrence = seenChain[q & (kSeenChainSize - 1)];
    for (uint32_t k = 0; i - occurrence < 440 - 8 * k && k < 55; ++k) {
      recencyStamp[at(occurrence + 1)] = maskRound;
      occurrence = seenChain[occurrence & (kSeenChainSize - 1)];
    }
  }

  // Pair recency.
  if (i > 0) {
    const uint32_t key = SPREAD.v[p] + 2u * SPREAD.v[c];
    const uint32_t old = pairSeen[key];
    pairSeen[key] = i - 1;
    pairChain[(i - 1) & (kPairChainSize - 1)] = old;
    const uint32_t d2 = i - old;
    pairDistanceClass = (d2 < 11) + (d2 < 240) + (d2 < 0xE800);
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

  previous[2] = pp;
  previous[1] = p;
  previous[0] = c;
}

}  // namespace zubreca
