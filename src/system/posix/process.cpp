// korvel-gang's processes on POSIX systems: fork and exec, each loader in a process group of its
// own, so that the terminal's Ctrl+C reaches the gang alone and the gang stops each loader.
#include "system/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "common/fd.h"
#include "signal_pipe.h"

extern char** environ;

namespace korvel::gang {

namespace {

class PosixChild final : public Child {
 public:
  explicit PosixChild(pid_t pid) : pid_(pid) {}
  ~PosixChild() override {
    if (!status_) {
      ::kill(pid_, SIGINT);
      int st = 0;
      ::waitpid(pid_, &st, 0);
    }
  }
  void interrupt() override {
    if (!status_)
      ::kill(pid_, SIGINT);
  }
  std::optional<int> exit_status() override {
    int st = 0;
    if (!status_ && ::waitpid(pid_, &st, WNOHANG) == pid_)
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }

 private:
  pid_t pid_;
  std::optional<int> status_;
};

// The environment with `add` in it, a variable of the same name replaced.
std::vector<std::string> environment_with(const std::vector<std::string>& add) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string var = *e;
    const std::string name = var.substr(0, var.find('='));
    bool replaced = false;
    for (const std::string& a : add)
      replaced = replaced || a.substr(0, a.find('=')) == name;
    if (!replaced)
      env.push_back(var);
  }
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings)
    p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

std::unique_ptr<Child> start_child(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env, const std::string& input,
                                   const std::string& output, std::string* why) {
  std::vector<std::string> args = argv, vars = environment_with(env);
  std::vector<char*> arg_p = pointers(args), env_p = pointers(vars);
  common::Fd in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
  common::Fd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  int ends[2] = {-1, -1};  // the exec's failure, if any, reaches the parent through it
  const bool piped = in.valid() && out.valid() && ::pipe2(ends, O_CLOEXEC) == 0;
  common::Fd report(ends[0]), report_w(ends[1]);
  if (!piped) {
    *why = (!in.valid() ? input + ": " : !out.valid() ? output + ": " : "") + std::strerror(errno);
    return nullptr;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in.get(), 0);
    ::dup2(out.get(), 1);
    ::dup2(out.get(), 2);
    environ = env_p.data();
    ::execvp(arg_p[0], arg_p.data());
    const int err = errno;
    (void)!::write(report_w.get(), &err, sizeof err);
    ::_exit(127);
  }
  const int fork_errno = errno;
  // The child holds its own copies; the read below ends when its exec closes the last writer.
  in.reset();
  out.reset();
  report_w.reset();
  if (pid < 0) {
    *why = std::strerror(fork_errno);
    return nullptr;
  }
  ::setpgid(pid, pid);  // as the child does: whichever runs first
  int err = 0;
  const ssize_t n = ::read(report.get(), &err, sizeof err);
  if (n == static_cast<ssize_t>(sizeof err)) {
    int st = 0;
    ::waitpid(pid, &st, 0);
    *why = args[0] + ": " + std::strerror(err);
    return nullptr;
  }
  return std::make_unique<PosixChild>(pid);
}

void arm_interrupt() {
  (void)signal_pipe::install();
}

bool interrupted() {
  return signal_pipe::first() != 0;
}

void pause_ms(uint32_t ms) {
  pollfd p{signal_pipe::fd(), POLLIN, 0};
  (void)::poll(&p, p.fd >= 0 ? 1 : 0, static_cast<int>(ms));
}

bool output_is_terminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

std::string default_loader() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0)
    return "korvel";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "korvel";
}

}  // namespace korvel::gang
