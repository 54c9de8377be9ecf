#pragma once
// A program run as a child with its three standard streams on pipes, and a folder for its files.
#include <sys/types.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace korvel::testing {

class Child {
 public:
  // Starts argv[0] (a path) with extra environment entries ("NAME=value") set.
  explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;  // it owns the pid and the pipes

  pid_t pid() const { return pid_; }       // -1 once reaped
  void write_input(const std::string& s);  // then closes the child's input
  // A line of standard output without its "\n"; empty on time-out or end of output.
  std::string read_line(int timeout_ms);
  bool wait_for_output(const std::string& text, int timeout_ms);  // consumes nothing
  // Sends sig (unless 0), then reads both streams to their end: the exit status, 128 + signal,
  // or -1 when the child had to be killed at the time-out.
  int wait(int timeout_ms, int sig = 0);

  std::string out, err;  // everything read so far (read_line consumes from `out`)

 private:
  void pump(int timeout_ms);  // reads what one stream has within timeout_ms
  pid_t pid_ = -1;
  int fd_[3] = {-1, -1, -1};  // the child's input, output and error
  int status_ = -1;
};

// A folder of the test's own in the system's temporary folder, removed with all it holds however
// the test ends: nothing is left in /tmp, nor in the working directory, which may be the sources.
struct ScratchDir {
  ScratchDir();  // throws when it cannot be made
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline std::vector<std::string> words(std::string first, const std::string& line) {
  std::vector<std::string> args = {std::move(first)};
  std::istringstream in(line);
  for (std::string w; in >> w;)
    args.push_back(w);
  return args;
}

inline long long now_ms() {  // on the monotonic clock
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(t).count();
}

}  // namespace korvel::testing
