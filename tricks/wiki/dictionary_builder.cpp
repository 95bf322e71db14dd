#include "tricks/wiki/dictionary_builder.h"

#include <algorithm>
#include <vector>

#include "buffers/data_buffer.h"
#include "tricks/wiki/text_transforms.h"
#include "tricks/wiki/xml_convertor.h"

namespace zubreca {

namespace {

constexpr uint8_t kWordByte = 64;  // words are runs of bytes from here up

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

// A copy of `length` bytes in a buffer of its own, ready for reading.
DATA_BUFFER* CopyOf(const uint8_t* data, int32_t length) {
  DATA_BUFFER* buffer = new DATA_BUFFER(length, 128, nullptr);
  buffer->writeBlock(data, length);
  buffer->flip();
  return buffer;
}

}  // namespace

void DICTIONARY_BUILDER::countRuns(int section, const uint8_t* data, int32_t length) {
  const uint8_t* const end = data + length;
  for (const uint8_t* r = data; r < end;) {
    if (*r < kWordByte) {
      ++r;
      continue;
    }
    const uint8_t* run = r;
    while (r < end && *r >= kWordByte) ++r;
    ++counts[section][std::string(run, r)];
  }
}

void DICTIONARY_BUILDER::addInput(const uint8_t* data, int32_t length) {
  WIKI_STREAMS streams = XML_CONVERTOR().split(data, length);
  for (DATA_BUFFER* stream : {streams.text, streams.markup, streams.link, streams.lang, streams.number}) {
    stream->flip();
  }
  DATA_BUFFER* text = streams.text;
  if (text->length == 0) {  // no dump: running text whole
    delete text;
    text = CopyOf(data, length);
  }
  text = FoldCase(SpacePunctuation(text));
  countRuns(kTextWords, text->data(), text->length);
  DATA_BUFFER* link = FoldCase(streams.link);
  countRuns(kLinkWords, link->data(), link->length);
  countRuns(kLanguageWords, streams.lang->data(), streams.lang->length);
  for (DATA_BUFFER* stream : {text, streams.markup, link, streams.lang, streams.number}) delete stream;
}

std::string DICTIONARY_BUILDER::build(const DICTIONARY_LIMITS& limits) const {
  std::string file;
  for (int section = 0; section < kDictionarySections; ++section) {
    std::vector<std::pair<uint64_t, const std::string*>> ranked;
    for (const auto& [word, count] : counts[section]) {
      if (count >= limits.minCount) ranked.emplace_back(count, &word);
    }
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : *a.second < *b.second;
    });
    uint32_t words = static_cast<uint32_t>(std::min<size_t>(ranked.size(), limits.maxWords));
    while (!CodesFitFor(words)) --words;
    ranked.resize(words);
    // Past the one-byte codes, words that end alike get neighbouring codes,
    // so that the first byte of a longer code tells something of how its
    // word ends (-s, -ed, -ing, -tion): 0.3% smaller on a wiki dump than
    // keeping the order of frequency there too.
    const auto byEnding = [](const auto& a, const auto& b) {
      return std::lexicographical_compare(a.second->rbegin(), a.second->rend(), b.second->rbegin(),
                                          b.second->rend());
    };
    const auto twoByteStart = ranked.begin() + std::min<size_t>(ranked.size(), OneByteCodes(words));
    const auto fourByteStart = ranked.begin() + std::min<size_t>(ranked.size(), OneByteCodes(words) + 7600);
    std::sort(twoByteStart, fourByteStart, byEnding);
    std::sort(fourByteStart, ranked.end(), byEnding);
    std::string text;
    for (uint32_t i = 0; i < words; ++i) {
      text += *ranked[i].second;
      text.push_back('\0');
    }
    PutLe32(file, static_cast<uint32_t>(text.size()));
    PutLe32(file, words);
    file += text;
  }
  return file;
}

}  // namespace zubreca
