#pragma once
// Frames and bytes written by hand in the tests, their CRC-8 worked out apart from the code under
// test where a test says so.
#include <cstdint>
#include <string>
#include <vector>

#include "wire/crc8.h"
#include "wire/endian.h"

namespace korvel::testing {

using Bytes = std::vector<uint8_t>;

// "01 03 00": hex bytes, one space apart.
inline Bytes hex(const std::string& text) {
  Bytes b;
  for (size_t i = 0; i < text.size(); i += 3)
    b.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return b;
}

// A command frame to address 1 with its argument and no data.
inline Bytes command_frame(uint8_t code, uint32_t arg = 0) {
  Bytes f(16, 0);
  f[0] = 1;
  f[1] = code;
  store_le32(&f[3], arg);
  f[15] = dallas_crc8(f.data(), 15);
  return f;
}

}  // namespace korvel::testing
