// The wide entry point's arguments (mingw's -municode) as UTF-8, so that a name the ANSI
// code page lacks reaches the program whole.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace korvel {

class Utf8Arguments {
 public:
  Utf8Arguments(int argc, wchar_t** argv) {
    for (int i = 0; i < argc; ++i) {
      const std::wstring_view arg(argv[i]);
      args_.push_back(from_utf16(std::u16string(arg.begin(), arg.end())));
    }
    for (const std::string& arg : args_)
      view_.push_back(arg.c_str());
    view_.push_back(nullptr);
  }
  Utf8Arguments(const Utf8Arguments&) = delete;
  Utf8Arguments& operator=(const Utf8Arguments&) = delete;

  // Null-terminated, as a C main's.
  const char* const* argv() const { return view_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<const char*> view_;
};

}  // namespace korvel
