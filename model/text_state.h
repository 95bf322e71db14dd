// What the coder follows of prose beyond the contexts: the last bytes, the
// word under way and the two words before it, sentence ends and open
// quotations, and whether the recent bytes look like text at all. The
// correction stages and the estimators read their feature bits from here.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "buffers/data_buffer.h"
#include "model/aux_predictors.h"
#include "model/word_followers.h"

namespace zubreca {

// Letters of words: ASCII letters in plain text; every byte from 64 up
// where the words are coded (codes, and the letters of words not in the
// dictionary). On the wiki trick's first stream the second reading is
// 0.3% smaller; on plain text it would cost 0.2%.
constexpr bool IsLetterOf(TEXT_ALPHABET alphabet, int c) {
  return alphabet == TEXT_ALPHABET::kPlain ? IsWordByte(c) : c >= 64;
}

struct TEXT_STATE {
  int lastByte = 0;
  int byteBefore = 0;
  uint32_t wordHash = 0;    // the current word so far; 0 between words
  uint32_t wordLength = 0;
  uint32_t lastWord = 0;    // the last complete word
  uint32_t wordBefore = 0;  // the complete word before it
  uint32_t stage3Row = 0;   // the stage 3 row of the next byte (see update)
  int lastMark = 0;         // the last byte that is not a blank, a line end or a quote mark
  bool quoteOpen = false;   // a quotation has opened and not closed yet
  uint32_t textScore = 1024;  // share of text bytes lately, 1024 when all were text; text until shown otherwise
  TEXT_ALPHABET alphabet = TEXT_ALPHABET::kPlain;

  static constexpr uint32_t kTextClasses = 64;

  // Letters of words (see IsLetterOf).
  bool isWordByte(int c) const { return IsLetterOf(alphabet, c); }

  // Takes in the byte just coded.
  void update(int c) {
    updateMarks(c);
    byteBefore = lastByte;
    lastByte = c;
    updateWord(c);
  }

  // The words, as the word followers are keyed by them.
  WORD_FOLLOWERS::WORDS words() const { return {wordHash, lastWord, wordBefore}; }

  // Where the next byte falls in a word: 0 between words, then by the
  // length so far: 1 to 3, 4 to 6, 7 and more letters.
  uint32_t wordClass() const { return wordLength == 0 ? 0 : wordLength <= 3 ? 1 : wordLength <= 6 ? 2 : 3; }

  bool inText() const { return textScore >= kTextThreshold; }

  // Text classes of a symbol, for the stage 1 cells: what the layout of
  // prose tells of blanks, line ends, letters and punctuation that the
  // contexts cannot see. 0 when none applies; all stay below 64.
  //  - A blank or a line end (1 to 34): in text wrapped at a fixed width,
  //    whether a line breaks depends on the room left before that width, so
  //    the room picks the class (from full to 14 bytes or more). On the
  //    wrapped Canterbury texts this is 1.1% to 1.3% smaller, 0.7% on the
  //    eight texts.
  //  - A letter (35 to 46): capital or not, by whether it continues a word
  //    (after a capital or a small letter), or starts one after the end of
  //    a sentence, at the start of a line or elsewhere: 0.15% on the eight
  //    texts.
  //  - Punctuation (47 to 62): by its kind, whether it follows a letter and
  //    whether a quotation is open: 0.04% on the eight texts, 0.07% on
  //    kjv.txt.
  // Bytes that do not look like text switch the classes off: 0.07% smaller
  // on binaries than leaving them on.
  uint32_t textClass(int symbol) const { return inText() ? classOfKind[kindOf(symbol)] : 0; }

  // Candidates have room for more classes (the column gives them 7 bits):
  // there a blank or a line end is also told apart by whether it ends a
  // word (0.03% smaller on the eight Canterbury texts).
  uint32_t candidateTextClass(int symbol) const { return inText() ? candidateClassOfKind[kindOf(symbol)] : 0; }

  // Sets out the classes of each kind of symbol for the next byte; called
  // once the predictors have taken in the last byte (the line classes read
  // their column). Candidates ask for classes several times a byte.
  void prepareClasses() {
    if (inText()) setOutClasses();  // outside text the classes are 0, and not read
  }

 private:
  static constexpr uint32_t kTextThreshold = 900;
  static constexpr uint32_t kLineWrapMinimum = 24;  // narrower lines tell nothing of a wrap width

  // Word codes, flags and marks fill a coded stream: there every byte is
  // text (0.6% smaller on the wiki trick's first stream than judging its
  // bytes as those of plain text).
  bool isTextByte(int c) const {
    return alphabet == TEXT_ALPHABET::kWordCodes || (c >= ' ' && c < 127) || c == '\n' || c == '\r' || c == '\t';
  }

  // Follows sentences and quotations; called before the last bytes move on.
  void updateMarks(int c) {
    if (c == '`')
      quoteOpen = true;
    else if (c == '"')
      quoteOpen = !quoteOpen;
    else if (c == '\'' && !isWordByte(lastByte))  // not an apostrophe
      quoteOpen = false;
    else if (c == '\n' && (lastByte == '\n' || (lastByte == '\r' && byteBefore == '\n')))
      quoteOpen = false;  // a blank line ends a quotation
    if (c != ' ' && c != '\r' && c != '\n' && c != '\t' && c != '"' && c != '\'') lastMark = c;
    textScore = textScore - (textScore >> 5) + (isTextByte(c) ? 32 : 0);
  }

