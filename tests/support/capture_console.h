#pragma once
// A console that keeps what the loader prints and feeds it a scripted standard input.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "text/console.h"

namespace korvel::testing {

class CaptureConsole final : public Console {
 public:
  explicit CaptureConsole(std::unique_ptr<Encoder> enc = Encoder::utf8(), std::string in = {})
      : Console(std::move(enc)), input(std::move(in)) {}

  std::string out, err, input;
  std::vector<Color> colors;
  size_t input_read = 0;
  std::function<void()> before_input;  // runs once, when the loader first reads its input

  void set_color(Color c) override { colors.push_back(c); }

 protected:
  void write_bytes(Stream s, const char* data, size_t n) override {
    (s == Stream::Out ? out : err).append(data, n);
  }
  int read_byte() override {
    if (before_input)
      std::exchange(before_input, nullptr)();
    if (input_read >= input.size())
      return -1;
    return static_cast<unsigned char>(input[input_read++]);
  }
};

}  // namespace korvel::testing
