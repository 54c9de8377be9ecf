#pragma once
#include <cstdint>

namespace korvel {

enum directive_e { INFO = 0, PROG = 1 };

// PACING_FIXED: the documented fixed pauses. PACING_REPLY: each reply is read as soon as it
// is whole, within the time the fixed pauses would have given the device.
enum pacing_e { PACING_FIXED = 0, PACING_REPLY = 1 };

// Filled once at the start, from the command line and KORVEL_PACING, and only read
// afterwards.
struct RunConfig {
  const char* pcCommPort = nullptr;
  int32_t netnum = 0;
  const char* FileCC = nullptr;
  const char* Directive = nullptr;
  directive_e direct = INFO;
  int32_t portspeed = 9600;
  pacing_e pacing = PACING_FIXED;  // from KORVEL_PACING
  // From KORVEL_RESEND: how many more times a block whose reply did not pass or did not come
  // is sent before the run ends on it (0: never, as documented).
  uint32_t resend = 0;
  // From KORVEL_COMPARE=1: the device's checksum of what it holds is compared with the
  // container's before anything is written.
  bool compare = false;
};

}  // namespace korvel
