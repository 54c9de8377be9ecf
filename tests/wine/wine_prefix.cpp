#include "wine_prefix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "process.h"

extern char** environ;

namespace korvel::testing {

namespace fs = std::filesystem;

namespace {

std::string search(const std::string& name, const std::vector<std::string>& also) {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::string p = path;
    size_t start = 0;
    for (;;) {
      const size_t colon = p.find(':', start);
      dirs.push_back(p.substr(start, colon == std::string::npos ? colon : colon - start));
      if (colon == std::string::npos)
        break;
      start = colon + 1;
    }
  }
  dirs.insert(dirs.end(), also.begin(), also.end());
  for (const auto& d : dirs) {
    if (d.empty())
      continue;
    const std::string candidate = d + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate))
      return candidate;
  }
  return {};
}

// Runs a program with nothing on its standard input and output and its standard error
// appended to `log`. Wine's server and its service processes outlive the program that
// started them and keep whatever streams they inherited: a pipe here would never reach its
// end. Returns the exit status, or -1 when the program had to be killed after timeout_ms.
int run_quietly(const std::vector<std::string>& argv, const std::string& log, int timeout_ms) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0)
    return -1;
  const long long deadline = now_ms() + timeout_ms;
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid)
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (now_ms() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
    usleep(20000);
  }
}

std::string tail_of(const std::string& path, size_t n) {
  std::ifstream f(path, std::ios::binary);
  const std::string all{std::istreambuf_iterator<char>(f), {}};
  return all.size() > n ? all.substr(all.size() - n) : all;
}

}  // namespace

WineTools find_wine() {
  WineTools t;
  const std::vector<std::string> debian = {"/usr/lib/wine", "/usr/lib64/wine"};
  t.wine = search("wine64", debian);
  if (t.wine.empty()) {
    t.problem = "wine64 is not installed (looked in PATH, /usr/lib/wine and /usr/lib64/wine)";
    return t;
  }
  // The server that belongs to this loader sits beside it.
  const std::string beside = fs::path(t.wine).parent_path().string();
  t.wineserver = search("wineserver", {});
  const std::string own = beside + "/wineserver";
  if (access(own.c_str(), X_OK) == 0)
    t.wineserver = own;
  if (t.wineserver.empty())
    t.problem = "wineserver was not found beside " + t.wine + " or in PATH";
  return t;
}

WinePrefix::WinePrefix(WineTools tools, std::string dir)
    : tools_(std::move(tools)),
      dir_(std::move(dir)),
      prefix_(dir_ + "/prefix"),
      log_(dir_ + "/wine.log") {}

WinePrefix::~WinePrefix() {
  remove();
}

std::string WinePrefix::boot() {
  // Every Wine program started from now on, ours or the tests', works in this prefix
  // only, says nothing about itself, and never opens a window or touches the user's menus.
  setenv("WINEPREFIX", prefix_.c_str(), 1);
  setenv("WINESERVER", tools_.wineserver.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree=d;mshtml=d", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");

  // The server works from inside the prefix, so the folder must exist before it starts.
  std::error_code ec;
  fs::create_directories(prefix_, ec);
  if (ec)
    return "cannot create " + prefix_ + ": " + ec.message();
  server_started_ = true;
  // -p: the server stays up between our runs instead of shutting down after each one.
  if (const int rc = run_quietly({tools_.wineserver, "-p"}, log_, 30000); rc != 0)
    return "wineserver -p failed (status " + std::to_string(rc) + "): " + tail_of(log_, 2000);
  if (const int rc = run_quietly({tools_.wine, "wineboot", "-i"}, log_, 180000); rc != 0)
    return "wineboot -i failed (status " + std::to_string(rc) + "): " + tail_of(log_, 2000);
  if (!fs::is_directory(prefix_ + "/dosdevices"))
    return "wineboot left no " + prefix_ + "/dosdevices: " + tail_of(log_, 2000);
  // The first program with a console starts a few more helpers; let them start here, away
  // from the pipes of the runs under test.
  (void)run_quietly({tools_.wine, "cmd", "/c", "color", "07"}, log_, 60000);
  return {};
}

std::string WinePrefix::dos_device(const std::string& dos_name) const {
  return prefix_ + "/dosdevices/" + dos_name;
}

bool WinePrefix::map_port(const std::string& dos_name, const std::string& device) {
  std::error_code ec;
  fs::remove(dos_device(dos_name), ec);
  fs::create_symlink(device, dos_device(dos_name), ec);
  return !ec;
}

bool WinePrefix::port_mapped(const std::string& dos_name) const {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(dos_device(dos_name), ec));
}

std::vector<std::string> WinePrefix::command(const std::string& exe,
                                             const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {tools_.wine, exe};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

void WinePrefix::remove() {
  if (server_started_) {
    server_started_ = false;
    (void)run_quietly({tools_.wineserver, "-k"}, log_, 30000);
    (void)run_quietly({tools_.wineserver, "-w"}, log_, 30000);
  }
  std::error_code ec;
  fs::remove_all(prefix_, ec);
}

}  // namespace korvel::testing
