#pragma once
// The run's port stage: opening and setting the port, and closing it, with the loader's
// messages. The port itself prints nothing.
#include <string>

#include "console.h"
#include "link/serial_port.h"
#include "run_config.h"

namespace korvel {

// Opens and sets the port, printing the loader's messages. On failure the message is printed
// and the status says why, for the trace.
PortStatus open_port(SerialPort& port, Console& con, const RunConfig& cfg);

// 0 when closed, else the exit status.
int close_port(SerialPort& port, Console& con);

// The trace's words for why the port could not be had: its text, then what kind of failure it
// was and the system's code ("open: No such file or directory (missing, system code 2)").
std::string port_reason(const PortStatus& status);

}  // namespace korvel
