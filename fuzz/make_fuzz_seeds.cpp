// Writes the seeds of the whole-entry fuzz targets from small pieces of the
// shared corpus, each in its own folder of SEEDS_DIR:
//
//   archive/      archives of every trick, coded, and some without the
//                 checksum (decode_archive_fuzzer);
//   round_trip/   pieces of every data class with the tricks that suit
//                 them (round_trip_fuzzer);
//   model/        model library files built from the primed text
//                 (load_model_fuzzer);
//   dictionary/   dictionaries built from pieces of the wiki sample
//                 (load_dictionary_fuzzer);
//   buffer/       single coded buffers of pieces of every data class
//                 (decode_buffer_fuzzer).
//
//   make_fuzz_seeds SEEDS_DIR

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "buffers/file_loading.h"
#include "driver/archive_entry.h"
#include "driver/run_settings.h"
#include "fuzz/model_fuzz_input.h"
#include "fuzz/round_trip_input.h"
#include "fuzz/seed_file.h"
#include "model/coded_buffer.h"
#include "model/model_memory.h"
#include "tricks/trick.h"
#include "tricks/wiki/dictionary_builder.h"

using namespace zubreca;

namespace {

std::string CorpusPiece(const char* name, size_t from, size_t length) {
  const std::string path = std::string(ZUBRECA_SOURCE_DIR) + "/../shared/corpus/" + name;
  FILE* file = OpenFile(path.c_str(), "rb", true);
  DATA_BUFFER whole(file, 128);
  CloseFile(file);
  const std::string bytes(reinterpret_cast<const char*>(whole.data()), static_cast<size_t>(whole.length));
  return bytes.substr(std::min(from, bytes.size()), length);
}

std::string WikiPiece(size_t after, size_t length) {
  const std::string dump = CorpusPiece("wiki/enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml",
                                       after, 300000);
  return dump.substr(dump.find("<page>"), length);
}

DATA_BUFFER* BufferOf(const std::string& bytes) {
  DATA_BUFFER* buffer = new DATA_BUFFER(static_cast<int>(bytes.size()) + 1, 128, nullptr);
  buffer->writeBlock(bytes.data(), static_cast<int>(bytes.size()));
  buffer->flip();
  return buffer;
}

ENTRY_HEADER HeaderFor(const std::string& file, const char* name) {
  return MakeEntryHeader(static_cast<uint32_t>(file.size()), 0100644, 1600000000, modelOrder, 4,
                         static_cast<int>(strlen(name)));
}

// An entry as an older encoder wrote it: the header buffer ends after the
// trick's parameters, with no checksum.
void WriteEntryWithoutChecksum(FILE* archive, const std::string& file, const char* name, const char* trick) {
  const ENTRY_HEADER header = HeaderFor(file, name);
  const uint32_t magic = ENTRY_MAGIC;
  fwrite(&magic, sizeof magic, 1, archive);
  headerBuffer = new DATA_BUFFER(1024, 2, nullptr);
  headerBuffer->writeBlock(&header, sizeof header);
  headerBuffer->writeBlock(name, static_cast<int>(strlen(name)));
  DATA_BUFFER* data = BufferOf(file);
  EncodeTrick(trick, data);
  headerBuffer->flip();
  for (DATA_BUFFER* chain = AppendChain(data, headerBuffer); chain;) {
    EncodeBuffer(archive, chain);
    chain = PopBuffer(chain);
  }
  headerBuffer = nullptr;
}

struct ARCHIVE_FILE {
  std::string bytes;
  const char* name;
  const char* trick;
};

void WriteArchiveSeed(const std::string& path, const std::vector<ARCHIVE_FILE>& files, bool checksum) {
  FILE* archive = fopen(path.c_str(), "w+b");
  if (!archive) exit(1);
  for (const ARCHIVE_FILE& file : files) {
    if (checksum) {
      WriteEntry(archive, HeaderFor(file.bytes, file.name), file.name, file.trick, BufferOf(file.bytes));
    } else {
      WriteEntryWithoutChecksum(archive, file.bytes, file.name, file.trick);
    }
  }
  if (fclose(archive) != 0) exit(1);
}

// A model library record of the contexts of `text` up to `depth` bytes:
// the root lists every byte value, each context the bytes that follow it
// in the text, most frequent first, with their counts (at most 64); a
// byte whose extended context occurs followed by something has it as its
// child.
class RECORD_BUILDER {
 public:
  RECORD_BUILDER(const std::string& text, int depth) : depth_(depth) {
    for (size_t end = 0; end < text.size(); ++end) {
      for (int k = 0; k <= depth && static_cast<size_t>(k) <= end; ++k) {
        ++follows_[text.substr(end - static_cast<size_t>(k), static_cast<size_t>(k))][static_cast<uint8_t>(text[end])];
      }
    }
  }

  std::string record(int order, int number) const {
    std::string body;
    serialise("", body);
    const size_t n = body.size();
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(order), static_cast<char>(number)} +
           body;
  }

 private:
  void serialise(const std::string& context, std::string& out) const {
    std::map<uint8_t, int> counts = follows_.at(context);
    if (context.empty()) {
      for (int b = 0; b < 256; ++b) counts.emplace(static_cast<uint8_t>(b), 0);
    }
    std::vector<std::pair<int, uint8_t>> byCount;
    for (const auto& [symbol, count] : counts) byCount.emplace_back(-count, symbol);
    std::sort(byCount.begin(), byCount.end());
    std::vector<std::string> children;
    for (size_t i = 0; i < byCount.size(); ++i) {
      const uint8_t symbol = byCount[i].second;
      const std::string child = context + static_cast<char>(symbol);
      const bool hasChild = static_cast<int>(child.size()) <= depth_ && follows_.count(child);
      uint8_t b0 = static_cast<uint8_t>(std::clamp(-byCount[i].first, 1, 64) - 1);
      if (hasChild) b0 |= 0x40, children.push_back(child);
      if (i + 1 == byCount.size()) b0 |= 0x80;
      out += static_cast<char>(b0);
      out += static_cast<char>(symbol);
    }
    for (const std::string& child : children) serialise(child, out);
  }

