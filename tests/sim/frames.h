#pragma once
// Frames built and read by hand, independently of the emulator's own code.
#include <array>
#include <cstdint>
#include <vector>

#include "lib/crc8.h"

namespace zemlot::test {

using Frame = std::array<uint8_t, 16>;
using Data = std::array<uint8_t, 8>;

inline Frame command(uint8_t code, uint32_t arg = 0, const Data& data = {}, uint8_t addr = 1) {
  Frame f{};
  f[0] = addr;
  f[1] = code;
  f[2] = 0;
  for (int i = 0; i < 4; ++i) {
    f[3 + i] = static_cast<uint8_t>(arg >> (8 * i));
  }
  for (int i = 0; i < 8; ++i) {
    f[7 + i] = data[i];
  }
  f[15] = korvel::dallas_crc8(f.data(), 15);
  return f;
}

inline Frame get_crc(uint32_t address, uint32_t size) {
  Data d{};
  for (int i = 0; i < 4; ++i) {
    d[4 + i] = static_cast<uint8_t>(size >> (8 * i));
  }
  return command(0x05, address, d);
}

struct Reply {
  uint8_t addr = 0;
  uint8_t code = 0;
  uint32_t value = 0;
  bool crc_ok = false;
};

inline Reply parse_reply(const std::vector<uint8_t>& r) {
  Reply out;
  if (r.size() != 7) {
    return out;
  }
  out.addr = r[0];
  out.code = r[1];
  out.value = uint32_t{r[2]} << 24 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 8 | r[5];
  out.crc_ok = korvel::dallas_crc8(r.data(), 6) == r[6];
  return out;
}

}  // namespace zemlot::test
