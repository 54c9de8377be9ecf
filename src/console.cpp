#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "utf8.h"

namespace korvel {

char32_t next_code_point(std::string_view text, size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  int len = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + len > text.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = cp << 6 | (b & 0x3F);
  }
  i += len;
  return cp;
}

namespace {

class Utf8Encoder final : public Encoder {
 public:
  Kind kind() const override { return Kind::Utf8; }
  size_t encode(std::string_view text, char* out, size_t cap) const override {
    if (cap > 0) {
      std::memcpy(out, text.data(), text.size() < cap ? text.size() : cap);
    }
    return text.size();
  }
};

// Windows-1251 has every Cyrillic letter our texts use; it needs no system support, so the
// Windows build and the tests share this one table.
unsigned char to_cp1251(char32_t cp) {
  if (cp < 0x80)
    return static_cast<unsigned char>(cp);
  if (cp >= 0x0410 && cp <= 0x044F)
    return static_cast<unsigned char>(0xC0 + (cp - 0x0410));
  if (cp == 0x0401)
    return 0xA8;  // Ё
  if (cp == 0x0451)
    return 0xB8;  // ё
  if (cp == 0x2116)
    return 0xB9;  // №
  return '?';
}

class Cp1251Encoder final : public Encoder {
 public:
  Kind kind() const override { return Kind::Cp1251; }
  size_t encode(std::string_view text, char* out, size_t cap) const override {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
      const unsigned char c = to_cp1251(next_code_point(text, i));
      if (n < cap)
        out[n] = static_cast<char>(c);
      ++n;
    }
    return n;
  }
};

}  // namespace

std::unique_ptr<Encoder> Encoder::utf8() {
  return std::make_unique<Utf8Encoder>();
}
std::unique_ptr<Encoder> Encoder::cp1251() {
  return std::make_unique<Cp1251Encoder>();
}

std::unique_ptr<Encoder> encoder_for_codeset(const char* codeset) {
  const std::string_view cs = codeset ? codeset : "";
  // nl_langinfo names the plain C locale's codeset ANSI_X3.4-1968: we still write UTF-8
  // there, as most terminals that run in that locale are UTF-8 ones.
  if (cs.empty() || cs == "UTF-8" || cs == "utf8" || cs == "UTF8" || cs == "ANSI_X3.4-1968" ||
      cs == "US-ASCII" || cs == "ASCII") {
    return Encoder::utf8();
  }
  if (cs == "CP1251" || cs == "WINDOWS-1251" || cs == "windows-1251") {
    return Encoder::cp1251();
  }
  if (auto enc = Encoder::iconv_to(codeset))
    return enc;
  return Encoder::utf8();
}

Console::Console(std::unique_ptr<Encoder> enc) : enc_(std::move(enc)) {}

void Console::text(Stream s, const char* utf8) {
  char buf[512];
  const std::string_view t(utf8);
  const size_t n = enc_->encode(t, buf, sizeof buf);
  if (n <= sizeof buf) {
    write_bytes(s, buf, n);
    return;
  }
  std::vector<char> big(n);
  enc_->encode(t, big.data(), big.size());
  write_bytes(s, big.data(), n);
}

void Console::line(Stream s, const char* utf8) {
  text(s, utf8);
  write_bytes(s, "\n", 1);
}

void Console::textf(Stream s, const char* fmt, ...) {
  // Convert the format first and format afterwards, so that %s arguments pass through as
  // they are. Every encoding we write keeps ASCII, so the conversions are untouched.
  char fmt_buf[512];
  const std::string_view f(fmt);
  std::vector<char> big_fmt;
  const char* efmt = fmt_buf;
  size_t fn = enc_->encode(f, fmt_buf, sizeof fmt_buf - 1);
  if (fn < sizeof fmt_buf) {
    fmt_buf[fn] = '\0';
  } else {
    big_fmt.resize(fn + 1);
    enc_->encode(f, big_fmt.data(), fn);
    big_fmt[fn] = '\0';
    efmt = big_fmt.data();
  }

  char out[512];
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int n = std::vsnprintf(out, sizeof out, efmt, ap);
  if (n >= 0 && static_cast<size_t>(n) < sizeof out) {
    write_bytes(s, out, static_cast<size_t>(n));
  } else if (n >= 0) {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), efmt, ap2);
    write_bytes(s, big.data(), static_cast<size_t>(n));
  }
#pragma GCC diagnostic pop
  va_end(ap2);
  va_end(ap);
}

Answer Console::read_answer() {
  // Only the first two characters matter; the rest of a long line is read and dropped so
  // that it cannot become the next answer.
  char head[2] = {0, 0};
  size_t len = 0;
  bool any = false;
  for (;;) {
    const int c = read_byte();
    if (c < 0) {
      if (!any)
        return Answer::End;
      break;
    }
    any = true;
    if (c == '\n')
      break;
    if (len < 2)
      head[len] = static_cast<char>(c);
    ++len;
  }
  if (len > 0 && len <= 2 && head[len - 1] == '\r')
    --len;
  if (len == 1 && head[0] == 'Y')
    return Answer::Yes;
  if (len == 1 && head[0] == 'N')
    return Answer::No;
  return Answer::Other;
}

}  // namespace korvel
