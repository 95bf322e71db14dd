#include "tricks/wiki/wiki_trick.h"

#include <algorithm>
#include <cstring>

#include "buffers/data_buffer.h"
#include "driver/run_settings.h"
#include "model/coded_buffer.h"
#include "tricks/wiki/text_transforms.h"
#include "tricks/wiki/word_dictionary.h"
#include "tricks/wiki/xml_convertor.h"

namespace zubreca {

namespace {

constexpr int kFirstStreamCapacity = 8388608;
// No stream of a sound entry holds more than this many bytes per byte of
// the file (the link stream, with its separators, case flags and unlisted
// word marks, comes closest); a damaged stream is stopped there.
constexpr uint64_t kStreamExpansion = 16;

uint32_t StreamLimit(uint32_t fileLength) {
  return static_cast<uint32_t>(std::min<uint64_t>(kStreamExpansion * fileLength + 64, kDecodeLimit + 1));
}

void DeleteStreams(WIKI_STREAMS& streams) {
  for (DATA_BUFFER* stream : {streams.text, streams.markup, streams.link, streams.lang, streams.number}) {
    delete stream;
  }
  streams = WIKI_STREAMS{};
}

// Splits the head of the chain into its five streams, which take its place,
// each ready for coding. False (and the chain unchanged) when merging the
// streams would not give the head back.
bool SplitHead(DATA_BUFFER*& chain) {
  DATA_BUFFER* input = chain;
  WIKI_STREAMS streams = XML_CONVERTOR().split(input->data(), input->length);
  for (DATA_BUFFER* stream : {streams.text, streams.markup, streams.link, streams.lang, streams.number}) {
    stream->flip();
  }
  DATA_BUFFER* merged = XML_CONVERTOR().merge(streams);
  bool exact = false;
  if (merged) {
    merged->flip();
    exact = merged->length == input->length && memcmp(merged->data(), input->data(), input->length) == 0;
    delete merged;
  }
  if (!exact) {
    DeleteStreams(streams);
    return false;
  }

  WORD_DICTIONARY words;
  LoadDictionary(kLinkWords, words);
  streams.link = EncodeWords(words, FoldCase(streams.link));
  streams.link->maxOrder = 15;
  streams.link->alphabet = TEXT_ALPHABET::kWordCodes;
  LoadDictionary(kLanguageWords, words);
  streams.lang = EncodeWords(words, streams.lang);
  streams.lang->maxOrder = 128;

  streams.text->next = streams.markup;
  streams.markup->next = streams.link;
  streams.link->next = streams.lang;
  streams.lang->next = streams.number;
  streams.number->next = input->next;
  input->next = nullptr;
  delete input;
  chain = streams.text;
  return true;
}

// Decodes one stream of the entry into a new buffer.
DATA_BUFFER* DecodeStream(ENTRY_READER& entry, int capacity, int maxOrder,
                          TEXT_ALPHABET alphabet = TEXT_ALPHABET::kPlain) {
  DATA_BUFFER* stream = new DATA_BUFFER(capacity, maxOrder, nullptr);
  stream->alphabet = alphabet;
  entry.decode(stream, StreamLimit(entry.fileLength));
  return stream;
}

// Word codes undone with dictionary section `section`; null (and `stream`
// deleted) when they name words the dictionary does not have.
DATA_BUFFER* DecodeWordsOf(int section, DATA_BUFFER* stream) {
  WORD_DICTIONARY words;
  LoadDictionary(section, words);
  DATA_BUFFER* decoded = DecodeWords(words, stream);
  if (!decoded) delete stream;
  return decoded;
}

// Decodes the four side streams and merges them with `text`; null when the
// streams do not merge.
DATA_BUFFER* DecodeAndMerge(ENTRY_READER& entry, DATA_BUFFER* text) {
  const int n = text->length;
  WIKI_STREAMS streams;
  streams.text = text;
  streams.markup = DecodeStream(entry, n / 32, 64);
  streams.link = DecodeStream(entry, n / 32, 15, TEXT_ALPHABET::kWordCodes);
  streams.lang = DecodeStream(entry, n / 32, 128);
  streams.number = DecodeStream(entry, n / 64, 5);
  streams.link = DecodeWordsOf(kLinkWords, streams.link);
  if (streams.link) streams.link = UnfoldCase(streams.link);
  streams.lang = DecodeWordsOf(kLanguageWords, streams.lang);
  DATA_BUFFER* merged = streams.link && streams.lang ? XML_CONVERTOR().merge(streams) : nullptr;
  if (merged) merged->flip();
  DeleteStreams(streams);
  return merged;
}

}  // namespace

const char* EncodeWiki(const char* position, DATA_BUFFER*& chain) {
  uint32_t options = ParseTrickParam(position, 0, 31, kDefaultWikiOptions);
  const int order = modelOrder;
  if ((options & kXmlSplit) && !SplitHead(chain)) options &= ~kXmlSplit;
  headerBuffer->putByte(static_cast<int>(options));
  if (options & kPunctuationSpace) chain = SpacePunctuation(chain);
  if (options & (kWordCodes | kCaseFold)) {
    chain = FoldCase(chain);
    if (options & kWordCodes) {
      WORD_DICTIONARY words;
      LoadDictionary(kTextWords, words);
      chain = EncodeWords(words, chain);
      chain->alphabet = TEXT_ALPHABET::kWordCodes;
    }
  }
  // The decoder meets the first stream before it knows the options, with
  // the entry's order in force: the first stream is coded at that order
  // whatever the options, and every other stream at its own.
  chain->maxOrder = order;
  modelOrder = 128;
  return position;
}

DATA_BUFFER* DecodeWiki(ENTRY_READER& entry) {
  int options = headerBuffer->getByte();
  if (options < 0) options = 255;
  DATA_BUFFER* text = DecodeStream(entry, kFirstStreamCapacity, 128,
                                   options & kWordCodes ? TEXT_ALPHABET::kWordCodes : TEXT_ALPHABET::kPlain);
  modelOrder = 128;
  if (options & (kWordCodes | kCaseFold)) {
    if (options & kWordCodes) {
      text = DecodeWordsOf(kTextWords, text);
      if (!text) return nullptr;
    }
    text = UnfoldCase(text);
  }
  if (options & kPunctuationSpace) text = UnspacePunctuation(text);
  if (options & kXmlSplit) return DecodeAndMerge(entry, text);
  return text;
}

}  // namespace zubreca
