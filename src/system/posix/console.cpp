// The console on POSIX systems: the locale's encoding, ANSI colours on a terminal.
#include "text/console.h"

#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "system/posix/interrupt_posix.h"
#include "text/utf8.h"

namespace korvel {

namespace {

class IconvEncoder final : public Encoder {
 public:
  explicit IconvEncoder(iconv_t cd) : cd_(cd) {}
  IconvEncoder(const IconvEncoder&) = delete;  // one owner closes the descriptor
  IconvEncoder& operator=(const IconvEncoder&) = delete;
  ~IconvEncoder() override { iconv_close(cd_); }
  Kind kind() const override { return Kind::Iconv; }

  size_t encode(std::string_view text, char* out, size_t cap) const override {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    size_t total = 0;
    size_t i = 0;
    char scratch[64];
    // One character at a time, so a character the codeset lacks costs only itself.
    while (i < text.size()) {
      const size_t start = i;
      next_code_point(text, i);
      char* in = const_cast<char*>(text.data() + start);
      size_t in_left = i - start;
      char* dst = scratch;
      size_t dst_left = sizeof scratch;
      size_t produced;
      if (iconv(cd_, &in, &in_left, &dst, &dst_left) == static_cast<size_t>(-1)) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        scratch[0] = '?';
        produced = 1;
      } else {
        produced = sizeof scratch - dst_left;
      }
      for (size_t k = 0; k < produced; ++k, ++total) {
        if (total < cap)
          out[total] = scratch[k];
      }
    }
    return total;
  }

 private:
  iconv_t cd_;
};

bool g_colored = false;

void reset_color_at_exit() {
  if (g_colored) {
    static const char reset[] = "\033[0m";
    (void)!::write(STDOUT_FILENO, reset, sizeof reset - 1);
  }
}

class PosixConsole final : public Console {
 public:
  explicit PosixConsole(std::unique_ptr<Encoder> enc)
      : Console(std::move(enc)), tty_(isatty(STDOUT_FILENO) == 1) {}

  void clear_line(Stream s) override {
    if (isatty(s == Stream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1)
      write_bytes(s, "\r\033[K", 4);
  }

  void set_color(Color c) override {
    // Colour only on a terminal: a pipe or a file gets the text alone.
    if (!tty_)
      return;
    const char* seq = c == Color::Green ? "\033[92m" : c == Color::Red ? "\033[91m" : "\033[0m";
    write_bytes(Stream::Out, seq, std::char_traits<char>::length(seq));
    if (c != Color::Grey && !g_colored) {
      g_colored = true;
      std::atexit(reset_color_at_exit);
    }
  }

 protected:
  // Unbuffered writes: each text is on the terminal when the call returns, and the two
  // streams cannot overtake each other.
  void write_bytes(Stream s, const char* data, size_t n) override {
    const int fd = s == Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
    while (n > 0) {
      const ssize_t w = ::write(fd, data, n);
      if (w < 0) {
        if (errno == EINTR)
          continue;
        return;  // nowhere left to report it
      }
      data += w;
      n -= static_cast<size_t>(w);
    }
  }

  int read_byte() override {
    unsigned char c;
    for (;;) {
      // The operator may take his time; an interrupt must not wait for him.
      pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {interrupt::wake_fd(), POLLIN, 0}};
      const int pr = ::poll(p, p[1].fd >= 0 ? 2 : 1, -1);
      interrupt::check();
      if (pr < 0 && errno == EINTR)
        continue;
      const ssize_t r = ::read(STDIN_FILENO, &c, 1);
      if (r == 1)
        return c;
      if (r < 0 && errno == EINTR)
        continue;
      return -1;
    }
  }

 private:
  bool tty_;
};

}  // namespace

std::unique_ptr<Encoder> Encoder::iconv_to(const char* codeset) {
  iconv_t cd = iconv_open(codeset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1))
    return nullptr;
  return std::make_unique<IconvEncoder>(cd);
}

std::unique_ptr<Console> make_system_console() {
  std::setlocale(LC_CTYPE, "");
  return std::make_unique<PosixConsole>(encoder_for_codeset(nl_langinfo(CODESET)));
}

}  // namespace korvel
