#pragma once
// What the waits on POSIX systems need of the interrupt besides interrupt.h: for POSIX files only.
#include "system/interrupt.h"

namespace korvel::interrupt {

// A descriptor that turns readable once an interrupt has arrived, for the waits to poll beside
// their own; -1 when not armed.
int wake_fd();

}  // namespace korvel::interrupt
