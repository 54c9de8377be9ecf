#include "app/port_stage.h"

namespace korvel {

namespace {

const char* fault_name(PortFault f) {
  switch (f) {
    case PortFault::None:
      return "no failure";
    case PortFault::Missing:
      return "missing";
    case PortFault::Busy:
      return "busy, held by another program";
    case PortFault::NotPermitted:
      return "not permitted";
    case PortFault::NotASerialPort:
      return "not a serial port";
    default:
      return "other";
  }
}

}  // namespace

PortStatus PortHolder::open(Console& con, const RunConfig& cfg) {
  // "СОМ" is written in Cyrillic letters, and so is the "ОК" below: the texts are printed
  // byte for byte as they always have been, so leave them.
  con.print_line("Открываем СОМ порт... ");
  if (PortStatus opened = port_.open(cfg.pcCommPort); !opened.ok()) {
    con.print_line("ошибка");
    return opened;
  }
  held_ = true;
  con.print_line("ОК");

  const char* failure = nullptr;
  PortStatus status = port_.read_settings();
  if (!status.ok()) {
    failure = "Error getting device state\n";
  } else if (status = port_.apply_line_settings(cfg.portspeed); !status.ok()) {
    failure = "Error setting device parameters\n";
  } else if (status = port_.apply_timeouts(); !status.ok()) {
    failure = "Error setting timeouts\n";
  }
  if (failure != nullptr) {
    con.text(Stream::Err, failure);
    // The run ends with the first failure's message, whatever the close says.
    release();
  }
  return status;
}

int PortHolder::close(Console& con) {
  // Cyrillic "СОМ" again, but a Latin "OK" after it.
  con.text(Stream::Err, "Закрываю СОМ порт... ");
  if (!let_go()) {
    con.text(Stream::Err, "Error\n");
    return 1;
  }
  con.text(Stream::Err, "OK\n");
  return 0;
}

void PortHolder::release() {
  if (held_)
    (void)let_go();
}

bool PortHolder::let_go() {
  // Closed or not, the port is no longer held: the system has taken the handle back either way,
  // and there is nothing more to try.
  held_ = false;
  return port_.close();
}

std::string port_reason(const PortStatus& status) {
  std::string why = status.text + " (" + fault_name(status.fault);
  if (status.code != 0)
    why += ", system code " + std::to_string(status.code);
  return why + ")";
}

}  // namespace korvel
