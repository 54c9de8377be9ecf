#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

namespace korvel::testing {

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
  // A blocking pipe takes it all, unless the child has closed its input.
  (void)!::write(fd_[0], s.data(), s.size());
  close(std::exchange(fd_[0], -1));
}

void Child::pump(int timeout_ms) {
  pollfd p[2] = {{fd_[1], POLLIN, 0}, {fd_[2], POLLIN, 0}};
  if (poll(p, 2, timeout_ms) <= 0)
    return;
  const int i = p[0].revents != 0 ? 1 : 2;
  char buf[4096];
  const ssize_t r = ::read(fd_[i], buf, sizeof buf);
  if (r > 0)
    (i == 1 ? out : err).append(buf, static_cast<size_t>(r));
  else  // the end of that stream
    close(std::exchange(fd_[i], -1));
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

int Child::wait(int timeout_ms, int sig) {
  if (sig != 0 && pid_ > 0)
    kill(pid_, sig);
  for (const long long end = now_ms() + timeout_ms;
       (pid_ > 0 || fd_[1] >= 0 || fd_[2] >= 0) && now_ms() < end; pump(20)) {
    int st;
    if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      pid_ = -1;
    }
  }
  if (pid_ > 0)  // too late: killed, and the status stays -1
    kill(std::exchange(pid_, -1), SIGKILL);
  return status_;
}

ScratchDir::ScratchDir() : path(std::filesystem::temp_directory_path() / "korvel-test-XXXXXX") {
  if (mkdtemp(path.data()) == nullptr)
    throw std::system_error(errno, std::generic_category(), path);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace korvel::testing
