#include <cstdlib>
#include <memory>

#include "clock.h"
#include "console.h"
#include "frontend.h"
#include "interrupt.h"
#include "link/serial_port.h"
#include "startup.h"

namespace {

korvel::Console* g_console = nullptr;
korvel::SerialPort* g_port = nullptr;
korvel::Trace* g_trace = nullptr;

// Called at a wait of the run, never inside a text: the port is put back and let go, the
// colour reset, and the run ends with the signal's status.
[[noreturn]] void end_interrupted(int sig) {
  if (g_port != nullptr)
    (void)g_port->close();
  if (g_console != nullptr) {
    g_console->set_color(korvel::Color::Grey);
    g_console->line(korvel::Stream::Err, "Прервано");
  }
  if (g_trace != nullptr)
    g_trace->line("end: interrupted by signal %d", sig);
  korvel::exit_interrupted(sig);
}

}  // namespace

int main(int argc, char** argv) {
  korvel::prepare_process();
  auto console = korvel::make_system_console();
  korvel::SystemClock clock;
  auto port = korvel::make_system_port();
  g_console = console.get();
  g_port = port.get();
  korvel::interrupt::arm(end_interrupted);
  korvel::Platform platform{*console,
                            clock,
                            *port,
                            std::getenv("KORVEL_PACING"),
                            std::getenv("KORVEL_TRACE"),
                            std::getenv("KORVEL_STATUS")};
  g_trace = &platform.trace;
  return korvel::run_loader(argc, argv, platform);
}
