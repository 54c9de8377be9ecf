// korvel-gang's entry point on Windows (mingw's -municode): the arguments as UTF-16, kept as
// UTF-8 like the loader's.
#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace korvel::gang {
int gang_main(int argc, const char* const* argv);
}

extern "C" int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const std::wstring_view arg(argv[i]);
    args.push_back(korvel::from_utf16(std::u16string(arg.begin(), arg.end())));
  }
  std::vector<const char*> view;
  for (const std::string& arg : args)
    view.push_back(arg.c_str());
  view.push_back(nullptr);
  return korvel::gang::gang_main(argc, view.data());
}
