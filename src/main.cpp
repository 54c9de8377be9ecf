#include <cstdlib>

#include "clock.h"
#include "console.h"
#include "frontend.h"
#include "link/serial_port.h"

int main(int argc, char** argv) {
  auto console = korvel::make_system_console();
  korvel::SystemClock clock;
  auto port = korvel::make_system_port();
  korvel::Platform platform{*console, clock, *port, std::getenv("KORVEL_PACING")};
  return korvel::run_loader(argc, argv, platform);
}
