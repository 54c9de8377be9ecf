#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "interrupt.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#endif

namespace korvel {

namespace {

#ifdef _WIN32

class WindowsConsole final : public Console {
 public:
  WindowsConsole() : Console(Encoder::cp1251()) {
    SetConsoleCP(1251);
    SetConsoleOutputCP(1251);
    // Binary streams: a line ends in "\n" on both platforms, so scripts see the same bytes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
  }

  void set_color(Color c) override {
    const char* cmd = c == Color::Green ? "color 0A" : c == Color::Red ? "color 0C" : "color 07";
    std::fflush(stdout);
    std::fflush(stderr);
    (void)std::system(cmd);
  }

 protected:
  void write_bytes(Stream s, const char* data, size_t n) override {
    FILE* f = s == Stream::Out ? stdout : stderr;
    std::fwrite(data, 1, n, f);
    std::fflush(f);
  }
  int read_byte() override {
    // Ctrl+C ends a console read as well: the interrupt is acted on before the end of input
    // could be taken for an answer.
    const int c = std::fgetc(stdin);
    interrupt::check();
    return c == EOF ? -1 : c;
  }
};

#else

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

#endif

}  // namespace

std::unique_ptr<Console> make_system_console() {
#ifdef _WIN32
  return std::make_unique<WindowsConsole>();
#else
  std::setlocale(LC_CTYPE, "");
  return std::make_unique<PosixConsole>(encoder_for_codeset(nl_langinfo(CODESET)));
#endif
}

}  // namespace korvel
