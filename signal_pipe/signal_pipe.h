#pragma once
// SIGINT, SIGTERM and SIGHUP as a descriptor that a poll() can wait on beside its own: the
// handler keeps the first signal's number and writes a byte into a pipe, about all a handler can
// safely do. The program acts on it at its next wait, never in the middle of its own work.

namespace signal_pipe {

// Makes the pipe (both ends non-blocking and closed on exec) and installs the handlers. False
// with errno set when the pipe cannot be made, and then no handler is installed, or when a
// handler cannot be.
bool install();

// The end to poll: readable once a signal has arrived; -1 until install() made it.
int fd();

// The first signal that arrived, 0 while none has.
int first();

}  // namespace signal_pipe
