#pragma once
// The loader run whole in this process, as its main() runs it, on a virtual line and console:
// the one runner of the scenario table and the dialogue's fuzz target.
#include <string>
#include <vector>

#include "app/frontend.h"
#include "capture_console.h"
#include "virtual_line.h"

namespace korvel::testing {

// The loader's environment variables, null where unset.
struct Environment {
  const char* pacing = nullptr;   // KORVEL_PACING
  const char* trace = nullptr;    // KORVEL_TRACE
  const char* status = nullptr;   // KORVEL_STATUS
  const char* resend = nullptr;   // KORVEL_RESEND
  const char* compare = nullptr;  // KORVEL_COMPARE
};

struct Ran {
  int status;
  bool port_left_open;  // by the run itself; the platform lets go of it afterwards
};

// args begin with the program's name.
inline Ran run_in_process(VirtualLine& line, CaptureConsole& con,
                          const std::vector<std::string>& args, const Environment& env) {
  std::vector<const char*> argv;
  for (const std::string& a : args)
    argv.push_back(a.c_str());
  Platform p{con, line, line, env.pacing, env.trace, env.status, env.resend, env.compare};
  const int status = run_loader(static_cast<int>(argv.size()), argv.data(), p);
  return {status, line.is_open()};
}

}  // namespace korvel::testing
