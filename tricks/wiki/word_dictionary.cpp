#include "tricks/wiki/word_dictionary.h"

#include <sys/stat.h>

#include <cstring>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "driver/console.h"
#include "driver/run_settings.h"

namespace zubreca {

namespace {

constexpr int kCodeBase = 64;            // codes and listed words use the bytes from 64 up
constexpr int kRadix = 190;              // values of the second and third code bytes, 64..253
constexpr int kTwoByteWords = 40 * kRadix;   // 7600 words after the one-byte ones
constexpr int kFourByteBlock = kRadix * kRadix;  // 36100 words per first byte
constexpr int kFourByteTop = 253;        // first byte of the first four-byte block
constexpr uint8_t kCodeEnd = 254;        // ends a four-byte code and an unlisted run
constexpr uint8_t kUnlisted = 255;       // starts an unlisted run

// Reads a 32-bit little-endian value; false at the end of the file.
bool ReadLe32(FILE* file, uint32_t& value) {
  uint8_t bytes[4];
  if (fread(bytes, 1, 4, file) != 4) return false;
  value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return true;
}

DICTIONARY_STATUS ReadSection(FILE* file, int section, WORD_DICTIONARY& dictionary) {
  struct stat status;
  if (fstat(fileno(file), &status) != 0) return DICTIONARY_STATUS::kMalformed;
  uint64_t position = 0;
  uint32_t size = 0;
  uint32_t count = 0;
  for (int s = 0; s <= section; ++s) {
    if (s > 0) position += size;
    if (fseeko(file, static_cast<off_t>(position), SEEK_SET) != 0 || !ReadLe32(file, size) ||
        !ReadLe32(file, count)) {
      return DICTIONARY_STATUS::kMalformed;
    }
    position += 8;
    if (position + size > static_cast<uint64_t>(status.st_size)) return DICTIONARY_STATUS::kMalformed;
  }
  if (!CodesFitFor(count) || count > size) return DICTIONARY_STATUS::kMalformed;
  dictionary.wordText.resize(size);
  if (size && fread(dictionary.wordText.data(), 1, size, file) != size) return DICTIONARY_STATUS::kMalformed;
  if (size && dictionary.wordText.back() != 0) return DICTIONARY_STATUS::kMalformed;
  uint32_t ends = 0;
  for (const uint8_t b : dictionary.wordText) ends += b == 0;
  if (ends != count) return DICTIONARY_STATUS::kMalformed;

  dictionary.wordCount = static_cast<int32_t>(count);
  dictionary.oneByteCodes = OneByteCodes(count);
  dictionary.wordStart.assign(count, 0);
  dictionary.nextInBucket.assign(count, WORD_DICTIONARY::kNoEntry);
  dictionary.buckets.assign(WORD_DICTIONARY::kBuckets, WORD_DICTIONARY::kNoEntry);
  // From the last word back, so that every bucket lists its words in
  // increasing index order and a word listed twice is found first under
  // its lower index.
  uint32_t end = size;  // one past the 0 that ends the current word
  for (int32_t index = static_cast<int32_t>(count) - 1; index >= 0; --index) {
    uint32_t start = end - 1;
    while (start > 0 && dictionary.wordText[start - 1] != 0) --start;
    dictionary.wordStart[index] = start;
    const uint32_t bucket = WordBucket(dictionary.wordText.data() + start, end - 1 - start);
    dictionary.nextInBucket[index] = dictionary.buckets[bucket];
    dictionary.buckets[bucket] = index;
    end = start;
  }
  return DICTIONARY_STATUS::kLoaded;
}

// The index of the word `run` (of `length` bytes), or kNoEntry.
int32_t FindWord(const WORD_DICTIONARY& dictionary, const uint8_t* run, uint32_t length) {
  for (int32_t index = dictionary.buckets[WordBucket(run, length)]; index != WORD_DICTIONARY::kNoEntry;
       index = dictionary.nextInBucket[index]) {
    if (dictionary.wordLength(index) == length &&
        memcmp(dictionary.wordText.data() + dictionary.wordStart[index], run, length) == 0) {
      return index;
    }
  }
  return WORD_DICTIONARY::kNoEntry;
}

void PutCode(DATA_BUFFER* out, int32_t index, int32_t oneByteCodes) {
  if (index < oneByteCodes) {
    out->putByte(index + kCodeBase);
    return;
  }
  int32_t j = index - oneByteCodes;
  if (j < kTwoByteWords) {
    out->putByte(j / kRadix + oneByteCodes + kCodeBase);
    out->putByte(j % kRadix + kCodeBase);
    return;
  }
  j -= kTwoByteWords;
  const int32_t h = j % kFourByteBlock;
  out->putByte(kFourByteTop - j / kFourByteBlock);
  out->putByte(h / kRadix + kCodeBase);
  out->putByte(h % kRadix + kCodeBase);
  out->putByte(kCodeEnd);
}

}  // namespace

uint32_t WORD_DICTIONARY::wordLength(int32_t index) const {
  const uint32_t end = index + 1 < wordCount ? wordStart[index + 1] : static_cast<uint32_t>(wordText.size());
  return end - 1 - wordStart[index];
}

int32_t OneByteCodes(uint32_t count) {
  if (count < 192) return static_cast<int32_t>(count);
  return 150 - static_cast<int32_t>(count / kFourByteBlock);
}

bool CodesFitFor(uint32_t count) {
  const int64_t oneByte = OneByteCodes(count);
  if (oneByte < 0) return false;
  if (count <= oneByte + kTwoByteWords) return true;
  // The first byte of the last four-byte code must stay above the two-byte
  // codes' first bytes (at most K + 103).
  const int64_t blocks = (static_cast<int64_t>(count) - oneByte - kTwoByteWords - 1) / kFourByteBlock + 1;
  return blocks <= 150 - oneByte;
}

uint32_t WordBucket(const uint8_t* run, uint32_t length) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < length; ++i) v = 3 * v + (run[i] - 97u);
  return (1024 * length + v) & (WORD_DICTIONARY::kBuckets - 1);
}

