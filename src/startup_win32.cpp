// The entry point's needs on Windows.
#include <windows.h>

#include "startup.h"

namespace korvel {

void prepare_process() {}

// Every console event counts as Ctrl+C, whose status is 130 as in a POSIX shell.
void exit_interrupted(int) {
  ExitProcess(130);
}

}  // namespace korvel
