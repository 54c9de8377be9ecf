// Interrupts on POSIX systems: signals, and a pipe that wakes the waits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

#include "interrupt.h"

namespace korvel::interrupt {

namespace {

Action g_action = nullptr;
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

}  // namespace korvel::interrupt
