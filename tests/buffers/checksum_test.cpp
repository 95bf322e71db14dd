// The entry checksum: published CRC-32C check values, agreement with a
// bit-by-bit reference on every length and alignment, and chaining.
#include "buffers/checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/driver/hand_made_archive.h"

namespace zubreca {
namespace {

using testkit::Crc32cReference;
using testkit::Pseudorandom;

uint32_t Crc(const std::string& bytes, uint32_t previous = 0) { return Crc32c(bytes.data(), bytes.size(), previous); }

// The check value of the CRC catalogues and the iSCSI test patterns.
TEST(Crc32c, PublishedValues) {
  EXPECT_EQ(Crc(""), 0u);
  EXPECT_EQ(Crc("123456789"), 0xE3069283u);
  EXPECT_EQ(Crc(std::string(32, '\0')), 0x8A9136AAu);
  EXPECT_EQ(Crc(std::string(32, '\xFF')), 0x62A8AB43u);
  std::string ascending;
  for (int i = 0; i < 32; ++i) ascending.push_back(static_cast<char>(i));
  EXPECT_EQ(Crc(ascending), 0x46DD794Eu);
}

TEST(Crc32c, AgreesWithTheBitwiseReferenceAtEveryLengthAndAlignment) {
  const std::string bytes = Pseudorandom(300, 17);
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length = 0; start + length <= bytes.size(); ++length) {
      const std::string piece = bytes.substr(start, length);
      ASSERT_EQ(Crc32c(bytes.data() + start, length), Crc32cReference(piece)) << start << "+" << length;
    }
  }
}

TEST(Crc32c, CallsChain) {
  const std::string bytes = Pseudorandom(5000, 23);
  for (size_t split : {0, 1, 7, 8, 9, 2500, 4999, 5000}) {
    EXPECT_EQ(Crc(bytes.substr(split), Crc(bytes.substr(0, split))), Crc(bytes)) << split;
  }
}

TEST(Crc32c, EveryChangedBitChangesIt) {
  const std::string bytes = Pseudorandom(64, 29);
  const uint32_t whole = Crc(bytes);
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    std::string changed = bytes;
    changed[bit / 8] = static_cast<char>(changed[bit / 8] ^ (1 << (bit % 8)));
    ASSERT_NE(Crc(changed), whole) << "bit " << bit;
  }
}

}  // namespace
}  // namespace zubreca
