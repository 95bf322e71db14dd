#include "tricks/wiki/xml_convertor.h"

#include <cctype>
#include <cstring>

#include "buffers/data_buffer.h"

namespace zubreca {

namespace {

constexpr std::array<uint8_t, 256> MakeByteMap() {
  std::array<uint8_t, 256> map{};
  for (int c = 0; c < 256; ++c) map[c] = static_cast<uint8_t>(c);
  constexpr uint8_t kPairs[][2] = {{11, '@'}, {12, '~'}, {13, '\\'}, {14, '^'},  {15, '_'}, {16, '|'},
                                   {17, '['}, {18, ']'}, {19, '{'},  {20, '}'}, {21, '`'}};
  for (const auto& pair : kPairs) {
    map[pair[0]] = pair[1];
    map[pair[1]] = pair[0];
  }
  return map;
}

constexpr int kNumberOffset = 16;  // number bytes are stored plus this
constexpr uint8_t kLastNumberTag = 2;

const char* const kEntities[] = {"quot;", "amp;", "lt;", "gt;"};
constexpr uint8_t kEntityCodes[] = {1, 2, 6, 7};

inline bool IsNameByte(uint8_t c) { return isalnum(c) != 0 && c < 128; }

// The length of the leading run of letters and digits at `name`. Names lie
// in buffers whose guard bytes (0) end every run.
size_t NameLength(const uint8_t* name) {
  size_t length = 0;
  while (IsNameByte(name[length])) ++length;
  return length;
}

// Whether the name at `name` is `word`.
bool NameIs(const uint8_t* name, const char* word) {
  const size_t length = NameLength(name);
  return length == strlen(word) && memcmp(name, word, length) == 0;
}

bool SameName(const uint8_t* a, const uint8_t* b) {
  const size_t length = NameLength(a);
  return length == NameLength(b) && memcmp(a, b, length) == 0;
}

bool StartsWith(const uint8_t* p, const uint8_t* end, const char* text) {
  const size_t length = strlen(text);
  return static_cast<size_t>(end - p) >= length && memcmp(p, text, length) == 0;
}

inline bool IsSmall(uint8_t c) { return c >= 'a' && c <= 'z'; }

// A byte source over a stream in the reading phase.
struct SOURCE {
  const uint8_t* p;
  const uint8_t* end;

