#include "model/text_state.h"

#include <gtest/gtest.h>

#include <string>

namespace zubreca {
namespace {

// The state after `text`, its classes set out as the coder sets them out
// for the next byte.
TEXT_STATE After(const std::string& text, TEXT_ALPHABET alphabet = TEXT_ALPHABET::kPlain) {
  TEXT_STATE state;
  state.alphabet = alphabet;
  for (const char ch : text) state.update(static_cast<uint8_t>(ch));
  state.prepareClasses();
  return state;
}

TEST(TextState, FollowsWordsIgnoringCase) {
  EXPECT_EQ(After("").wordClass(), 0u);
  EXPECT_EQ(After("The").wordClass(), 1u);
  EXPECT_EQ(After("Hello").wordClass(), 2u);
  EXPECT_EQ(After("Wonderful").wordClass(), 3u);
  EXPECT_EQ(After("Wonderful ").wordClass(), 0u);
  EXPECT_EQ(After("don'").wordClass(), 0u) << "an apostrophe ends a word";

  const auto lower = After("the cat sat").words();
  const auto upper = After("THE CAT SAT").words();
  EXPECT_EQ(lower.current, upper.current);
  EXPECT_EQ(lower.last, upper.last);
  EXPECT_EQ(lower.beforeLast, upper.beforeLast);
  EXPECT_NE(lower.current, 0u);

  // Between words the current hash is 0 and the two last words move on.
  const auto between = After("the cat sat ").words();
  EXPECT_EQ(between.current, 0u);
  EXPECT_EQ(between.last, lower.current);
  EXPECT_EQ(between.beforeLast, lower.last);
  EXPECT_NE(After("the cat").words().current, After("the cap").words().current);
}

TEST(TextState, Stage3RowIsKeyedByTheWordOrTheLastBytes) {
  // Inside a word: the word so far alone.
  EXPECT_EQ(After("xx abc").stage3Row, After("yy. ABC").stage3Row);
  EXPECT_NE(After("xx abc").stage3Row, After("xx abd").stage3Row);
  // After a word and a blank: the word, whatever came before it.
  EXPECT_EQ(After("one cat ").stage3Row, After("two cat ").stage3Row);
  EXPECT_NE(After("one cat ").stage3Row, After("one cap ").stage3Row);
  // Elsewhere: the last two bytes.
  EXPECT_EQ(After("ab12").stage3Row, After("zz12").stage3Row);
  EXPECT_NE(After("ab12").stage3Row, After("ab13").stage3Row);
  EXPECT_NE(After("ab12").stage3Row, After("ab22").stage3Row);
  // The row leaves the low 8 bits to the symbol and stays within 12 bits.
  for (const char* text : {"abc", "x y", "1.5", "\n\n", "the end. "}) {
    const uint32_t row = After(text).stage3Row;
    EXPECT_EQ(row & 0xFF, 0u) << text;
    EXPECT_LT(row, 1u << 20) << text;
  }
}

TEST(TextState, LetterClassesTellWhereAWordStarts) {
  EXPECT_EQ(After("ab").textClass('c'), 37u);  // after a small letter
  EXPECT_EQ(After("AB").textClass('C'), 36u);  // after a capital
  EXPECT_EQ(After("end. ").textClass('T'), 42u);  // a new sentence
  EXPECT_EQ(After("end. ").textClass('t'), 41u);
  EXPECT_EQ(After("end, ").textClass('t'), 39u);  // a word elsewhere
  EXPECT_EQ(After("end,\n").textClass('t'), 43u);  // at the start of a line
  EXPECT_EQ(After("end.\n").textClass('T'), 46u);
  EXPECT_EQ(After("end.\" ").textClass('T'), 42u) << "quote marks do not hide the sentence end";
}

TEST(TextState, PunctuationClassesFollowQuotations) {
  // Kind (sentence end 0, pause 1, quote 2, other 3), after a letter, quotation open.
  EXPECT_EQ(After("yes").textClass('.'), 49u);
  EXPECT_EQ(After("yes ").textClass(','), 51u);
  EXPECT_EQ(After("said \"yes").textClass('.'), 50u);
  EXPECT_EQ(After("said \"yes\"").textClass('.'), 47u);
  EXPECT_EQ(After("said \"don't").textClass('!'), 50u) << "an apostrophe leaves the quotation open";
  EXPECT_EQ(After("said `yes").textClass('?'), 50u);
  EXPECT_EQ(After("said `yes ' ").textClass('-'), 59u) << "a lone single quote closes it";
  EXPECT_EQ(After("said \"yes\n\n").textClass(';'), 51u) << "a blank line closes it";
  EXPECT_EQ(After("said \"yes\r\n\r\n").textClass(';'), 51u);
  EXPECT_EQ(After("said \"yes\n").textClass(';'), 52u);
  EXPECT_EQ(After("x").textClass('"'), 57u);
  EXPECT_EQ(After("x").textClass('7'), 0u) << "digits have no class";
  EXPECT_EQ(After("x").textClass(0xE9), 0u);
}

TEST(TextState, WordCodesAreLettersFrom64Up) {
  const TEXT_STATE plain = After("ab");
  const TEXT_STATE coded = After("ab", TEXT_ALPHABET::kWordCodes);
  EXPECT_EQ(plain.textClass('['), 61u);  // other punctuation, after a letter
  EXPECT_EQ(coded.textClass('['), 38u);  // a capital, after a small letter
  EXPECT_EQ(coded.textClass(0xE9), 37u);
  EXPECT_EQ(coded.textClass('@'), 38u);
  EXPECT_EQ(coded.textClass('?'), 49u) << "below 64 punctuation stays punctuation";
  EXPECT_EQ(After("a\xE9", TEXT_ALPHABET::kWordCodes).textClass('.'), 49u) << "a code is a letter";
}

TEST(TextState, BlankAndLineEndClassesMeasureTheRoomLeft) {
  aux.reset();
  // Without a line width worth the name, only blank against line end.
  EXPECT_EQ(After("a").textClass(' '), 1u);
  EXPECT_EQ(After("a").textClass('\n'), 2u);
  EXPECT_EQ(After("a").textClass('\r'), 2u);
  aux.lineWidth = 60;
  aux.column = 50;  // room for 10 more bytes
  EXPECT_EQ(After("a").textClass(' '), 14u);
  EXPECT_EQ(After("a").textClass('\n'), 30u);
  // Candidates also tell a blank that ends a word from one that does not.
  EXPECT_EQ(After("a").candidateTextClass(' '), 14u + TEXT_STATE::kTextClasses);
  EXPECT_EQ(After("a,").candidateTextClass(' '), 14u);
  EXPECT_EQ(After("a").candidateTextClass('b'), After("a").textClass('b'));
  aux.column = 70;  // past the width
  EXPECT_EQ(After("a").textClass(' '), 3u);
  aux.column = 0;  // room of 14 and more
  EXPECT_EQ(After("a").textClass(' '), 18u);
  aux.reset();
}

TEST(TextState, BytesThatAreNotTextSwitchTheClassesOff) {
  // The share of text bytes falls by a 32nd per other byte: four leave it
  // at 902 of 1024, still text; the fifth takes it below.
  const std::string four(4, '\0');
  EXPECT_TRUE(After("a" + four).inText());
  EXPECT_EQ(After("a" + four).textClass('a'), 39u);
  EXPECT_FALSE(After("a" + four + '\x01').inText());
  EXPECT_EQ(After("a" + four + '\x01').textClass('a'), 0u);
  EXPECT_EQ(After("a" + four + '\x01').textClass(' '), 0u);
  // Text bytes bring it back, six of them here.
  EXPECT_FALSE(After("a" + four + '\x01' + "abcde").inText());
  EXPECT_TRUE(After("a" + four + '\x01' + "abcdef").inText());
  EXPECT_TRUE(After("\t\r\n ~").inText());
}

}  // namespace
}  // namespace zubreca
