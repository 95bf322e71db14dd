#include "model/word_followers.h"

#include <gtest/gtest.h>

#include <string>

#include "model/text_state.h"

namespace zubreca {
namespace {

// Follows words as the symbol coder does and feeds the text byte by byte.
class Feeder {
 public:
  Feeder() { wordFollowers.reset(); }
  void feed(const std::string& text) {
    for (const char ch : text) {
      const int c = static_cast<uint8_t>(ch);
      state.update(c);
      wordFollowers.update(c, state.words(), state.isWordByte(c));
    }
  }

 private:
  TEXT_STATE state;
};

TEST(WordFollowers, LineBreaksCountAsBlanks) {
  Feeder f;
  f.feed("said the cat to the dog, and the\r\n");
  // "the" was last followed by a blank and then "dog".
  EXPECT_EQ(wordFollowers.byLastWord(), 'd');
  f.feed("d");
  EXPECT_EQ(wordFollowers.byLastWord(), 'o');
  // The first word of a line is found after the word that ended the line
  // before, and the two words before it ("and the") were never seen.
  EXPECT_EQ(wordFollowers.byLastTwoWords(), -1);
}

TEST(WordFollowers, TwoWordsTellMoreThanOne) {
  Feeder f;
  f.feed("in the house, by the sea, in the ");
  EXPECT_EQ(wordFollowers.byLastWord(), 's');      // "the sea" came last
  EXPECT_EQ(wordFollowers.byLastTwoWords(), 'h');  // "in the house"
  EXPECT_TRUE(wordFollowers.proposes('s'));
  EXPECT_TRUE(wordFollowers.proposes('h'));
  EXPECT_FALSE(wordFollowers.proposes('x'));
}

TEST(WordFollowers, MarksAndCarriageReturnsAreOtherPlaces) {
  Feeder f;
  // After "end." the place differs from after "end ", and a carriage return
  // is followed by its line feed, not by a word.
  f.feed("end. Now end go end. ");
  EXPECT_EQ(wordFollowers.byLastWord(), 'N');
  f.feed("end ");
  EXPECT_EQ(wordFollowers.byLastWord(), 'g');
  f.feed("so end\r\nend ");
  EXPECT_EQ(wordFollowers.byLastWord(), 'e');  // "end\r\nend" took the place of "end go"
  f.feed("is the end.");
  EXPECT_EQ(wordFollowers.byLastWord(), ' ');
  f.feed(" x end\r");
  EXPECT_EQ(wordFollowers.byLastWord(), '\n');
}

TEST(WordFollowers, TheWordSoFarAloneIsAPlace) {
  Feeder f;
  f.feed("the house. a hou");
  EXPECT_EQ(wordFollowers.byWordSoFar(0), 's');
  EXPECT_EQ(wordFollowers.byWordSoFar(1), -1);
  EXPECT_EQ(wordFollowers.byLastWord(), -1);  // "a hou" was never seen
  EXPECT_TRUE(wordFollowers.proposes('s'));
  // The last three different followers are kept, the latest first.
  f.feed("r, the hou");
  EXPECT_EQ(wordFollowers.byWordSoFar(0), 'r');
  EXPECT_EQ(wordFollowers.byWordSoFar(1), 's');
  f.feed("r and hou");  // a repeat changes nothing
  EXPECT_EQ(wordFollowers.byWordSoFar(0), 'r');
  EXPECT_EQ(wordFollowers.byWordSoFar(1), 's');
  f.feed("nd, hou");
  EXPECT_EQ(wordFollowers.byWordSoFar(0), 'n');
  EXPECT_EQ(wordFollowers.byWordSoFar(1), 'r');
  EXPECT_EQ(wordFollowers.byWordSoFar(2), 's');
  f.feed("r hou");  // the second comes first again
  EXPECT_EQ(wordFollowers.byWordSoFar(0), 'r');
  EXPECT_EQ(wordFollowers.byWordSoFar(1), 'n');
  EXPECT_EQ(wordFollowers.byWordSoFar(2), 's');
  f.feed("t hou");  // a fourth pushes the oldest out
  EXPECT_EQ(wordFollowers.byWordSoFar(0), 't');
  EXPECT_EQ(wordFollowers.byWordSoFar(1), 'r');
  EXPECT_EQ(wordFollowers.byWordSoFar(2), 'n');
  EXPECT_FALSE(wordFollowers.proposes('r'));  // only the latest counts there
  EXPECT_TRUE(wordFollowers.followedWordSoFar('r'));
  EXPECT_TRUE(wordFollowers.followedWordSoFar('n'));
  EXPECT_FALSE(wordFollowers.followedWordSoFar('s'));
  EXPECT_FALSE(wordFollowers.followedWordSoFar(0));
  // Between words the word so far proposes nothing.
  f.feed("se ");
  EXPECT_EQ(wordFollowers.byWordSoFar(0), -1);
  EXPECT_EQ(wordFollowers.byWordSoFar(2), -1);
}

TEST(WordFollowers, RepeatedFollowersAreConfirmed) {
  Feeder f;
  f.feed("a cat, a ");
  EXPECT_EQ(wordFollowers.byLastWord(), 'c');
  EXPECT_FALSE(wordFollowers.confirmed(0));
  f.feed("cat, a ");
  EXPECT_TRUE(wordFollowers.confirmed(0));
  // "cat, a" was followed by 'c' once before: by two words, no run yet.
  EXPECT_EQ(wordFollowers.byLastTwoWords(), 'c');
  EXPECT_FALSE(wordFollowers.confirmed(1));
  // Another follower starts over.
  f.feed("dog, a ");
  EXPECT_EQ(wordFollowers.byLastWord(), 'd');
  EXPECT_FALSE(wordFollowers.confirmed(0));
}

TEST(WordFollowers, ResetForgetsEverything) {
  Feeder f;
  f.feed("one two one two one ");
  EXPECT_EQ(wordFollowers.byLastWord(), 't');
  Feeder g;  // resets
  EXPECT_EQ(wordFollowers.byLastWord(), -1);
  g.feed("one ");
  EXPECT_EQ(wordFollowers.byLastWord(), -1);
  // Past the log of written slots the tables are cleared whole.
  std::string text;
  for (int i = 0; i < 40000; ++i) text += "ab ";
  g.feed(text);
  Feeder h;
  h.feed("ab ");
  EXPECT_EQ(wordFollowers.byLastWord(), -1);
}

}  // namespace
}  // namespace zubreca
