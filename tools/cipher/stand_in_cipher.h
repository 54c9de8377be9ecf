#pragma once
// A stand-in for the device's cipher, shared by the container tool and the emulator so
// that tests and demonstrations have an enciphered payload. It is XTEA (32 cycles) over
// independent 8-byte blocks, words little-endian. It is NOT the real device's cipher.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel::cipher {

using Key = std::array<uint32_t, 4>;

// The key both tools use when none is given: 00112233445566778899aabbccddeeff.
extern const Key kDefaultKey;
inline constexpr std::string_view kDefaultKeyHex = "00112233445566778899aabbccddeeff";

// Parses 32 hexadecimal digits (the first digit pair is key byte 0); nothing else is a key.
std::optional<Key> parse_key(std::string_view hex);

void encipher_block(const Key& key, uint8_t block[8]);
void decipher_block(const Key& key, uint8_t block[8]);

// Whole 8-byte blocks in place; a tail shorter than a block is left as it is.
void encipher(const Key& key, uint8_t* data, size_t n);

}  // namespace korvel::cipher
