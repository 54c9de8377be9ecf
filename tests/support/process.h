#pragma once
// Runs a program as a child with its three standard streams on pipes, for the tests that
// drive the real binaries.
#include <sys/types.h>

#include <string>
#include <vector>

namespace korvel::testing {

class Child {
 public:
  // Starts argv[0] (a path) with extra environment entries ("NAME=value") set.
  explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void write_input(const std::string& s);
  void close_input();
  // A line of standard output without its "\n"; empty on time-out or end of output.
  std::string read_line(int timeout_ms);
  bool wait_for_output(const std::string& text, int timeout_ms);  // consumes nothing
  void signal(int sig);
  // Waits for the end of the child and of its output: the exit status, 128 + signal, or -1
  // when the child had to be killed at the time-out.
  int wait(int timeout_ms);

  std::string out, err;  // everything read so far (read_line consumes from `out`)

 private:
  void pump(int timeout_ms);  // reads what either stream has within timeout_ms
  pid_t pid_ = -1;
  int fd_[3] = {-1, -1, -1};  // the child's input, output and error
  int status_ = -1;
  bool reaped_ = false;
};

long long now_ms();  // on the monotonic clock

}  // namespace korvel::testing