  explicit SOURCE(const DATA_BUFFER* buffer) : p(buffer->data()), end(buffer->data() + buffer->length) {}
  bool empty() const { return p >= end; }
  int get() { return p < end ? *p++ : -1; }
  int peek() const { return p < end ? *p : -1; }
  void skip(int n) { p = end - p < n ? end : p + n; }
};

}  // namespace

const std::array<uint8_t, 256> XML_CONVERTOR::byteMap = MakeByteMap();

XML_CONVERTOR::XML_CONVERTOR()
    : elementNames{reinterpret_cast<const uint8_t*>("text"), reinterpret_cast<const uint8_t*>("title"),
                   reinterpret_cast<const uint8_t*>("comment")} {}

bool XML_CONVERTOR::isLangTrans(const uint8_t* p, const uint8_t* end) {
  if (end - p < 3 || !IsSmall(p[0]) || !IsSmall(p[1])) return false;
  if (p[2] == ':') return true;
  if (end - p >= 4 && IsSmall(p[2]) && p[3] == ':') return true;
  return StartsWith(p, end, "zh-min-nan:") || StartsWith(p, end, "fiu-vro:") || StartsWith(p, end, "simple:");
}

void XML_CONVERTOR::pushElement(const uint8_t* name) {
  // Past the bound the element is not tracked; split and merge do the
  // same, and the trick's check of the merge sees whatever that changes.
  if (tagTop < kMaxOpenElements) tagStack[tagTop++] = name;
}

const uint8_t* XML_CONVERTOR::topElement(int below) const {
  return tagTop > below ? tagStack[tagTop - 1 - below] : nullptr;
}

void XML_CONVERTOR::popThrough(const uint8_t* name) {
  while (tagTop > 0) {
    const uint8_t* popped = tagStack[--tagTop];
    if (SameName(popped, name)) return;
  }
}

int XML_CONVERTOR::numberTag() const {
  const uint8_t* top = topElement();
  if (!top) return -1;
  if (NameIs(top, "timestamp")) return 1;
  if (tagTop >= 2 && NameIs(top, "id")) {
    if (NameIs(topElement(1), "revision")) return 2;
    if (NameIs(topElement(1), "page")) return 0;
  }
  return -1;
}

void XML_CONVERTOR::pushConstruct(uint8_t closer, int count) {
  if (markTop < kMaxOpenConstructs) markStack[markTop++] = {closer, static_cast<uint8_t>(count)};
}

bool XML_CONVERTOR::topConstructIs(uint8_t closer, int count) const {
  return markTop > 0 && markStack[markTop - 1].closer == closer && markStack[markTop - 1].count == count;
}

// --- Split --------------------------------------------------------------------

WIKI_STREAMS XML_CONVERTOR::split(const uint8_t* data, int32_t length) {
  streams.text = new DATA_BUFFER(length, 128, nullptr);
  streams.markup = new DATA_BUFFER(length / 32, 64, nullptr);
  streams.link = new DATA_BUFFER(length / 32, 15, nullptr);
  streams.lang = new DATA_BUFFER(length / 32, 128, nullptr);
  streams.number = new DATA_BUFFER(length / 64, 5, nullptr);
  out = streams.markup;
  tagTop = markTop = 0;
  inputStart = data;
  inputEnd = data + length;
  for (const uint8_t* r = data; r < inputEnd;) {
    if (*r == '<') {
      r = splitTag(r);
    } else if (out == streams.markup) {
      out->putByte(byteMap[*r++]);
    } else {
      r = splitTextByte(r);
    }
  }
  WIKI_STREAMS result = streams;
  streams = WIKI_STREAMS{};
  return result;
}

const uint8_t* XML_CONVERTOR::splitTag(const uint8_t* r) {
  const bool closing = r + 1 < inputEnd && r[1] == '/';
  const uint8_t* name = r + (closing ? 2 : 1);
  const uint8_t* next;
  if (closing && tagTop > 0 && [&] {
        const size_t length = NameLength(topElement());
        return static_cast<size_t>(inputEnd - name) > length && memcmp(name, topElement(), length) == 0 &&
               name[length] == '>';
      }()) {
    // The closing tag of the innermost element: one byte 0.
    out->putByte(0);
    popElement();
    next = name + NameLength(name) + 1;
  } else {
    if (closing) popThrough(name);
    // The tag as it is, up to and including its '>'.
    const uint8_t* p = r;
    while (p < inputEnd && *p != '>') out->putByte(byteMap[*p++]);
    if (p < inputEnd) out->putByte(byteMap[*p++]);
    next = p;
    if (!closing) {
      if (!(p - r >= 2 && p[-1] == '>' && p[-2] == '/')) pushElement(name);
      const int tag = numberTag();
      if (tag >= 0) {
        // The element's content goes to the number stream: at least the
        // byte after the tag, then up to the next '<'.
        if (p < inputEnd) streams.number->putByte(*p++ + kNumberOffset);
        while (p < inputEnd && *p != '<') streams.number->putByte(*p++ + kNumberOffset);
        streams.number->putByte(tag);
        next = p;
      }
    }
  }
  for (const uint8_t* element : elementNames) {
    if (!NameIs(name, reinterpret_cast<const char*>(element))) continue;
    if (closing) {
      out = streams.markup;
    } else {
      out = streams.text;
      markTop = 0;
    }
    break;
  }
  return next;
}

const uint8_t* XML_CONVERTOR::splitTextByte(const uint8_t* r) {
  DATA_BUFFER* text = streams.text;
  const uint8_t c = *r;
  // Entity: the '&' went out as a plain byte in the step before.
  if (r > inputStart && r[-1] == '&') {
    for (int i = 0; i < 4; ++i) {
      if (StartsWith(r, inputEnd, kEntities[i])) {
        text->putByte(kEntityCodes[i]);
        return r + strlen(kEntities[i]);
      }
    }
  }
  if (c == '[' && r + 1 < inputEnd && r[1] == '[' && isLangTrans(r + 2, inputEnd)) {
    for (uint8_t b = 0; b < kLangSeparator; ++b) streams.lang->putByte(b);
    text->putByte(kLangMark);
    const uint8_t* p = r + 2;
    while (p < inputEnd && !(p[0] == ']' && p + 1 < inputEnd && p[1] == ']')) streams.lang->putByte(*p++);
    return p < inputEnd ? p + 2 : p;
  }
  if (c == '(' || c == '[' || c == '{') {
    text->putByte(byteMap[c]);
    const bool doubled = c != '(' && r + 1 < inputEnd && r[1] == c;
    if (doubled) text->putByte(byteMap[c]);
    pushConstruct(c == '(' ? ')' : c == '[' ? ']' : '}', doubled);
    return r + 1 + doubled;
  }
  if (c == ')' || c == ']' || c == '}') {
    const bool doubled = c != ')' && r + 1 < inputEnd && r[1] == c;
    if (topConstructIs(c, doubled)) {
      text->putByte(kCloseMark);
      --markTop;
      return r + 1 + doubled;
    }
  }
  if (c == '\'' && r + 1 < inputEnd && r[1] == '\'') {
    int run = 2;
    while (run < 7 && r + run < inputEnd && r[run] == '\'') ++run;
    if (markTop > 0 && markStack[markTop - 1].closer == '\'' && markStack[markTop - 1].count + 1 <= run) {
      const int closed = markStack[markTop - 1].count + 1;
      text->putByte(kCloseMark);
      --markTop;
      return r + closed;
    }
    pushConstruct('\'', run - 1);
    for (int i = 0; i < run / 2; ++i) text->putByte(kApostrophePair);
    if (run % 2) text->putByte('\'');
    return r + run;
  }
  if (c == '=' && r + 1 < inputEnd && r[1] == '=') {
    int run = 2;
    while (run < 6 && r + run < inputEnd && r[run] == '=') ++run;
    if (topConstructIs('=', run - 1)) {
      text->putByte(kCloseMark);
      --markTop;
    } else {
      pushConstruct('=', run - 1);
      for (int i = 0; i < run; ++i) text->putByte('=');
    }
    return r + run;
  }
  if (StartsWith(r, inputEnd, "http://") && inputEnd - r > 7) {
    for (int i = 0; i < kLinkSeparator; ++i) streams.link->putByte(0);
    streams.link->putByte(byteMap[r[7]]);
    int balance = r[7] == '{' ? 1 : r[7] == '}' ? -1 : 0;
    const uint8_t* p = r + 8;
    for (; p < inputEnd; ++p) {
      const uint8_t b = *p;
      balance += b == '{' ? 1 : b == '}' ? -1 : 0;
      if (isspace(b) || (b != 0 && strchr("()[]<'", b) != nullptr) || balance < 0) break;
      streams.link->putByte(byteMap[b]);
    }
    text->putByte(kLinkMark);
    return p;
  }
  text->putByte(byteMap[c]);
  return r + 1;
}

// --- Merge --------------------------------------------------------------------

DATA_BUFFER* XML_CONVERTOR::merge(const WIKI_STREAMS& in) {
  const int32_t n = in.text->length;
  DATA_BUFFER* output = new DATA_BUFFER(n + n / 4, 128, nullptr);
  SOURCE text(in.text), markup(in.markup), link(in.link), lang(in.lang), number(in.number);
  SOURCE* src = &markup;
  tagTop = markTop = 0;
  const auto fail = [&] {
    delete output;
    return nullptr;
  };
  // Copies the rest of a tag, mapped, up to and including its '>'; returns
  // whether the byte before the '>' was '/'.
  const auto copyTag = [&] {
    int previous = '<';
    for (int b; (b = src->get()) >= 0;) {
      const uint8_t c = byteMap[b];
      output->putByte(c);
      if (c == '>') return previous == '/';
      previous = c;
    }
    return false;
  };
  const auto switchSource = [&](const uint8_t* name, bool closing) {
    for (const uint8_t* element : elementNames) {
      if (!NameIs(name, reinterpret_cast<const char*>(element))) continue;
      if (closing) {
        src = &markup;
      } else {
        src = &text;
        markTop = 0;
      }
      return;
    }
  };

  for (;;) {
    const bool inText = src == &text;
    const int previousByte = src->p > (inText ? in.text->data() : in.markup->data()) ? src->p[-1] : -1;
    const int b = src->get();
    if (b < 0) break;
    const uint8_t c = byteMap[b];
    if (c == '<') {
      output->putByte('<');
      const uint8_t* name = src->p;
      if (src->peek() == '/') {
        name = src->p + 1;
        popThrough(name);
        copyTag();
        switchSource(name, true);
      } else {
        if (!copyTag()) pushElement(name);
        switchSource(name, false);
        if (numberTag() >= 0) {
          for (int d; (d = number.get()) > kLastNumberTag;) output->putByte(d - kNumberOffset);
        }
      }
      continue;
    }
    if (c == 0) {
      const uint8_t* name = topElement();
      if (!name) return fail();
      popElement();
      output->putByte('<');
      output->putByte('/');
      for (size_t i = 0, length = NameLength(name); i < length; ++i) output->putByte(name[i]);
      output->putByte('>');
      switchSource(name, true);
      continue;
    }
    if (!inText) {
      output->putByte(c);
      continue;
    }
    if (previousByte == '&') {
      int entity = 0;
      while (entity < 4 && kEntityCodes[entity] != c) ++entity;
      if (entity == 4) return fail();
      for (const char* p = kEntities[entity]; *p; ++p) output->putByte(*p);
      continue;
    }
    switch (c) {
      case kLinkMark: {
        link.skip(kLinkSeparator);
        for (const char* p = "http://"; *p; ++p) output->putByte(*p);
        do {
          const int d = link.get();
          if (d < 0) break;
          output->putByte(byteMap[d]);
        } while (link.peek() > 0);
        continue;
      }
      case kLangMark: {
        output->putByte('[');
        output->putByte('[');
        lang.skip(kLangSeparator);
        while (lang.peek() > 0) output->putByte(lang.get());
        output->putByte(']');
        output->putByte(']');
        continue;
      }
      case kCloseMark: {
        if (markTop == 0) return fail();
        const CONSTRUCT construct = markStack[--markTop];
        for (int i = 0; i <= construct.count; ++i) output->putByte(construct.closer);
        continue;
      }
      case kApostrophePair: {
        int pairs = 1;
        while (src->peek() == kApostrophePair) {
          src->get();
          ++pairs;
        }
        const bool odd = src->peek() == '\'';
        if (odd) src->get();
        const int written = 2 * pairs + odd;
        for (int i = 0; i < written; ++i) output->putByte('\'');
        pushConstruct('\'', written - 1);
        continue;
      }
      case '(':
      case '[':
      case '{': {
        output->putByte(c);
        const bool doubled = c != '(' && src->peek() >= 0 && byteMap[src->peek()] == c;
        if (doubled) output->putByte(byteMap[src->get()]);
        pushConstruct(c == '(' ? ')' : c == '[' ? ']' : '}', doubled);
        continue;
      }
      case '=': {
        if (src->peek() != '=') break;
        int run = 1;
        while (run < 6 && src->peek() == '=') {
          src->get();
          ++run;
        }
        for (int i = 0; i < run; ++i) output->putByte('=');
        pushConstruct('=', run - 1);
        continue;
      }
      default:
        break;
    }
    output->putByte(c);
  }
  return output;
}

}  // namespace zubreca
