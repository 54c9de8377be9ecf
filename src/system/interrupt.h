#pragma once
// Ending a run on Ctrl+C, a hang-up or a termination request without leaving the port locked
// or raw. The handler only records the request; the run acts on it at its next wait (a
// pause, a port time limit, the operator's answer), so no text is cut in the middle.
#include <cstdint>

namespace korvel::interrupt {

// What ends the run; it receives the signal's number (SIGINT for the Windows console events)
// and must not return.
using Action = void (*)(int sig);

// Installs the handlers. Until then nothing interrupts a run (tests run in-process).
void arm(Action action);

// Runs the action if an interrupt has arrived.
void check();

// A pause that an interrupt cuts short (and then ends the run).
void sleep_ms(uint32_t ms);

// The platform's part of the pause: waits up to ms, less once an interrupt has arrived.
void wait_ms(uint32_t ms);

}  // namespace korvel::interrupt
