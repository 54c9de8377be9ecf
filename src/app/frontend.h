#pragma once
// The run from its first step to its exit status: console set-up, the command line, the
// banner, the stages in their order, and the last line.
#include <cstdint>

#include "app/port_stage.h"
#include "app/run_config.h"
#include "system/clock.h"
#include "system/serial_port.h"
#include "text/console.h"
#include "text/trace.h"

namespace korvel {

// What a run needs from the outside world; tests hand in their own.
struct Platform {
  Console& console;
  Clock& clock;
  SerialPort& port;
  const char* pacing = nullptr;      // KORVEL_PACING, null when unset
  const char* trace_path = nullptr;  // KORVEL_TRACE
  const char* status = nullptr;      // KORVEL_STATUS
  const char* resend = nullptr;      // KORVEL_RESEND
  const char* compare = nullptr;     // KORVEL_COMPARE
  Trace trace{};                     // open for the run when trace_path names a file
  // Closes the port; a port the run left open (a container that could not be loaded) is let go
  // when the platform goes, or at Ctrl+C.
  PortHolder port_holder{port};
};

// The exit statuses KORVEL_STATUS=detailed adds to the documented 0, 1, 2 and 128 + signal.
enum DetailedStatus {
  kStatusUsage = 3,
  kStatusDeclined = 4,
  kStatusContainerDamaged = 5,
  kStatusImageRefused = 6,
  kStatusBlockRefused = 7,
  kStatusBlockGarbled = 8,
  kStatusChecksumDiffers = 9,
  kStatusStartUnconfirmed = 10,
  kStatusImageDiffers = 11,
  kStatusCompareImpossible = 12,
};

// Converts as atoi does (leading blanks, a sign, digits, anything after ignored, no digits
// gives 0), but a value beyond the signed 32-bit range saturates instead of being undefined.
int32_t parse_netnum(const char* text);

// KORVEL_PACING's value as a pacing; an unknown one is reported and the documented pauses
// are kept.
pacing_e parse_pacing(Console& con, const char* value);

// KORVEL_RESEND's value: 1 to 10, or 0 when unset, empty or 0; any other value is reported and
// blocks are not sent again.
uint32_t parse_resend(Console& con, const char* value);

// KORVEL_COMPARE's value: 1 compares; unset, empty or 0 do not; any other value is reported.
bool parse_compare(Console& con, const char* value);

// False when the argument count is wrong (the run prints the usage text and ends).
bool parse_arguments(int argc, const char* const* argv, RunConfig& cfg);

void print_usage(Console& con, const char* program);
void print_banner(Console& con, const RunConfig& cfg);

// The whole run; returns the process's exit status.
int run_loader(int argc, const char* const* argv, Platform& p);

}  // namespace korvel
