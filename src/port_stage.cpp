#include "port_stage.h"

namespace korvel {

int open_port(SerialPort& port, Console& con, const RunConfig& cfg) {
  // "СОМ" is written in Cyrillic letters, and so is the "ОК" below: the texts are printed
  // byte for byte as they always have been, so leave them.
  con.print_line("Открываем СОМ порт... ");
  if (!port.open(cfg.pcCommPort)) {
    con.print_line("ошибка");
    return 1;
  }
  con.print_line("ОК");

  // After a failure the handle is closed without looking at how the close went: the run
  // ends with the first failure's message.
  const char* failure = nullptr;
  if (!port.read_settings()) {
    failure = "Error getting device state\n";
  } else if (!port.apply_line_settings(cfg.portspeed)) {
    failure = "Error setting device parameters\n";
  } else if (!port.apply_timeouts()) {
    failure = "Error setting timeouts\n";
  }
  if (failure != nullptr) {
    con.text(Stream::Err, failure);
    (void)port.close();
    return 1;
  }
  return 0;
}

int close_port(SerialPort& port, Console& con) {
  // Cyrillic "СОМ" again, but a Latin "OK" after it.
  con.text(Stream::Err, "Закрываю СОМ порт... ");
  if (!port.close()) {
    con.text(Stream::Err, "Error\n");
    return 1;
  }
  con.text(Stream::Err, "OK\n");
  return 0;
}

}  // namespace korvel
