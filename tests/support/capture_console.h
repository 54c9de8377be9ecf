#pragma once
// A console that keeps what the loader prints, per stream and in print order, and feeds
// it a scripted standard input.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "console.h"

namespace korvel::testing {

class CaptureConsole final : public Console {
 public:
  explicit CaptureConsole(std::unique_ptr<Encoder> enc = Encoder::utf8(), std::string input = {})
      : Console(std::move(enc)), input_(std::move(input)) {}

  std::string out, err;
  // Both streams in print order; stderr bytes are wrapped in [err:...] markers and colour
  // changes show as [color XX].
  std::string all;
  std::vector<Color> colors;
  size_t input_read = 0;

  void set_color(Color c) override {
    colors.push_back(c);
    char buf[16];
    std::snprintf(buf, sizeof buf, "[color %02X]", static_cast<unsigned>(c));
    all += buf;
  }
  void set_input(std::string in) {
    input_ = std::move(in);
    input_read = 0;
  }
  bool input_failed = false;           // makes standard input report an error
  std::function<void()> before_input;  // runs once, when the loader first reads its input

 protected:
  void write_bytes(Stream s, const char* data, size_t n) override {
    const std::string bytes(data, n);
    if (s == Stream::Out) {
      out += bytes;
      all += bytes;
    } else {
      err += bytes;
      all += "[err:" + bytes + "]";
    }
  }
  int read_byte() override {
    if (before_input)
      std::exchange(before_input, nullptr)();
    if (input_failed || input_read >= input_.size())
      return -1;
    return static_cast<unsigned char>(input_[input_read++]);
  }

 private:
  std::string input_;
};

}  // namespace korvel::testing
