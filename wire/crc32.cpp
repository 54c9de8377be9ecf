#include "wire/crc32.h"

#include <array>

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

constexpr std::array<uint32_t, 256> crctab = make_crctab();

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n) {
  uint32_t c = ~crc;
  for (size_t i = 0; i < n; ++i) {
    c = (c >> 8) ^ crctab[(data[i] ^ c) & 0xFFu];
  }
  return ~c;
}

uint32_t crc32(const uint8_t* k, uint32_t len) {
  return crc32_update(0, k, len);
}

}  // namespace korvel
