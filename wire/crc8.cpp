#include "wire/crc8.h"

namespace korvel {

uint8_t dallas_crc8(const uint8_t* data, int32_t size) {
  uint8_t crc = 0;
  for (int32_t i = 0; i < size; ++i) {
    uint8_t inbyte = data[i];
    for (int j = 0; j < 8; ++j) {
      const uint8_t mix = (crc ^ inbyte) & 1u;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) {
        crc ^= 0x8Cu;
      }
      inbyte = static_cast<uint8_t>(inbyte >> 1);
    }
  }
  return crc;
}

}  // namespace korvel
