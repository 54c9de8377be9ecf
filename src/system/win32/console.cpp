// The console on Windows: code page 1251 both ways, colours through the command interpreter.
#include "text/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "system/interrupt.h"

namespace korvel {

namespace {

class WindowsConsole final : public Console {
 public:
  WindowsConsole() : Console(Encoder::cp1251()) {
    SetConsoleCP(1251);
    SetConsoleOutputCP(1251);
    // Binary streams: a line ends in "\n" on both platforms, so scripts see the same bytes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
  }

  // The program holds the names Windows gave it in UTF-8, like its own texts, so they are
  // written the same way: in code page 1251, '?' for a character it lacks.
  std::string shown_name(const char* name) const override {
    const std::string_view text(name);
    std::string out(encoder().encode(text, nullptr, 0), '\0');
    encoder().encode(text, out.data(), out.size());
    return out;
  }

  void clear_line(Stream s) override {
    const HANDLE h = GetStdHandle(s == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(h, &info))
      return;  // not a console
    // Every text is flushed as it is printed, so the cursor is where the last one ended.
    const COORD start{0, info.dwCursorPosition.Y};
    DWORD written = 0;
    FillConsoleOutputCharacterW(h, L' ', static_cast<DWORD>(info.dwSize.X), start, &written);
    SetConsoleCursorPosition(h, start);
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

}  // namespace

// Code page 1251 is the console's, and our own table writes it.
std::unique_ptr<Encoder> Encoder::iconv_to(const char*) {
  return nullptr;
}

std::unique_ptr<Console> make_system_console() {
  return std::make_unique<WindowsConsole>();
}

}  // namespace korvel
