// Archives made by hand for the tests, byte by byte from the format, and
// what the program prints about them.
//
// Hand-made archives use the stored form of a coded buffer (0xFF, a 32-bit
// little-endian length, the bytes), which every decoder accepts, so that
// exact header contents can be put in front of the program.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace zubreca::testkit {

inline const std::string kMagic("\xA4\x93\x90\xA0", 4);

// Bytes given by their values.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

inline std::string Le16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
inline std::string Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16)); }
inline std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// One buffer in the stored form.
inline std::string Stored(const std::string& bytes) {
  return "\xFF" + Le32(static_cast<uint32_t>(bytes.size())) + bytes;
}

// CRC-32C computed bit by bit, straight from the polynomial: a reference
// that shares nothing with the program's table-driven one.
inline uint32_t Crc32cReference(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1)));
  }
  return ~crc;
}

struct HEADER_FIELDS {
  uint32_t length = 0;
  uint32_t mode = 0100644;
  uint16_t orderMem = (4 << 5) | 14;  // 8 MB, order 16
  int nameField = -1;                  // -1: the name's length | 0x8C00
  uint32_t mtime = 1600000000;
  std::string name = "file.bin";
  std::string trick = std::string(1, '\0');
};

// The header buffer's bytes up to the trick and its parameters.
inline std::string HeaderBytes(const HEADER_FIELDS& h) {
  const uint16_t nameField =
      h.nameField >= 0 ? static_cast<uint16_t>(h.nameField) : static_cast<uint16_t>(h.name.size() | 0x8C00);
  return Le32(h.length) + Le32(h.mode) + Le16(h.orderMem) + Le16(nameField) + Le16(h.mtime & 0xFFFF) +
         Le16(h.mtime >> 16) + h.name + h.trick;
}

// The same with the entry's checksum of `data` at its end.
inline std::string CheckedHeaderBytes(const HEADER_FIELDS& h, const std::string& data) {
  const std::string header = HeaderBytes(h);
  return header + Be32(Crc32cReference(data + header));
}

// A whole trick-0 entry holding `data` under `name`, with its checksum.
inline std::string Entry(const std::string& name, const std::string& data, uint32_t mode = 0100644) {
  HEADER_FIELDS h;
  h.name = name;
  h.length = static_cast<uint32_t>(data.size());
  h.mode = mode;
  return kMagic + Stored(CheckedHeaderBytes(h, data)) + Stored(data);
}

// What decoding prints for an entry whose buffers are all stored.
inline std::string StoredEntryLine(const std::string& name) { return "|\b" + name + ": ||\n"; }

inline std::string Prompt(const std::string& path) {
  return path + " already exists, overwrite?: <Y>es, <N>o, <A>ll, <Q>uit?";
}

inline std::string Pseudorandom(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return bytes;
}

}  // namespace zubreca::testkit
