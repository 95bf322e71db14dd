#include "tests/tricks/trick_streams.h"

#include <cstdio>

#include "driver/run_settings.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/model/coding_test_support.h"

namespace zubreca::testkit {

namespace {

std::string Contents(const DATA_BUFFER* buffer) {
  return std::string(reinterpret_cast<const char*>(buffer->data()), static_cast<size_t>(buffer->length));
}

}  // namespace

TRICK_OUTPUT RunTrickEncoder(const char* (*encoder)(const char*, DATA_BUFFER*&), int trick,
                             const std::string& input, const char* argument) {
  headerBuffer = new DATA_BUFFER(1024, 2, nullptr);
  headerBuffer->putByte(trick);
  DATA_BUFFER* chain = new DATA_BUFFER(static_cast<int>(input.size()), 128, nullptr);
  chain->writeBlock(input.data(), static_cast<int>(input.size()));
  chain->flip();
  encoder(argument, chain);
  TRICK_OUTPUT output;
  output.header = std::string(reinterpret_cast<const char*>(headerBuffer->data()),
                              static_cast<size_t>(headerBuffer->length - headerBuffer->avail));
  for (const DATA_BUFFER* b = chain; b; b = b->next) {
    output.streams.push_back(Contents(b));
    output.maxOrders.push_back(b->maxOrder);
    output.alphabets.push_back(b->alphabet);
  }
  delete chain;
  delete headerBuffer;
  headerBuffer = nullptr;
  return output;
}

TRICK_INPUT_READ RunTrickDecoder(DATA_BUFFER* (*decoder)(ENTRY_READER&), const std::string& header,
                                 const std::vector<std::string>& streams, uint32_t fileLength) {
  std::string archive;
  for (const std::string& stream : streams) archive += Stored(stream);
  FILE* file = fmemopen(archive.data(), archive.size(), "rb");
  headerBuffer = new DATA_BUFFER(1024, 2, nullptr);
  headerBuffer->writeBlock(header.data(), static_cast<int>(header.size()));
  headerBuffer->flip();
  ENTRY_READER entry{file, fileLength};
  DATA_BUFFER* restored;
  {
    QUIET_STDOUT quiet;
    restored = decoder(entry);
  }
  TRICK_INPUT_READ read;
  read.allRead = ftell(file) == static_cast<long>(archive.size());
  read.sound = entry.sound;
  fclose(file);
  delete headerBuffer;
  headerBuffer = nullptr;
  read.refused = restored == nullptr;
  if (restored) read.bytes = Contents(restored);
  delete restored;
  return read;
}

}  // namespace zubreca::testkit
