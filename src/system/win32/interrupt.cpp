// Interrupts on Windows: console control events, handled on a thread of their own.
#include "system/interrupt.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace korvel::interrupt {

namespace {

Action g_action = nullptr;
std::atomic<int> g_signal{0};
HANDLE g_event = NULL;

// The system ends the process a few seconds after a close event whatever the handler does
// (5 s by default); a Ctrl+C that the main thread has not acted on by then is as good as lost.
constexpr DWORD kGraceMs = 4500;

// Runs on a thread of its own and never touches the port: only the main thread does, and it
// acts at its next wait, which is never long (a pause, a read slice of the port, the console
// read of the answer, which returns on Ctrl+C too), putting the port back and ending the
// process itself. Returning TRUE before that would let the system end the process first.
// Should the main thread not have acted when the grace is nearly over, the process ends from
// here, leaving the port to the system's own clean-up.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  int expected = 0;
  g_signal.compare_exchange_strong(expected, 2);  // SIGINT
  SetEvent(g_event);
  Sleep(kGraceMs);
  ExitProcess(130);
}

}  // namespace

void arm(Action action) {
  g_action = action;
  g_event = CreateEventA(NULL, TRUE, FALSE, NULL);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void check() {
  if (g_action != nullptr && g_signal.load() != 0)
    g_action(g_signal.load());
}

void wait_ms(uint32_t ms) {
  if (g_event != NULL)
    WaitForSingleObject(g_event, ms);
  else
    Sleep(ms);
}

}  // namespace korvel::interrupt
