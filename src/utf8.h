#pragma once
// Our texts one character at a time, for the console's encoders.
#include <cstddef>
#include <string_view>

namespace korvel {

// Decodes one UTF-8 sequence at text[i]; returns the code point and advances i. A broken
// sequence yields U+FFFD for its first byte.
char32_t next_code_point(std::string_view text, size_t& i);

}  // namespace korvel
