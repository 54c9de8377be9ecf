#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/crc32.h"
#include "lib/crc8.h"

namespace korvel {
namespace {

std::vector<uint8_t> bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

struct CrcCase {
  const char* name;
  std::vector<uint8_t> data;
  uint32_t crc32;
  uint8_t crc8;
};

TEST(Checksums, CatalogueCheckValues) {
  const CrcCase cases[] = {
      {"digits", bytes("123456789"), 0xCBF43926u, 0xA1},
      {"empty", {}, 0x00000000u, 0x00},
      {"seven zeros", std::vector<uint8_t>(7, 0), 0x9D6CDF7Eu, 0x00},
      {"one 0xFF", {0xFF}, 0xFF000000u, 0x35},
      {"fox", bytes("The quick brown fox jumps over the lazy dog"), 0x414FA339u, 0x16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(crc32(c.data.data(), static_cast<uint32_t>(c.data.size())), c.crc32);
    EXPECT_EQ(dallas_crc8(c.data.data(), static_cast<int32_t>(c.data.size())), c.crc8);
  }
}

TEST(Checksums, Crc8OfNonPositiveSizeIsZero) {
  const uint8_t d[] = {1, 2, 3};
  EXPECT_EQ(dallas_crc8(d, 0), 0);
  EXPECT_EQ(dallas_crc8(d, -5), 0);
}

}  // namespace
}  // namespace korvel
