#include "text/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "text/utf8.h"

namespace korvel {

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

// Windows-1251 has every Cyrillic letter our texts use, and the names the system gives us may
// hold any of its other characters. It needs no system support, so the Windows build and the
// tests share this one table: 0x80 to 0xBF here (0x98 has no character), the letters А to я
// from 0xC0 on.
constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

unsigned char to_cp1251(char32_t cp) {
  if (cp < 0x80)
    return static_cast<unsigned char>(cp);
  if (cp >= 0x0410 && cp <= 0x044F)
    return static_cast<unsigned char>(0xC0 + (cp - 0x0410));
  for (int k = 0; k < 64; ++k) {
    if (kCp1251High[k] == cp)
      return static_cast<unsigned char>(0x80 + k);
  }
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
