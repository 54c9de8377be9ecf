#include "common/text.h"

#include <charconv>
#include <cstdio>

namespace korvel::common {

std::string hex_bytes(const uint8_t* data, size_t n) {
  std::string s;
  s.reserve(n * 3);
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i > 0 ? " %02x" : "%02x", data[i]);
    s += b;
  }
  return s;
}

std::string trace_stamp(uint64_t us) {
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%8llu.%01llu ms  ",
                static_cast<unsigned long long>(us / 1000),
                static_cast<unsigned long long>(us % 1000 / 100));
  return stamp;
}

std::optional<uint64_t> parse_digits(std::string_view text, uint64_t max, int base) {
  uint64_t v = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, v, base);
  if (text.empty() || ec != std::errc() || stop != end || v > max)
    return std::nullopt;
  return v;
}

std::optional<uint64_t> parse_number(std::string_view text, uint64_t max) {
  if (text.starts_with("0x") || text.starts_with("0X"))
    return parse_digits(text.substr(2), max, 16);
  return parse_digits(text, max, 10);
}

}  // namespace korvel::common
