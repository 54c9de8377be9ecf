#include "wire/crc32.h"

namespace korvel {

namespace {

constexpr std::array<uint32_t, 256> make_crctab() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int i = 0; i < 8; ++i) {
      c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    t[n] = c;
  }
  return t;
}

}  // namespace

const std::array<uint32_t, 256> crctab = make_crctab();

uint32_t crc32(const uint8_t* k, uint32_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < len; ++i) {
    crc = (crc >> 8) ^ crctab[(k[i] ^ crc) & 0xFFu];
  }
  return ~crc;
}

}  // namespace korvel
