#include <cstdlib>
#include <memory>

#include "clock.h"
#include "console.h"
#include "frontend.h"
#include "interrupt.h"
#include "link/serial_port.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

korvel::Console* g_console = nullptr;
korvel::SerialPort* g_port = nullptr;

// Called at a wait of the run, never inside a text: the port is put back and let go, the
// colour reset, and the run ends with the signal's status.
[[noreturn]] void end_interrupted(int sig) {
  if (g_port != nullptr)
    (void)g_port->close();
  if (g_console != nullptr) {
    g_console->set_color(korvel::Color::Grey);
    g_console->line(korvel::Stream::Err, "Прервано");
  }
#ifdef _WIN32
  (void)sig;
  ExitProcess(130);
#else
  std::_Exit(128 + sig);
#endif
}

#ifndef _WIN32
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
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
  fill_standard_descriptors();
  // Output that nobody reads any more is no reason to leave a device half-written: a write
  // to a closed pipe fails like any other output failure and the run goes on.
  signal(SIGPIPE, SIG_IGN);
#endif
  auto console = korvel::make_system_console();
  korvel::SystemClock clock;
  auto port = korvel::make_system_port();
  g_console = console.get();
  g_port = port.get();
  korvel::interrupt::arm(end_interrupted);
  korvel::Platform platform{*console, clock, *port, std::getenv("KORVEL_PACING")};
  return korvel::run_loader(argc, argv, platform);
}
