#pragma once
// What the program's entry point asks of the system, around the run itself.

namespace korvel {

// The program (main.cpp), called by the platform's entry point with the arguments as the
// program holds names: the system's bytes on POSIX, UTF-8 on Windows (utf8.h).
int program_main(int argc, const char* const* argv);

// An environment variable's value as the program holds names (UTF-8 on Windows, whatever the
// ANSI code page), or null when it is not set.
const char* environment(const char* name);

// Readies the process before anything is opened. On POSIX systems a closed standard
// descriptor is filled with /dev/null and a write to a closed pipe becomes an ordinary
// output failure; on Windows the pauses get the timer resolution they are written in.
void prepare_process();

// Gives back what prepare_process took; at the end of every run, however it ends.
void finish_process();

// Ends the process at once, without the C library's clean-up, with the status of a run
// ended by signal `sig`; finish_process comes first.
[[noreturn]] void exit_interrupted(int sig);

}  // namespace korvel
