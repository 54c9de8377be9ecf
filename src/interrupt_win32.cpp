// Interrupts on Windows: console control events, handled on a thread of their own.
#include "interrupt.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <chrono>

namespace korvel::interrupt {

namespace {

Action g_action = nullptr;
std::atomic<int> g_signal{0};
std::atomic<bool> g_acting{false};
HANDLE g_event = NULL;

// Whichever thread comes first puts things back; the other waits for the process to end.
void act_once() {
  if (g_acting.exchange(true)) {
    Sleep(INFINITE);
  }
  g_action(g_signal.load());
}

// Runs on a thread of its own. The main thread acts at its next wait, which is never long
// (a pause or a port time limit); the console read of the answer returns on Ctrl+C too.
// Returning TRUE too early would let the system end the process on a close event before the
// port is put back, so wait for the main thread, and act here only if it never comes.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  int expected = 0;
  g_signal.compare_exchange_strong(expected, 2);  // SIGINT
  SetEvent(g_event);
  Sleep(3000);
  if (g_action != nullptr)
    act_once();
  return TRUE;
}

}  // namespace

void arm(Action action) {
  g_action = action;
  g_event = CreateEventA(NULL, TRUE, FALSE, NULL);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void check() {
  if (g_action != nullptr && g_signal.load() != 0)
    act_once();
}

// A wait may end up to a timer tick before its time, so the pause is measured on the clock and
// waited out to its end: never shorter than asked.
void sleep_ms(uint32_t ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    check();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      return;
    const auto wait = static_cast<DWORD>(left.count());
    if (g_event != NULL)
      WaitForSingleObject(g_event, wait);
    else
      Sleep(wait);
  }
}

}  // namespace korvel::interrupt
