#pragma once
#include <cstdint>

namespace korvel {

// 1-Wire CRC-8 (x^8 + x^5 + x^4 + 1, LSB first, init 0); a size of 0 or less gives 0.
uint8_t dallas_crc8(const uint8_t* data, int32_t size);

}  // namespace korvel