  // Words (isWordByte) are runs of letters; their hash ignores case.
  // The stage 3 row for the next byte is, inside a word, the word so far;
  // just after a word and a blank, the word and the byte that ended it (a
  // word pair seen from its second word's first letter); elsewhere the
  // previous two bytes. On text this is 0.2% smaller than the two bytes
  // alone.
  // Outside text the row is the last byte and the top two bits of the one
  // before, unhashed: 1024 rows, whose cells (2 MB a kind of decision)
  // stay in the caches far better than the 4096 hashed rows of text. Audio
  // and images code 8% faster, and smaller: a library 0.15%, a photo
  // 0.06%, stereo audio 0.06%; a spreadsheet grows 0.7%.
  void updateWord(int c) {
    if (isWordByte(c)) {
      wordHash = (wordHash + static_cast<uint32_t>(c | 0x20) + 1) * 0x2F0B4A13u;
      ++wordLength;
    } else if (wordLength != 0) {
      wordBefore = lastWord;
      lastWord = wordHash;
      wordHash = 0;
      wordLength = 0;
    }
    if (!inText()) {
      stage3Row = (static_cast<uint32_t>(lastByte) | static_cast<uint32_t>(byteBefore >> 6) << 8) << 8;
      return;
    }
    uint32_t key;
    if (wordLength != 0)
      key = wordHash;
    else if (lastByte == ' ')
      key = lastWord ^ static_cast<uint32_t>(byteBefore) * 0x51ED27u;
    else
      key = static_cast<uint32_t>(lastByte) | static_cast<uint32_t>(byteBefore) << 8;
    stage3Row = (key * 0x9E3779B1u) >> 20 << 8;
  }

  // Kinds of symbols, as the classes tell them apart: a blank, a line end,
  // a small or capital letter, and four kinds of punctuation (sentence ends,
  // pauses, quote marks, the rest).
  enum SYMBOL_KIND : uint8_t {
    kNoKind, kBlank, kLineEnd, kSmallLetter, kCapitalLetter, kSentenceEnd, kPause, kQuoteMark, kOtherMark,
    kKinds
  };
  static constexpr auto kKindTables = [] {
    std::array<std::array<uint8_t, 256>, 2> kinds{};
    for (int alphabet = 0; alphabet < 2; ++alphabet)
      for (int c = 0; c < 256; ++c) {
        const bool letter = IsLetterOf(static_cast<TEXT_ALPHABET>(alphabet), c);
        uint8_t kind = kNoKind;
        if (c == ' ')
          kind = kBlank;
        else if (c == '\n' || c == '\r')
          kind = kLineEnd;
        else if (letter)
          kind = c < 'a' ? kCapitalLetter : kSmallLetter;
        else if (c > ' ' && c < 127 && !(c >= '0' && c <= '9'))
          kind = c == '.' || c == '!' || c == '?'    ? kSentenceEnd
                 : c == ',' || c == ';' || c == ':'  ? kPause
                 : c == '\'' || c == '"' || c == '`' ? kQuoteMark
                                                      : kOtherMark;
        kinds[alphabet][c] = kind;
      }
    return kinds;
  }();
  uint8_t kindOf(int symbol) const { return kKindTables[static_cast<int>(alphabet)][symbol]; }

  // The classes of the kinds, as textClass tells them (see there).
  void setOutClasses() {
    const bool afterWord = isWordByte(lastByte);
    const uint32_t place = afterWord ? (lastByte < 'a' ? 0 : 1)
                                     : 2 + (lastMark == '.' || lastMark == '!' || lastMark == '?') +
                                           2 * (lastByte == '\n');
    const uint32_t punctuation = 47 + afterWord * 2 + quoteOpen;
    classOfKind = {0,
                   static_cast<uint8_t>(lineClass(false)),
                   static_cast<uint8_t>(lineClass(true)),
                   static_cast<uint8_t>(35 + place * 2),
                   static_cast<uint8_t>(35 + place * 2 + 1),
                   static_cast<uint8_t>(punctuation),
                   static_cast<uint8_t>(punctuation + 4),
                   static_cast<uint8_t>(punctuation + 8),
                   static_cast<uint8_t>(punctuation + 12)};
    candidateClassOfKind = classOfKind;
    if (afterWord) {
      candidateClassOfKind[kBlank] = static_cast<uint8_t>(classOfKind[kBlank] + kTextClasses);
      candidateClassOfKind[kLineEnd] = static_cast<uint8_t>(classOfKind[kLineEnd] + kTextClasses);
    }
  }

  // The line lengths are the auxiliary predictors' (aux), which follow the
  // same bytes.
  uint32_t lineClass(bool lineEnd) const {
    if (aux.lineWidth < kLineWrapMinimum) return 1 + lineEnd;
    const int room = static_cast<int>(aux.lineWidth) - static_cast<int>(aux.column);
    return 3 + lineEnd * 16 + static_cast<uint32_t>(std::clamp(room, -1, 14) + 1);
  }

  std::array<uint8_t, kKinds> classOfKind{};
  std::array<uint8_t, kKinds> candidateClassOfKind{};
};

}  // namespace zubreca
