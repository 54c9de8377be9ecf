#pragma once
// What the program's entry point asks of the system, around the run itself.

namespace korvel {

// Readies the process before anything is opened. On POSIX systems a closed standard
// descriptor is filled with /dev/null and a write to a closed pipe becomes an ordinary
// output failure; Windows needs nothing.
void prepare_process();

// Ends the process at once, without the C library's clean-up, with the status of a run
// ended by signal `sig`.
[[noreturn]] void exit_interrupted(int sig);

}  // namespace korvel
