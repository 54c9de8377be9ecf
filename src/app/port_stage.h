#pragma once
// The run's port stage: opening and setting the port, and closing it, with the loader's
// messages. The port itself prints nothing.
#include <string>

#include "app/run_config.h"
#include "system/serial_port.h"
#include "text/console.h"

namespace korvel {

// The port as a run holds it, and the one place that closes it. A port that has failed (a
// setting refused, a write that did not go) is let go at once; any other at the run's end with
// the closing texts, on Ctrl+C, or, without a word, when its holder goes.
class PortHolder {
 public:
  explicit PortHolder(SerialPort& port) : port_(port) {}
  ~PortHolder() { release(); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  // Opens and sets the port, with the loader's messages. On failure the message is printed, a
  // port that was opened is let go, and the status says why, for the trace.
  PortStatus open(Console& con, const RunConfig& cfg);
  // The run's end, with the closing texts on standard error: 0, or the exit status.
  int close(Console& con);
  // Gives the port back with the settings it had and lets it go, without a word; nothing when
  // it is not held.
  void release();

 private:
  // Every close goes through here.
  bool let_go();

  SerialPort& port_;
  bool held_ = false;
};

// The trace's words for why the port could not be had: its text, then what kind of failure it
// was and the system's code ("open: No such file or directory (missing, system code 2)").
std::string port_reason(const PortStatus& status);

}  // namespace korvel
