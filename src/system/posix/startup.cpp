// The entry point's needs on POSIX systems.
#include "system/startup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace korvel {

namespace {

// A standard descriptor that is closed would be handed to the next open(): the port would
// become standard input (the operator's answer read from the line) or standard output (the
// report written onto it).
void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1)
      continue;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

}  // namespace

const char* environment(const char* name) {
  return std::getenv(name);
}

void prepare_process() {
  fill_standard_descriptors();
  // Output that nobody reads any more is no reason to leave a device half-written: a write
  // to a closed pipe fails like any other output failure and the run goes on.
  signal(SIGPIPE, SIG_IGN);
}

void finish_process() {}

void exit_interrupted(int sig) {
  std::_Exit(128 + sig);
}

}  // namespace korvel

// The names come as the system holds them, whatever their encoding.
int main(int argc, char** argv) {
  return korvel::program_main(argc, argv);
}
