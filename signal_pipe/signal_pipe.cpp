#include "signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace signal_pipe {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_first = 0;

extern "C" void on_signal(int sig) {
  const int saved = errno;
  if (g_first == 0)
    g_first = sig;
  // write() is async-signal-safe; a full pipe already wakes every waiter.
  (void)!::write(g_pipe[1], "!", 1);
  errno = saved;
}

}  // namespace

bool install() {
  int ends[2];
  if (::pipe(ends) != 0)
    return false;
  for (const int end : ends) {
    ::fcntl(end, F_SETFD, FD_CLOEXEC);
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  g_pipe[0] = ends[0];
  g_pipe[1] = ends[1];
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  // The signals wait for each other's handler, so that the first one is the one kept.
  sigemptyset(&sa.sa_mask);
  for (const int sig : kSignals)
    sigaddset(&sa.sa_mask, sig);
  // No SA_RESTART: a blocked read or poll returns EINTR and the waiter looks at the pipe.
  sa.sa_flags = 0;
  bool all = true;
  for (const int sig : kSignals)
    all = ::sigaction(sig, &sa, nullptr) == 0 && all;
  return all;
}

int fd() {
  return g_pipe[0];
}

int first() {
  return g_first;
}

}  // namespace signal_pipe
