// Interrupts on POSIX systems: signals, and a pipe that wakes the waits.
#include <poll.h>

#include "signal_pipe.h"
#include "system/posix/interrupt_posix.h"

namespace korvel::interrupt {

namespace {

Action g_action = nullptr;

}  // namespace

void arm(Action action) {
  // Without its pipe no handler is installed, and the signals keep their usual effect.
  (void)signal_pipe::install();
  g_action = action;
}

void check() {
  if (g_action != nullptr && signal_pipe::first() != 0)
    g_action(signal_pipe::first());
}

int wake_fd() {
  return signal_pipe::fd();
}

void wait_ms(uint32_t ms) {
  // Without a wake descriptor poll() on nothing is a plain sleep.
  pollfd p{wake_fd(), POLLIN, 0};
  (void)::poll(&p, p.fd >= 0 ? 1 : 0, static_cast<int>(ms));
}

}  // namespace korvel::interrupt