  int depth_;
  std::map<std::string, std::map<uint8_t, int>> follows_;
};

std::string Directory(const std::string& root, const char* name) {
  const std::string path = root + "/" + name;
  mkdir(path.c_str(), 0755);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  char root_[4096];
  if (!realpath(argv[1], root_)) return 2;
  const std::string root = root_;
  // The wiki trick reads the shipped dictionary from the current directory.
  if (chdir(ZUBRECA_SOURCE_DIR "/dictionary") != 0 || !MODEL_MEMORY::reserve(4)) return 1;
  if (!freopen("/dev/null", "w", stdout)) return 1;

  const std::string text = CorpusPiece("canterbury/alice29.txt", 3000, 1200);
  const std::string wiki = WikiPiece(200000, 1500);
  const std::string code = CorpusPiece("x86/libc.so.6", 0x30000, 1536);
  const std::string audio = CorpusPiece("samples/front_stereo.wav", 44, 1600);
  const std::string image = CorpusPiece("samples/grace_hopper.ppm", 60000, 1500);
  const std::string records = CorpusPiece("records/include_paths.bin", 0, 1000);
  const std::string mixed = text.substr(0, 500) + code.substr(0, 600) + audio.substr(0, 600);

  const std::string archives = Directory(root, "archive");
  int written = 0;
  const auto archive = [&](const std::vector<ARCHIVE_FILE>& files, bool checksum) {
    WriteArchiveSeed(archives + "/seed-" + std::to_string(written++), files, checksum);
  };
  archive({{text, "alice.txt", "0"}}, true);
  archive({{text, "alice.txt", "0"}}, false);
  archive({{wiki, "dump.xml", "2"}}, true);
  archive({{wiki, "dump.xml", "2(9)"}}, false);
  archive({{code, "libc.so", "3"}}, true);
  archive({{audio, "stereo.wav", "4"}}, true);
  archive({{audio, "stereo.wav", "4"}}, false);
  archive({{image, "hopper.ppm", "4(1)"}}, true);
  archive({{records, "paths.bin", "5"}}, true);
  archive({{records, "paths.bin", "5"}}, false);
  archive({{mixed, "mixed.bin", "1"}}, true);
  archive({{mixed, "mixed.bin", "1,(0)=0"}}, false);
  archive({{text.substr(0, 300), "a.txt", "0"}, {records.substr(0, 300), "b.bin", "5"}, {"", "empty", "0"}}, true);

  const std::string roundTrips = Directory(root, "round_trip");
  written = 0;
  const auto roundTrip = [&](const std::string& file, std::initializer_list<int> tricks) {
    for (const int trick : tricks) {
      if (!fuzzing::WriteSeedFile(roundTrips, written, fuzzing::WriteRoundTripInput(trick, 16, file))) exit(1);
    }
  };
  // Indices into fuzzing::kTricks.
  roundTrip(text.substr(0, 600), {0, 1});
  roundTrip(wiki.substr(0, 1000), {7, 9, 10, 11});
  roundTrip(code.substr(0, 1024), {12});
  roundTrip(audio.substr(0, 1000), {13});
  roundTrip(image.substr(0, 900), {14});
  roundTrip(records.substr(0, 600), {15});
  roundTrip(mixed, {2, 4, 6});

  const std::string models = Directory(root, "model");
  written = 0;
  const auto model = [&](bool library, int number, int order, const std::string& file) {
    if (!fuzzing::WriteSeedFile(models, written, fuzzing::WriteModelInput(number, library, order, file))) exit(1);
  };
  const std::string primed = fuzzing::kPrimedText;
  model(false, 1, 16, RECORD_BUILDER(primed, 1).record(2, 1));
  model(false, 7, 4, RECORD_BUILDER(primed, 3).record(4, 7));
  model(true, 5, 16, RECORD_BUILDER(primed, 1).record(2, 3) + RECORD_BUILDER(primed, 2).record(3, 5));
  model(true, 2, 2, RECORD_BUILDER(primed, 2).record(6, 2) + RECORD_BUILDER(primed, 1).record(2, 2));

  const std::string dictionaries = Directory(root, "dictionary");
  written = 0;
  for (const size_t length : {1500, 5000}) {
    DICTIONARY_BUILDER builder;
    const DATA_BUFFER* piece = BufferOf(WikiPiece(0, length));
    builder.addInput(piece->data(), piece->length);
    delete piece;
    const std::string file = builder.build(DICTIONARY_LIMITS{});
    for (const char section : {0, 1, 2}) {
      if (!fuzzing::WriteSeedFile(dictionaries, written, section + file)) exit(1);
    }
  }
  const std::string buffers = Directory(root, "buffer");
  written = 0;
  for (const std::string& piece : {text, code, audio, records, std::string(600, 'z')}) {
    FILE* file = fopen((buffers + "/seed-" + std::to_string(written++)).c_str(), "w+b");
    if (!file) return 1;
    DATA_BUFFER* buffer = BufferOf(piece.substr(0, 800));
    EncodeBuffer(file, buffer);
    delete buffer;
    if (fclose(file) != 0) return 1;
  }

  fprintf(stderr, "seeds written to %s\n", root.c_str());
  return 0;
}
