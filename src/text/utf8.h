#pragma once
// Text one character at a time, for the console's encoders, and the program's texts as the
// Windows calls take them.
#include <cstddef>
#include <string>
#include <string_view>

namespace korvel {

// Decodes one UTF-8 sequence at text[i]; returns the code point and advances i. A broken
// sequence yields U+FFFD for its first byte.
char32_t next_code_point(std::string_view text, size_t& i);

// Windows hands the program UTF-16, and the program keeps its names as UTF-8 beside its own
// texts. A Windows name may hold a surrogate without its partner, which UTF-8 has no form
// for: it is written as if it were a character (the form called WTF-8), so that every name
// the file system holds comes back unchanged and still prints as one unknown character.
std::string from_utf16(std::u16string_view text);
// The reverse; a broken UTF-8 sequence becomes U+FFFD.
std::u16string to_utf16(std::string_view text);

}  // namespace korvel
