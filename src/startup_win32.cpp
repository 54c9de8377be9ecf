// The entry point's needs on Windows.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "startup.h"
#include "utf8.h"

namespace korvel {

void prepare_process() {}

// Every console event counts as Ctrl+C, whose status is 130 as in a POSIX shell.
void exit_interrupted(int) {
  ExitProcess(130);
}

}  // namespace korvel

// The wide entry point (mingw's -municode): the arguments as UTF-16, so that a name the ANSI
// code page lacks reaches the program whole.
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
  return korvel::program_main(argc, view.data());
}