DICTIONARY_STATUS LoadDictionaryFrom(const char* path, int section, WORD_DICTIONARY& dictionary) {
  FILE* file = OpenFile(path, "rb", false);
  if (!file) return DICTIONARY_STATUS::kMissing;
  const DICTIONARY_STATUS status = ReadSection(file, section, dictionary);
  CloseFile(file);
  return status;
}

void LoadDictionary(int section, WORD_DICTIONARY& dictionary) {
  DICTIONARY_STATUS status = LoadDictionaryFrom(kDictionaryName, section, dictionary);
#ifdef ZUBRECA_DICTIONARY_DIR
  if (status == DICTIONARY_STATUS::kMissing) {
    status = LoadDictionaryFrom(ZUBRECA_DICTIONARY_DIR "/EnWiki.fsd", section, dictionary);
  }
#endif
  if (status == DICTIONARY_STATUS::kMissing) ReportError("can`t open file %s", kDictionaryName);
  if (status == DICTIONARY_STATUS::kMalformed) ReportError("read/write for file %s", kDictionaryName);
}

DATA_BUFFER* EncodeWords(const WORD_DICTIONARY& dictionary, DATA_BUFFER* buffer) {
  const int n = buffer->length;
  DATA_BUFFER* out = new DATA_BUFFER(n, modelOrder, nullptr);
  const uint8_t* r = buffer->data();
  const uint8_t* const end = r + n;
  while (r < end) {
    if (*r < kCodeBase) {
      out->putByte(*r++);
      continue;
    }
    const uint8_t* run = r;
    while (r < end && *r >= kCodeBase) ++r;
    const uint32_t length = static_cast<uint32_t>(r - run);
    const int32_t index = FindWord(dictionary, run, length);
    if (index != WORD_DICTIONARY::kNoEntry) {
      PutCode(out, index, dictionary.oneByteCodes);
    } else {
      out->putByte(kUnlisted);
      for (const uint8_t* p = run; p < r; ++p) out->putByte(*p);
      out->putByte(kCodeEnd);
    }
  }
  return ReplaceBuffer(out, buffer);
}

DATA_BUFFER* DecodeWords(const WORD_DICTIONARY& dictionary, DATA_BUFFER* buffer) {
  const int n = buffer->length;
  DATA_BUFFER* out = new DATA_BUFFER(n + n / 2, 128, nullptr);
  const uint8_t* r = buffer->data();
  const uint8_t* const end = r + n;
  const int32_t oneByte = dictionary.oneByteCodes;
  while (r < end) {
    const uint8_t b = *r;
    if (b < kCodeBase) {
      out->putByte(b);
      ++r;
      continue;
    }
    if (b == kUnlisted) {
      // The run's last byte is the one before the end mark, which a byte
      // below 64 (or the end of the text: the guard bytes are 0) follows.
      for (++r; r < end; ++r) {
        out->putByte(*r);
        if (r[2] < kCodeBase) {
          r += 2;  // past the end mark
          break;
        }
      }
      continue;
    }
    const int32_t t = b - kCodeBase;
    int64_t index;
    if (t < oneByte) {
      index = t;
      r += 1;
    } else if (t - oneByte < kTwoByteWords / kRadix) {
      if (end - r < 2) break;
      index = oneByte + int64_t{kRadix} * (t - oneByte) + (r[1] - kCodeBase);
      r += 2;
    } else {
      if (end - r < 4) break;
      index = oneByte + kTwoByteWords + int64_t{kFourByteBlock} * (kFourByteTop - b) +
              kRadix * (r[1] - kCodeBase) + (r[2] - kCodeBase);
      r += 4;
    }
    // Damage, or another dictionary than the encoder's, can name a word
    // that is not there.
    if (index < 0 || index >= dictionary.wordCount) {
      delete out;
      return nullptr;
    }
    const uint8_t* word = dictionary.wordText.data() + dictionary.wordStart[index];
    for (uint32_t i = 0, length = dictionary.wordLength(static_cast<int32_t>(index)); i < length; ++i) {
      out->putByte(word[i]);
    }
  }
  if (r < end) {  // a code cut short by the end
    delete out;
    return nullptr;
  }
  return ReplaceBuffer(out, buffer);
}

}  // namespace zubreca
