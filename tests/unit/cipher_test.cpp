#include <gtest/gtest.h>

#include <cstring>

#include "stand_in_cipher.h"

namespace korvel::cipher {
namespace {

TEST(StandInCipher, PublishedXteaVector) {
  // Published XTEA vector with big-endian words; our words are little-endian, so the
  // bytes of each word are laid out reversed here.
  const Key key{0x00010203u, 0x04050607u, 0x08090A0Bu, 0x0C0D0E0Fu};
  uint8_t block[8] = {0x44, 0x43, 0x42, 0x41, 0x48, 0x47, 0x46, 0x45};
  encipher_block(key, block);
  const uint8_t want[8] = {0xD0, 0xF3, 0x7D, 0x49, 0xB5, 0x2C, 0x61, 0x72};
  EXPECT_EQ(0, std::memcmp(block, want, 8));
  decipher_block(key, block);
  const uint8_t plain[8] = {0x44, 0x43, 0x42, 0x41, 0x48, 0x47, 0x46, 0x45};
  EXPECT_EQ(0, std::memcmp(block, plain, 8));
}

TEST(StandInCipher, KeyParsing) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"00112233445566778899aabbccddeeff", true},  {"00112233445566778899AABBCCDDEEFF", true},
      {"00112233445566778899aabbccddeef", false},  {"00112233445566778899aabbccddeeff0", false},
      {"0011223344556677889gaabbccddeeff", false}, {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_key(c.text).has_value(), c.ok);
  }
  EXPECT_EQ(kDefaultKey[0], 0x33221100u);
  EXPECT_EQ(kDefaultKey[3], 0xFFEEDDCCu);
}

TEST(StandInCipher, TailShorterThanABlockIsUntouched) {
  uint8_t data[13];
  for (int i = 0; i < 13; ++i)
    data[i] = static_cast<uint8_t>(i);
  encipher(kDefaultKey, data, sizeof data);
  for (int i = 8; i < 13; ++i)
    EXPECT_EQ(data[i], i);
  EXPECT_NE(data[0], 0);
  decipher(kDefaultKey, data, sizeof data);
  for (int i = 0; i < 13; ++i)
    EXPECT_EQ(data[i], i);
}

}  // namespace
}  // namespace korvel::cipher
