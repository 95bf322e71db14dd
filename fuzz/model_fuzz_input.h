// The input format of load_model_fuzzer, shared with the program that
// writes its seeds: a name byte (bits 0..6: the model number, 1 + value %
// 127; bit 7: the file is "!Mdl-Lib.mdl" rather than "!Mdl-NNN.mdl"), an
// order byte (order 2 + byte % 127), then the model library file's bytes.
// The text the loaded model codes is fixed, so that seeds made from it
// prime contexts that the coder then walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zubreca::fuzzing {

inline constexpr char kPrimedText[] =
    "In the beginning God created the heaven and the earth. And the earth was without form, and void; "
    "and darkness was upon the face of the deep. And the Spirit of God moved upon the face of the waters. "
    "And God said, Let there be light: and there was light. And God saw the light, that it was good: "
    "and God divided the light from the darkness. And God called the light Day, and the darkness he "
    "called Night. And the evening and the morning were the first day.\n";

struct MODEL_FUZZ_INPUT {
  int number = 1;
  std::string fileName = "!Mdl-001.mdl";
  int order = 2;
  std::string file;
};

inline MODEL_FUZZ_INPUT ParseModelInput(const uint8_t* data, size_t size) {
  MODEL_FUZZ_INPUT input;
  const uint8_t nameByte = size >= 1 ? data[0] : 0;
  input.number = 1 + (nameByte & 0x7F) % 127;
  char name[16];
  snprintf(name, sizeof name, "!Mdl-%03d.mdl", input.number);
  input.fileName = nameByte & 0x80 ? "!Mdl-Lib.mdl" : name;
  if (size >= 2) input.order = 2 + data[1] % 127;
  if (size > 2) input.file.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
  return input;
}

inline std::string WriteModelInput(int number, bool library, int order, const std::string& file) {
  return std::string(1, static_cast<char>((number - 1) | (library ? 0x80 : 0))) + static_cast<char>(order - 2) +
         file;
}

}  // namespace zubreca::fuzzing
