#pragma once
// The run's port stage: opening and setting the port, and closing it, with the loader's
// messages. The port itself prints nothing.
#include "console.h"
#include "link/serial_port.h"
#include "run_config.h"

namespace korvel {

// 0 when the port is open and set, else the exit status (the message already printed).
int open_port(SerialPort& port, Console& con, const RunConfig& cfg);

// 0 when closed, else the exit status.
int close_port(SerialPort& port, Console& con);

}  // namespace korvel
