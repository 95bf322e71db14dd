// CRC-32C (the Castagnoli polynomial, reflected 0x82F63B78), the integrity
// check of archive entries.
//
// The usual form: the register starts with every bit set and is inverted
// at the end, so that Crc32c("123456789") is 0xE3069283. Calls chain:
// Crc32c(b, m, Crc32c(a, n)) is the checksum of a followed by b.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zubreca {

uint32_t Crc32c(const void* data, size_t size, uint32_t previous = 0);

}  // namespace zubreca
