#pragma once
// Runs a program as a child with its three standard streams on pipes, for the tests that
// drive the real binaries.
#include <sys/types.h>

#include <string>
#include <vector>

namespace korvel::testing {

class Child {
 public:
  // Starts argv[0] (a path) with extra environment entries ("NAME=value") added.
  explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void write_input(const std::string& s);
  void close_input();

  // Waits up to timeout_ms for a whole line on standard output; returns it without its
  // line feed, or an empty string on time-out or end of output.
  std::string read_line(int timeout_ms);

  // Waits up to timeout_ms until standard output holds text, consuming nothing.
  bool wait_for_output(const std::string& text, int timeout_ms);

  void signal(int sig);

  // Waits for the end of the child and of its output, up to timeout_ms; on time-out the
  // child is killed and -1 returned. Otherwise the exit status, or 128 + signal.
  int wait(int timeout_ms);

  std::string out, err;  // everything read so far (read_line consumes from `out`)

 private:
  void pump(int timeout_ms);
  pid_t pid_ = -1;
  int in_ = -1, out_fd_ = -1, err_fd_ = -1;
  int status_ = -1;
  bool reaped_ = false;
};

// Milliseconds on the monotonic clock.
long long now_ms();

}  // namespace korvel::testing
