#pragma once
// Scratch directories, whole-file I/O and child processes with a deadline, for the cct tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace cct_test {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "cct_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const fs::path& path() const { return path_; }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(path_))
      names.insert(e.path().filename().string());
    return names;
  }

 private:
  fs::path path_;
};

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::string read_text(const std::string& path) {
  const auto bytes = read_file(path);
  return {bytes.begin(), bytes.end()};
}

// A distinct, non-repeating-looking byte pattern so that misplaced bytes show.
inline std::vector<uint8_t> pattern_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i * 37 + 11 + (i >> 8));
  return v;
}

struct ChildResult {
  bool timed_out = false;
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out;
  std::string err;
};

// Runs body in a forked child with stdout and stderr captured (stdout goes to stdout_path
// when one is given) and kills it when the deadline passes, so a hang fails the test
// instead of stalling the run.
inline ChildResult run_child(const std::function<int()>& body, const std::string& scratch,
                             std::chrono::milliseconds deadline = std::chrono::seconds(20),
                             const std::string& stdout_path = "") {
  const std::string out_path = stdout_path.empty() ? scratch + "/.child_out" : stdout_path;
  const std::string err_path = scratch + "/.child_err";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0)
      ::_exit(125);
    ::dup2(out, 1);
    ::dup2(err, 2);
    const int rc = body();
    std::fflush(nullptr);
    ::_exit(rc);
  }
  ChildResult r;
  if (pid < 0)
    return r;
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!r.timed_out && WIFEXITED(wstatus))
    r.status = WEXITSTATUS(wstatus);
  if (stdout_path.empty()) {
    r.out = read_text(out_path);
    ::unlink(out_path.c_str());
  }
  r.err = read_text(err_path);
  ::unlink(err_path.c_str());
  return r;
}

}  // namespace cct_test
