#pragma once
// Console text: our texts are written in the source as UTF-8 and leave the program in the
// console's encoding. Every text is flushed as it is printed, so progress texts and the
// prompt show at once and the two streams keep the order in which they were printed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvel {

// Separators and the blanking prefixes that wipe a progress text still on the screen.
inline constexpr const char* RULE79 =
    "-------------------------------------------------------------------------------";
inline constexpr const char* BLANK53 = "                                                     \r";
inline constexpr const char* BLANK57 =
    "                                                         \r";
inline constexpr const char* BLANK63 =
    "                                                               \r";
inline constexpr const char* BLANK78 =
    "                                                                              \r";

enum class Stream { Out, Err };

// The console colours by their command-interpreter codes.
enum class Color { Grey = 0x07, Green = 0x0A, Red = 0x0C };

// Turns our UTF-8 texts into the bytes the console expects.
class Encoder {
 public:
  enum class Kind { Utf8, Cp1251, Iconv };

  static std::unique_ptr<Encoder> utf8();
  static std::unique_ptr<Encoder> cp1251();
  // Null when the system cannot convert to `codeset`.
  static std::unique_ptr<Encoder> iconv_to(const char* codeset);

  virtual ~Encoder() = default;
  virtual Kind kind() const = 0;
  // Appends the encoded form of `text` to out[0..cap); returns the bytes it needs, which
  // may exceed cap (then out holds a truncated prefix). Characters the target lacks
  // become '?'.
  virtual size_t encode(std::string_view text, char* out, size_t cap) const = 0;
};

// The operator's answer to the programming prompt.
enum class Answer { Yes, No, Other, End };

class Console {
 public:
  explicit Console(std::unique_ptr<Encoder> enc);
  virtual ~Console() = default;
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Our own text, exactly as given.
  void text(Stream s, const char* utf8);
  // Our own text with a line feed.
  void line(Stream s, const char* utf8);
  // printf-shaped: the format is our text and is converted; the arguments (numbers, names
  // from shown_name) are printed as they are.
  void textf(Stream s, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  void print(const char* utf8) { text(Stream::Out, utf8); }
  void print_line(const char* utf8) { line(Stream::Out, utf8); }

  // Reads one line of standard input: "Y" and "N" are answers, any other line is Other,
  // however long; the end of input or a read error is End. "\r\n" ends a line too.
  Answer read_answer();

  // A name the system gave the program (its own, the port's, the container's) in the form the
  // console shows it. As given here, where a name is whatever bytes the system holds; the
  // Windows console writes it in its code page like our texts.
  virtual std::string shown_name(const char* name) const { return name; }

  // On a terminal, clears the line the cursor is on and goes to its start, so that the next
  // text stands alone instead of over a progress text. Nothing on a pipe or a file, whose
  // bytes stay as they are.
  virtual void clear_line(Stream) {}

  virtual void set_color(Color c) = 0;
  const Encoder& encoder() const { return *enc_; }

 protected:
  // Writes and flushes bytes that are already in the console's encoding.
  virtual void write_bytes(Stream s, const char* data, size_t n) = 0;
  // Next byte of standard input, or -1 at its end or on an error.
  virtual int read_byte() = 0;

 private:
  std::unique_ptr<Encoder> enc_;
};

// The process's own console: stdout and stderr, standard input, the terminal's colours.
// On Windows it sets the console code pages to 1251; elsewhere it picks the encoding from
// the locale (UTF-8 for UTF-8 and the plain C locale, iconv to the locale's codeset else).
std::unique_ptr<Console> make_system_console();

// The encoding that make_system_console would choose for a locale's codeset name.
std::unique_ptr<Encoder> encoder_for_codeset(const char* codeset);

}  // namespace korvel
