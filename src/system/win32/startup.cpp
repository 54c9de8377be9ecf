// The entry point's needs on Windows.
#include <windows.h>
// windows.h first: the multimedia header builds on its types.
#include <mmsystem.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system/startup.h"
#include "system/win32/arguments.h"
#include "text/utf8.h"

namespace korvel {

namespace {

std::atomic<bool> g_fine_timer{false};

}  // namespace

const char* environment(const char* name) {
  // The values live as long as the program: the few names asked for are asked once.
  static std::vector<std::unique_ptr<std::string>> kept;
  const std::u16string wide = to_utf16(name);
  const wchar_t* value = _wgetenv(std::wstring(wide.begin(), wide.end()).c_str());
  if (value == nullptr)
    return nullptr;
  const std::wstring_view v(value);
  kept.push_back(std::make_unique<std::string>(from_utf16(std::u16string(v.begin(), v.end()))));
  return kept.back()->c_str();
}

// A pause is a wait on a timer, and Windows rounds each wait up to its timer tick, 15.6 ms
// unless a program asks for a finer one: the 69 ms pause after a block would take 78 ms.
void prepare_process() {
  g_fine_timer = timeBeginPeriod(1) == TIMERR_NOERROR;
}

// The end of a run and Ctrl+C (on its own thread) may both come here; one gives it back.
void finish_process() {
  if (g_fine_timer.exchange(false))
    timeEndPeriod(1);
}

// Every console event counts as Ctrl+C, whose status is 130 as in a POSIX shell.
void exit_interrupted(int) {
  finish_process();
  ExitProcess(130);
}

}  // namespace korvel

extern "C" int wmain(int argc, wchar_t** argv) {
  const korvel::Utf8Arguments args(argc, argv);
  return korvel::program_main(argc, args.argv());
}
