#pragma once
#include <array>
#include <cstdint>

namespace korvel {

// Reflected CRC-32 of the polynomial 0x04C11DB7 (the zlib one).
extern const std::array<uint32_t, 256> crctab;

uint32_t crc32(const uint8_t* k, uint32_t len);

}  // namespace korvel
