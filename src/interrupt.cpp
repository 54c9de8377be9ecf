#include "interrupt.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#endif

namespace korvel::interrupt {

namespace {
Action g_action = nullptr;
}

#ifdef _WIN32

namespace {

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

int wake_fd() {
  return -1;
}

void sleep_ms(uint32_t ms) {
  check();
  if (g_event != NULL)
    WaitForSingleObject(g_event, ms);
  else
    Sleep(ms);
  check();
}

#else

namespace {

volatile sig_atomic_t g_signal = 0;
int g_pipe[2] = {-1, -1};

void on_signal(int sig) {
  const int saved = errno;
  if (g_signal == 0)
    g_signal = sig;
  // write() is async-signal-safe; a full pipe already wakes every waiter.
  (void)!::write(g_pipe[1], "!", 1);
  errno = saved;
}

}  // namespace

void arm(Action action) {
  if (::pipe(g_pipe) != 0)
    return;
  for (const int fd : g_pipe) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  g_action = action;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&sa.sa_mask, sig);
  // No SA_RESTART: a blocked read or poll returns EINTR and the waiter looks at the flag.
  sa.sa_flags = 0;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP})
    ::sigaction(sig, &sa, nullptr);
}

void check() {
  if (g_action != nullptr && g_signal != 0)
    g_action(g_signal);
}

int wake_fd() {
  return g_pipe[0];
}

void sleep_ms(uint32_t ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    check();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      return;
    // Without a wake descriptor poll() on nothing is a plain sleep.
    pollfd p{wake_fd(), POLLIN, 0};
    (void)::poll(&p, p.fd >= 0 ? 1 : 0, static_cast<int>(left.count()));
  }
}

#endif

}  // namespace korvel::interrupt
