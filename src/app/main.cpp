#include <cstdlib>
#include <memory>

#include "app/frontend.h"
#include "app/port_stage.h"
#include "system/clock.h"
#include "system/interrupt.h"
#include "system/serial_port.h"
#include "system/startup.h"
#include "text/console.h"

namespace {

korvel::Console* g_console = nullptr;
korvel::PortHolder* g_port = nullptr;
korvel::Trace* g_trace = nullptr;

// Called at a wait of the run, never inside a text: the port is put back and let go, the
// colour reset, and the run ends with the signal's status.
[[noreturn]] void end_interrupted(int sig) {
  if (g_port != nullptr)
    g_port->release();
  if (g_console != nullptr) {
    g_console->set_color(korvel::Color::Grey);
    // A progress text may still be on the line ("Блок 8 записан (0x8001040)\r").
    g_console->clear_line(korvel::Stream::Err);
    g_console->line(korvel::Stream::Err, "Прервано");
  }
  if (g_trace != nullptr)
    g_trace->line("end: interrupted by signal %d", sig);
  korvel::exit_interrupted(sig);
}

}  // namespace

int korvel::program_main(int argc, const char* const* argv) {
  prepare_process();
  auto console = make_system_console();
  SystemClock clock;
  auto port = make_system_port();
  Platform platform{*console,
                    clock,
                    *port,
                    environment("KORVEL_PACING"),
                    environment("KORVEL_TRACE"),
                    environment("KORVEL_STATUS"),
                    environment("KORVEL_RESEND"),
                    environment("KORVEL_COMPARE")};
  g_console = console.get();
  g_port = &platform.port_holder;
  g_trace = &platform.trace;
  interrupt::arm(end_interrupted);
  const int status = run_loader(argc, argv, platform);
  finish_process();
  return status;
}
