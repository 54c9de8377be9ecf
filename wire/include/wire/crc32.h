#pragma once
#include <cstddef>
#include <cstdint>

namespace korvel {

// Reflected CRC-32 of the polynomial 0x04C11DB7 (the zlib one).
uint32_t crc32(const uint8_t* k, uint32_t len);

// The CRC-32 of the bytes before (0 for none) run on over n more, so that data read in pieces
// gets the same CRC-32 as it would in one: crc32_update(crc32(a), b) is the CRC-32 of a then b.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n);

}  // namespace korvel
