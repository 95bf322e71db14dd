#include "tricks/wiki/text_transforms.h"

#include "buffers/data_buffer.h"

namespace zubreca {

namespace {

constexpr std::array<uint8_t, 256> MakeCharClasses() {
  std::array<uint8_t, 256> classes{};
  for (int c = 0; c < 256; ++c) classes[c] = (c >= '0' && c <= '9') || c >= 64 ? kWordClass : kOtherClass;
  for (const char c : {'(', '<', '[', '`', '{'}) classes[static_cast<uint8_t>(c)] = kOpeningClass;
  for (const char c : {'!', '"', '\'', ')', '.', ':', '>', '?', ']', '}'}) {
    classes[static_cast<uint8_t>(c)] = kClosingClass;
  }
  for (const char c : {',', ';'}) classes[static_cast<uint8_t>(c)] = kSeparatorClass;
  for (const int c : {0, 9, 10, 13, 18, 20, 31, 32}) classes[c] = kSpaceClass;
  for (const char c : {'\\', '^', '|', '~'}) classes[static_cast<uint8_t>(c)] = kOtherClass;
  return classes;
}

// Bytes of a punctuation run: closing, separating or space.
inline bool InRun(uint8_t c) { return charClass[c] > kOpeningClass; }

inline bool IsSmall(uint8_t c) { return c >= 'a' && c <= 'z'; }
inline bool IsCapital(uint8_t c) { return c >= 'A' && c <= 'Z'; }
inline bool IsLetter(uint8_t c) { return IsSmall(c) || IsCapital(c); }
inline bool IsFlag(uint8_t c) { return c == kLiteralFlag || c == kCapitalisedFlag || c == kCapitalsFlag; }
constexpr int kCaseDistance = 'a' - 'A';

}  // namespace

const std::array<uint8_t, 256> charClass = MakeCharClasses();

DATA_BUFFER* SpacePunctuation(DATA_BUFFER* buffer) {
  const int n = buffer->length;
  DATA_BUFFER* out = new DATA_BUFFER(n + n / 8, 128, nullptr);
  const uint8_t* r = buffer->data();
  const uint8_t* const end = r + n;
  while (r < end) {
    const uint8_t c = *r;
    const uint8_t cls = charClass[c];
    if (cls < kClosingClass || cls == kSpaceClass || charClass[r[1]] < kClosingClass) {
      out->putByte(c);
      ++r;
      continue;
    }
    out->putByte(' ');
    do out->putByte(*r++);
    while (r < end && InRun(*r));
  }
  return ReplaceBuffer(out, buffer);
}

DATA_BUFFER* UnspacePunctuation(DATA_BUFFER* buffer) {
  const int n = buffer->length;
  DATA_BUFFER* out = new DATA_BUFFER(n, 128, nullptr);
  const uint8_t* r = buffer->data();
  const uint8_t* const end = r + n;
  while (r < end) {
    // A blank that SpacePunctuation put in: it stands before a closing or
    // separating byte that a run byte follows. (A blank of the input
    // before such a run comes out doubled, and the first of the two fails
    // this test.)
    if (*r == ' ' && r + 1 < end && InRun(r[1]) && charClass[r[1]] != kSpaceClass && InRun(r[2])) {
      ++r;
      do out->putByte(*r++);
      while (r < end && InRun(*r));
      continue;
    }
    out->putByte(*r++);
  }
  return ReplaceBuffer(out, buffer);
}

DATA_BUFFER* FoldCase(DATA_BUFFER* buffer) {
  const int n = buffer->length;
  DATA_BUFFER* out = new DATA_BUFFER(n + n / 8, 128, nullptr);
  const uint8_t* r = buffer->data();
  const uint8_t* const end = r + n;
  while (r < end) {
    const uint8_t c = *r;
    if (!IsLetter(c)) {
      if (IsFlag(c)) out->putByte(kLiteralFlag);
      out->putByte(c);
      ++r;
    } else if (IsSmall(c)) {
      // A small letter right after a letter would join the run before it.
      if (IsLetter(r[-1])) out->putByte(kLiteralFlag);
      do out->putByte(*r++);
      while (r < end && IsSmall(*r));
    } else if (IsSmall(r[1]) || (IsCapital(r[1]) && IsSmall(r[2]))) {
      out->putByte(kCapitalisedFlag);
      out->putByte(c + kCaseDistance);
      for (++r; r < end && IsSmall(*r); ++r) out->putByte(*r);
    } else {
      out->putByte(kCapitalsFlag);
      for (; r < end && IsCapital(*r); ++r) out->putByte(*r + kCaseDistance);
    }
  }
  return ReplaceBuffer(out, buffer);
}

DATA_BUFFER* UnfoldCase(DATA_BUFFER* buffer) {
  const int n = buffer->length;
  DATA_BUFFER* out = new DATA_BUFFER(n, 128, nullptr);
  const uint8_t* r = buffer->data();
  const uint8_t* const end = r + n;
  while (r < end) {
    const uint8_t b = *r++;
    if (b == kLiteralFlag) {
      if (r < end) out->putByte(*r++);
    } else if (b == kCapitalisedFlag) {
      if (r < end) out->putByte(*r++ - kCaseDistance);
      for (; r < end && IsLetter(*r); ++r) out->putByte(*r);
    } else if (b == kCapitalsFlag) {
      for (; r < end && IsLetter(*r); ++r) out->putByte(*r - kCaseDistance);
    } else {
      out->putByte(b);
    }
  }
  return ReplaceBuffer(out, buffer);
}

}  // namespace zubreca
