#pragma once
// Frames built and read by hand, independently of the emulator's own code.
#include <array>
#include <cstdint>
#include <vector>

#include "lib/crc8.h"

namespace zemlot::test {

using Frame = std::array<uint8_t, 16>;
using Data = std::array<uint8_t, 8>;
using Bytes = std::vector<uint8_t>;

inline Frame command(uint8_t code, uint32_t arg = 0, const Data& data = {}, uint8_t addr = 1) {
  Frame f{addr, code, 0};
  for (int i = 0; i < 4; ++i)
    f[3 + i] = static_cast<uint8_t>(arg >> (8 * i));
  for (int i = 0; i < 8; ++i)
    f[7 + i] = data[i];
  f[15] = korvel::dallas_crc8(f.data(), 15);
  return f;
}

inline Frame get_crc(uint32_t address, uint32_t size) {
  return command(
      0x05, address,
      {0, 0, 0, 0, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24)});
}

inline Bytes reply(uint8_t addr, uint8_t code, uint32_t value) {
  Bytes r{addr,          code, uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
          uint8_t(value)};
  r.push_back(korvel::dallas_crc8(r.data(), 6));
  return r;
}

}  // namespace zemlot::test
