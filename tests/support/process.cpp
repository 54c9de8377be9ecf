#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

extern char** environ;

namespace korvel::testing {

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    return;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e)
    env_store.emplace_back(*e);
  for (const auto& e : env)
    env_store.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env_store)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  // The children start as from a shell, with the default SIGPIPE, whatever this process
  // ignores for its own pipes.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  if (posix_spawn(&pid_, args[0], &fa, &attr, args.data(), envp.data()) != 0)
    pid_ = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  ::signal(SIGPIPE, SIG_IGN);
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_fd_, err_fd_}) {
    if (fd >= 0)
      close(fd);
  }
}

void Child::write_input(const std::string& s) {
  size_t off = 0;
  while (in_ >= 0 && off < s.size()) {
    const ssize_t w = ::write(in_, s.data() + off, s.size() - off);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      break;
    off += static_cast<size_t>(w);
  }
}

void Child::close_input() {
  if (in_ >= 0)
    close(in_);
  in_ = -1;
}

void Child::pump(int timeout_ms) {
  pollfd fds[2];
  int n = 0;
  if (out_fd_ >= 0)
    fds[n++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0)
    fds[n++] = {err_fd_, POLLIN, 0};
  if (n == 0)
    return;
  if (poll(fds, static_cast<nfds_t>(n), timeout_ms) <= 0)
    return;
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0)
      continue;
    char buf[4096];
    const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
    std::string& dst = fds[i].fd == out_fd_ ? out : err;
    if (r > 0) {
      dst.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || errno != EINTR) {
      int& fd = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
      close(fd);
      fd = -1;
    }
  }
}

std::string Child::read_line(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  for (;;) {
    const size_t nl = out.find('\n');
    if (nl != std::string::npos) {
      std::string line = out.substr(0, nl);
      out.erase(0, nl + 1);
      return line;
    }
    const long long left = deadline - now_ms();
    if (left <= 0 || out_fd_ < 0)
      return {};
    pump(static_cast<int>(left));
  }
}

bool Child::wait_for_output(const std::string& text, int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  while (out.find(text) == std::string::npos) {
    const long long left = deadline - now_ms();
    if (left <= 0 || out_fd_ < 0)
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
  const long long deadline = now_ms() + timeout_ms;
  while (!reaped_ || out_fd_ >= 0 || err_fd_ >= 0) {
    if (!reaped_) {
      int st;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
    }
    const long long left = deadline - now_ms();
    if (left <= 0) {
      if (!reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
        status_ = -1;
      }
      return status_;
    }
    pump(static_cast<int>(left < 20 ? left : 20));
  }
  return status_;
}

}  // namespace korvel::testing
