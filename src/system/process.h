#pragma once
// What korvel-gang needs of the system: loader processes of their own, each in its own process
// group so that it can be stopped by itself as Ctrl+C stops it; its own Ctrl+C; a terminal.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::gang {

class Child {
 public:
  virtual ~Child() = default;
  // As Ctrl+C stops a loader: it puts its port back and ends (SIGINT, or CTRL_BREAK_EVENT to
  // its process group on Windows).
  virtual void interrupt() = 0;
  // The exit status once the process has ended; nothing while it runs.
  virtual std::optional<int> exit_status() = 0;
};

// Starts argv[0] with `env` added to the environment, standard input from the file `input` and
// both output streams into the file `output`. Null with the system's reason when it cannot.
std::unique_ptr<Child> start_child(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env, const std::string& input,
                                   const std::string& output, std::string* why);

// Ctrl+C (and on POSIX SIGTERM and SIGHUP) for the gang itself: noted, never acted on at once.
void arm_interrupt();
bool interrupted();
// A pause that an interrupt cuts short.
void pause_ms(uint32_t ms);

// Whether standard output is a terminal that takes cursor codes.
bool output_is_terminal();

// The loader beside the running program (korvel, Korvel.exe).
std::string default_loader();

}  // namespace korvel::gang
