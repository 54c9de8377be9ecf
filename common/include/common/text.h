#pragma once
// Small texts the programs share: what a support engineer reads side by side (hex bytes, trace
// stamps) and what a user types (numbers).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::common {

// "01 03 00": lower-case hex bytes, one space apart.
std::string hex_bytes(const uint8_t* data, size_t n);

// The stamp a trace line starts with: milliseconds since the trace began, to a tenth, right
// aligned ("   135.6 ms  "), the same in the loader's and the emulator's traces.
std::string trace_stamp(uint64_t us);

// A count or a number: decimal, or hexadecimal after 0x (0X too), nothing else around it: no
// sign, no space. A leading 0 is no octal marker, since the loader reads its network number
// with atoi and 010 must mean ten to both. Nothing when it is no such number or above max.
std::optional<uint64_t> parse_number(std::string_view text, uint64_t max);

// Digits in the given base and nothing else.
std::optional<uint64_t> parse_digits(std::string_view text, uint64_t max, int base);

}  // namespace korvel::common
