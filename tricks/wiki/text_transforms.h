// Reversible transforms of running text, applied by the wiki dump trick
// before coding: a blank in front of punctuation runs, case folding into
// small letters and flag bytes.
//
// Each takes a buffer in the reading phase, writes the transformed bytes
// into a new buffer (maxOrder 128) that takes the input's place in its
// chain (ReplaceBuffer), and returns the new one. Each inverse gives back
// exactly the input of its transform, whatever bytes that held. They read
// one or two bytes before and after the content through the buffer's zero
// guards.
#pragma once

#include <array>
#include <cstdint>

namespace zubreca {

class DATA_BUFFER;

// The punctuation classes of every byte value.
enum CHAR_CLASS : uint8_t {
  kOtherClass = 0,       // 1..8, 11, 12, 14..17, 19, 21..30, # $ % & * + - / = \ ^ | ~
  kWordClass = 1,        // digits and every byte from 64 up not listed elsewhere
  kOpeningClass = 2,     // ( < [ ` {
  kClosingClass = 3,     // ! " ' ) . : > ? ] }
  kSeparatorClass = 4,   // , ;
  kSpaceClass = 5,       // 0, tab, line feed, carriage return, 18, 20, 31, blank
};
// 18, 20 and 31 stand for "]", "}" and the closing mark in the wiki
// splitter's text stream, so they count as spaces here.
extern const std::array<uint8_t, 256> charClass;

// "end. Next" -> "end . Next": a blank goes in front of every run of
// punctuation (classes 3 to 5, starting with 3 or 4) that is followed by
// more punctuation or a space.
DATA_BUFFER* SpacePunctuation(DATA_BUFFER* buffer);
DATA_BUFFER* UnspacePunctuation(DATA_BUFFER* buffer);

// Flag bytes of folded text: the next byte stands for itself; a
// capitalised word; a run of capitals.
inline constexpr uint8_t kLiteralFlag = 3;
inline constexpr uint8_t kCapitalisedFlag = 4;
inline constexpr uint8_t kCapitalsFlag = 5;

// "Hello ABC" -> 4 "hello " 5 "abc": capitals never appear in the output.
DATA_BUFFER* FoldCase(DATA_BUFFER* buffer);
DATA_BUFFER* UnfoldCase(DATA_BUFFER* buffer);

}  // namespace zubreca
