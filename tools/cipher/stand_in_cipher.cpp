#include "stand_in_cipher.h"

#include "wire/endian.h"

namespace korvel::cipher {

namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr int kCycles = 32;

int hex_digit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Key> parse_key(std::string_view hex) {
  if (hex.size() != 32)
    return std::nullopt;
  uint8_t raw[16];
  for (int i = 0; i < 16; ++i) {
    const int hi = hex_digit(hex[2 * i]);
    const int lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0)
      return std::nullopt;
    raw[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  Key k{};
  for (int i = 0; i < 4; ++i)
    k[i] = load_le32(raw + 4 * i);
  return k;
}

const Key kDefaultKey = *parse_key(kDefaultKeyHex);

void encipher_block(const Key& key, uint8_t block[8]) {
  uint32_t v0 = load_le32(block), v1 = load_le32(block + 4), sum = 0;
  for (int i = 0; i < kCycles; ++i) {
    v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + key[sum & 3]);
    sum += kDelta;
    v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + key[(sum >> 11) & 3]);
  }
  store_le32(block, v0);
  store_le32(block + 4, v1);
}

void decipher_block(const Key& key, uint8_t block[8]) {
  uint32_t v0 = load_le32(block), v1 = load_le32(block + 4);
  uint32_t sum = kDelta * static_cast<uint32_t>(kCycles);
  for (int i = 0; i < kCycles; ++i) {
    v1 -= (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + key[(sum >> 11) & 3]);
    sum -= kDelta;
    v0 -= (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + key[sum & 3]);
  }
  store_le32(block, v0);
  store_le32(block + 4, v1);
}

void encipher(const Key& key, uint8_t* data, size_t n) {
  for (size_t i = 0; i + 8 <= n; i += 8)
    encipher_block(key, data + i);
}

}  // namespace korvel::cipher
