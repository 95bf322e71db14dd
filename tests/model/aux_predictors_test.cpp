#include "model/aux_predictors.h"

#include <gtest/gtest.h>

#include <string>

namespace zubreca {
namespace {

// Feeds the text to the predictors as the coder would, byte by byte.
void Feed(const std::string& text) {
  aux.reset();
  for (uint32_t i = 0; i < text.size(); ++i)
    aux.update(static_cast<uint8_t>(text[i]), i, static_cast<uint8_t>(i % 255 + 1));
}

TEST(ColumnGuess, NumberThatCountsUpGivesTheNextNumbersDigits) {
  Feed("Ge1:8 In the beginning\nGe1:9 And the earth\nGe1:");
  EXPECT_EQ(aux.columnGuess, '1');  // 9 + 1 = 10
  Feed("Ge1:8 In the beginning\nGe1:9 And the earth\nGe1:1");
  EXPECT_EQ(aux.columnGuess, '0');
  // Digits written so far that disagree with the count end the guess.
  Feed("Ge1:8 In the beginning\nGe1:9 And the earth\nGe1:2");
  EXPECT_EQ(aux.columnGuess, -1);
}

TEST(ColumnGuess, NumberThatStaysIsRepeated) {
  // The chapter number stayed 1 over the last two lines: guess 1 again.
  Feed("Ge1:8 In the beginning\nGe1:9 And the earth\nGe");
  EXPECT_EQ(aux.columnGuess, '1');
  // A number seen on one earlier line only is repeated too.
  Feed("Ex12:5 Your lamb\nEx12:");
  EXPECT_EQ(aux.columnGuess, '5');
}

TEST(ColumnGuess, OnlyDigitsWithinThePreviousLineAreGuessed) {
  Feed("Ge1:8 In the beginning\nGe1:9 And the earth\nG");
  EXPECT_EQ(aux.columnGuess, -1);  // the previous line holds a letter there
  Feed("12\n34\n567");
  EXPECT_EQ(aux.columnGuess, -1);  // past the end of the previous line
  Feed("no line feed yet 12");
  EXPECT_EQ(aux.columnGuess, -1);
}

TEST(LongLines, LineEndIsExpectedNearTheUsualLength) {
  std::string text;
  for (int line = 0; line < 20; ++line) text += std::string(60, 'a') + "\n";
  Feed(text + std::string(40, 'b'));
  EXPECT_FALSE(aux.endsLongLine('\n'));
  Feed(text + std::string(55, 'b'));
  EXPECT_TRUE(aux.endsLongLine('\n'));
  EXPECT_TRUE(aux.endsLongLine('\r'));
  EXPECT_FALSE(aux.endsLongLine(' '));
}

TEST(LongLines, WrapWidthIsTheLongestOfTheLastEightLines) {
  // Line ends are not counted, whether "\r\n" or "\n".
  Feed("aaaaaaaaaa\r\n" + std::string(30, 'b') + "\r\n" + std::string(20, 'c') + "\n");
  EXPECT_EQ(aux.lineWidth, 30u);
  // Eight shorter lines later the long one is forgotten.
  std::string text = std::string(50, 'd') + "\n";
  for (int line = 0; line < 7; ++line) text += std::string(12 + line, 'e') + "\r\n";
  Feed(text);
  EXPECT_EQ(aux.lineWidth, 50u);
  Feed(text + std::string(9, 'f') + "\n");
  EXPECT_EQ(aux.lineWidth, 18u);
  // A line under way does not count until it ends.
  Feed(text + std::string(9, 'f') + "\n" + std::string(70, 'g'));
  EXPECT_EQ(aux.lineWidth, 18u);
}

// After 'x' followed by one of many bytes, over and over, and a last 'x':
// the followers of the k-th occurrence before the latest are stamped while it
// lies less than 440 - 8k bytes back, so with two bytes between occurrences
// the 44 nearest (k = 0 to 43) are. Enough occurrences pass for the
// per-byte history to wrap several times.
TEST(RecencyStamps, FollowersOfRecentOccurrencesAreStamped) {
  constexpr int kOccurrences = 300;
  auto follower = [](int j) { return 0x80 + j % 100; };
  std::string text;
  for (int j = 0; j < kOccurrences; ++j) text += {'x', static_cast<char>(follower(j))};
  Feed(text);
  aux.clearStamps();
  constexpr uint8_t round = 7;
  aux.update('x', static_cast<uint32_t>(text.size()), round);
  const int latest = kOccurrences - 1;
  EXPECT_EQ(aux.recencyFollower, follower(latest));
  EXPECT_FALSE(aux.followedRecently(follower(latest), round));
  for (int k = 0; k <= 43; ++k)
    EXPECT_TRUE(aux.followedRecently(follower(latest - 1 - k), round)) << "k = " << k;
  for (int k = 44; k < 99; ++k)
    EXPECT_FALSE(aux.followedRecently(follower(latest - 1 - k), round)) << "k = " << k;
}

}  // namespace
// The same followers as a set: all of them while at most 16 differ, else
// only those of the 8 latest occurrences (k = 0 to 7).
TEST(RecencyStamps, TheFollowerSetNarrowsWhenManyBytesFollowed) {
  auto setAfter = [](int distinct) {
    auto follower = [distinct](int j) { return 0x80 + j % distinct; };
    std::string text;
    for (int j = 0; j < 300; ++j) text += {'x', static_cast<char>(follower(j))};
    Feed(text);
    aux.update('x', static_cast<uint32_t>(text.size()), 7);
    std::string members;
    const uint64_t* set = aux.recentFollowerSet();
    for (int symbol = 0; symbol < 256; ++symbol)
      if (set[symbol >> 6] >> (symbol & 63) & 1) members += static_cast<char>(symbol - 0x80 + 'a');
    return members;
  };
  // The followers of occurrences 299 (the latest, already the recency
  // follower) and before: with 16 different bytes all of them are met.
  EXPECT_EQ(setAfter(16), "abcdefghijklmnop");
  // With 17 they all are too, so only those of occurrences 298 to 291
  // remain: 298 % 17 = 9 down to 291 % 17 = 2.
  EXPECT_EQ(setAfter(17), "cdefghij");
}

TEST(Progression, TermsCountOnOverTheLastBytesOrFromRecordToRecord) {
  Feed(std::string{'\x09', '\x01', '\x03', '\x05', '\x07'});
  EXPECT_EQ(aux.progression, 9);
  // Records of five bytes whose third counts up: after the next record's
  // first two bytes, the count goes on.
  std::string records;
  for (char k = 10; k < 20; ++k) records += std::string{'A', 'B', k, '\0', '\x7F'};
  Feed(records + "AB");
  EXPECT_EQ(aux.recordLength, 5);
  EXPECT_EQ(aux.recordFollower, 19);
  EXPECT_EQ(aux.progression, 20);
  // A field that stays is left to the record follower.
  Feed(records + "AB" + '\x14');
  EXPECT_EQ(aux.recordFollower, 0);
  EXPECT_EQ(aux.progression, -1);
  // Counting down wraps around below 0.
  records.clear();
  for (int k = 4; k >= 0; --k) records += std::string{'A', 'B', static_cast<char>(k), '\0', '\x7F'};
  Feed(records + "AB");
  EXPECT_EQ(aux.progression, 255);
}

}  // namespace zubreca
