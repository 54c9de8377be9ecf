#pragma once
#include <cstdint>

namespace korvel {

enum directive_e { INFO = 0, PROG = 1 };

// Filled once from the command line and only read afterwards.
struct RunConfig {
  const char* pcCommPort = nullptr;
  int32_t netnum = 0;
  const char* FileCC = nullptr;
  const char* Directive = nullptr;
  directive_e direct = INFO;
  int32_t portspeed = 9600;
};

}  // namespace korvel
