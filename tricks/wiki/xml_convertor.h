// The wiki dump splitter: pulls an XML dump apart into five streams of like
// content and merges them back.
//
//   text           content of <text>, <title> and <comment> elements, with
//                  wiki markup coded; the element's closing tag as byte 0
//   markup         everything else: tags, other content, white space
//   link           external links ("http://..."), each after 15 bytes 0
//   interlanguage  interlanguage links ("[[de:...]]"), each after 0, 1, 2
//   number         content of <timestamp> and of <id> directly inside
//                  <revision> or <page>, each byte plus 16, then a tag byte
//
// Bytes copied to the text, markup and link streams go through byteMap,
// which moves the wiki brackets, the bar and a few more below 64, where
// the word coder treats them as word ends. In the text stream:
//
//   0        the closing tag of the innermost open element
//   1 2 6 7  after "&": "quot;", "amp;", "lt;", "gt;"
//   8        an external link, moved to the link stream
//   30       "[[", an interlanguage link and "]]", moved to their stream
//   31       the closing bytes of the innermost open markup construct
//   34       two apostrophes
//
// A dump restores exactly when its text content holds no raw bytes 0, 8,
// 30, 31 or 34, every "&" there starts one of the four entities, links hold
// no byte 0, number content no bytes 240 to 242, and at most 256 elements
// and 2048 markup constructs are open at once. Other input is split and
// merged all the same (within bounds, never outside a buffer), just not
// back into the same bytes: the trick checks the merge before it trusts a
// split.
#pragma once

#include <array>
#include <cstdint>

namespace zubreca {

class DATA_BUFFER;

// The five streams, in chain order.
struct WIKI_STREAMS {
  DATA_BUFFER* text = nullptr;
  DATA_BUFFER* markup = nullptr;
  DATA_BUFFER* link = nullptr;
  DATA_BUFFER* lang = nullptr;
  DATA_BUFFER* number = nullptr;
};

inline constexpr uint8_t kLinkMark = 8;
inline constexpr uint8_t kLangMark = 30;
inline constexpr uint8_t kCloseMark = 31;
inline constexpr uint8_t kApostrophePair = 34;
inline constexpr int kLinkSeparator = 15;  // bytes 0 before each link
inline constexpr int kLangSeparator = 3;   // bytes 0, 1, 2 before each interlanguage link

class XML_CONVERTOR {
 public:
  static constexpr int kMaxOpenElements = 256;
  static constexpr int kMaxOpenConstructs = 2048;

  XML_CONVERTOR();

  // Splits the `length` bytes at `data` (which must have the zero guards of
  // a DATA_BUFFER around it) into five new streams in the writing phase.
  WIKI_STREAMS split(const uint8_t* data, int32_t length);

  // Merges five streams in the reading phase (not changed, not consumed)
  // into a new buffer in the writing phase. Null when the streams cannot
  // come from a split: a marker with nothing to close, an unknown entity
  // code.
  DATA_BUFFER* merge(const WIKI_STREAMS& streams);

  // Whether the bytes at `p` (just after "[[", with `end` the end of the
  // input) begin an interlanguage link: two small letters and a colon, or
  // three and a colon, or "zh-min-nan:", "fiu-vro:" or "simple:".
  static bool isLangTrans(const uint8_t* p, const uint8_t* end);

  static const std::array<uint8_t, 256> byteMap;

 private:
  struct CONSTRUCT {
    uint8_t closer;
    uint8_t count;  // closing bytes beyond the first
  };

  // The element stack: pointers to element names in the bytes scanned.
  void pushElement(const uint8_t* name);
  const uint8_t* topElement(int below = 0) const;
  void popElement() { if (tagTop > 0) --tagTop; }
  // Pops up to and including the element named like `name`.
  void popThrough(const uint8_t* name);
  // The tag byte of the number element that an opening tag leaves on top
  // (1 timestamp, 2 id in revision, 0 id in page), or -1.
  int numberTag() const;

  void pushConstruct(uint8_t closer, int count);
  bool topConstructIs(uint8_t closer, int count) const;

  // Split steps; each returns the position after what it took.
  const uint8_t* splitTag(const uint8_t* r);
  const uint8_t* splitTextByte(const uint8_t* r);

  const uint8_t* elementNames[3];
  const uint8_t* tagStack[kMaxOpenElements];
  int tagTop = 0;
  CONSTRUCT markStack[kMaxOpenConstructs];
  int markTop = 0;

  WIKI_STREAMS streams;
  DATA_BUFFER* out = nullptr;  // the split's current stream
  const uint8_t* inputStart = nullptr;
  const uint8_t* inputEnd = nullptr;
};

}  // namespace zubreca
