// A trick's encoder and decoder run in this process, without the coder:
// the encoder's header bytes and buffers are taken as they are, and the
// decoder reads the buffers back in the stored form of a coded buffer.
// The transforms and the order of the buffers are tested so at memory
// speed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "buffers/data_buffer.h"
#include "tricks/trick.h"

namespace zubreca::testkit {

struct TRICK_OUTPUT {
  std::string header;  // the trick number, then what the encoder appended
  std::vector<std::string> streams;
  std::vector<int> maxOrders;
  std::vector<TEXT_ALPHABET> alphabets;
};

// Runs `encoder` on `input` with the -t text `argument` after trick
// number `trick`, which goes to the header first.
TRICK_OUTPUT RunTrickEncoder(const char* (*encoder)(const char*, DATA_BUFFER*&), int trick,
                             const std::string& input, const char* argument);

struct TRICK_INPUT_READ {
  bool refused = false;  // the decoder returned null
  std::string bytes;     // what it restored
  bool sound = false;    // every buffer ended exactly
  bool allRead = false;  // every buffer was read
};

// Runs `decoder` with `header` (what follows the trick number) on the
// streams, each stored.
TRICK_INPUT_READ RunTrickDecoder(DATA_BUFFER* (*decoder)(ENTRY_READER&), const std::string& header,
                                 const std::vector<std::string>& streams, uint32_t fileLength);

}  // namespace zubreca::testkit
