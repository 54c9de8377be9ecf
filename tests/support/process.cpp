#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace korvel::testing {

long long now_ms() {
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(t).count();
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not end the test
  int p[3][2];
  if (pipe2(p[0], O_CLOEXEC) != 0 || pipe2(p[1], O_CLOEXEC) != 0 || pipe2(p[2], O_CLOEXEC) != 0)
    return;
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if ((pid_ = fork()) == 0) {
    for (int fd = 0; fd < 3; ++fd)
      dup2(p[fd][fd == 0 ? 0 : 1], fd);
    ::signal(SIGPIPE, SIG_DFL);  // as from a shell
    for (const auto& e : env)
      putenv(const_cast<char*>(e.c_str()));
    execv(args[0], args.data());
    _exit(127);
  }
  for (int fd = 0; fd < 3; ++fd) {
    close(p[fd][fd == 0 ? 0 : 1]);
    fd_[fd] = p[fd][fd == 0 ? 1 : 0];
  }
}

Child::~Child() {
  wait(0);  // kills a child still running
  for (int fd : fd_)
    close(fd);
}

void Child::write_input(const std::string& s) {
  for (size_t off = 0; fd_[0] >= 0 && off < s.size();) {
    const ssize_t w = ::write(fd_[0], s.data() + off, s.size() - off);
    if (w <= 0)
      return;  // the child closed its input (no handler in a test interrupts a write)
    off += static_cast<size_t>(w);
  }
}

void Child::close_input() {
  close(fd_[0]);
  fd_[0] = -1;
}

void Child::pump(int timeout_ms) {
  pollfd p[2] = {{fd_[1], POLLIN, 0}, {fd_[2], POLLIN, 0}};
  if ((fd_[1] < 0 && fd_[2] < 0) || poll(p, 2, timeout_ms) <= 0)
    return;
  for (int i = 1; i <= 2; ++i) {
    char buf[4096];
    const ssize_t r = p[i - 1].revents == 0 ? 0 : ::read(fd_[i], buf, sizeof buf);
    if (r > 0) {
      (i == 1 ? out : err).append(buf, static_cast<size_t>(r));
    } else if (p[i - 1].revents != 0) {  // the end of that stream
      close(fd_[i]);
      fd_[i] = -1;
    }
  }
}

std::string Child::read_line(int timeout_ms) {
  if (!wait_for_output("\n", timeout_ms))
    return {};
  const std::string line = out.substr(0, out.find('\n'));
  out.erase(0, line.size() + 1);
  return line;
}

bool Child::wait_for_output(const std::string& text, int timeout_ms) {
  for (const long long end = now_ms() + timeout_ms; out.find(text) == std::string::npos;) {
    const long long left = end - now_ms();
    if (left <= 0 || fd_[1] < 0)
      return false;
    pump(static_cast<int>(left));
  }
  return true;
}

void Child::signal(int sig) {
  if (pid_ > 0 && !reaped_)
    kill(pid_, sig);
}

int Child::wait(int timeout_ms) {
  const long long end = now_ms() + timeout_ms;
  while (pid_ > 0 && (!reaped_ || fd_[1] >= 0 || fd_[2] >= 0) && now_ms() < end) {
    int st;
    if (!reaped_ && waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    pump(20);
  }
  if (pid_ > 0 && !reaped_) {  // too late: killed, and the status stays -1
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  return status_;
}

}  // namespace korvel::testing
