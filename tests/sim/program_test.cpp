// zemlot-sim run as a child process, talked to through its pseudo-terminal like the loader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "stand_in_cipher.h"

extern char** environ;

namespace zemlot {
namespace {

using Clock = std::chrono::steady_clock;
using test::command;
using test::Frame;
using test::parse_reply;

constexpr int kTimeoutMs = 5000;

class Sim {
 public:
  explicit Sim(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) {
      posix_spawn_file_actions_addclose(&fa, fd);
    }
    std::vector<std::string> all = {ZEMLOT_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, ZEMLOT_SIM_PATH, &fa, nullptr, argv.data(), environ) != 0) {
      ADD_FAILURE() << "cannot start " << ZEMLOT_SIM_PATH;
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~Sim() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // The next line of standard output, without its newline; empty on timeout or end.
  std::string line() {
    const auto until = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    for (;;) {
      if (const size_t nl = out_buf_.find('\n'); nl != std::string::npos) {
        std::string l = out_buf_.substr(0, nl);
        out_buf_.erase(0, nl + 1);
        return l;
      }
      if (!fill(out_, out_buf_, until)) {
        return {};
      }
    }
  }

  // Everything up to the end of standard output.
  std::string rest_of_output() {
    const auto until = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (fill(out_, out_buf_, until)) {
    }
    return std::exchange(out_buf_, {});
  }

  std::string errors() {
    std::string s;
    const auto until = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (fill(err_, s, until)) {
    }
    return s;
  }

  void signal(int sig) { kill(pid_, sig); }

  bool running() { return pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == 0; }

  // The exit status, or -1 when it has not ended in time or died of a signal.
  int wait() {
    const auto until = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    while (pid_ > 0) {
      const pid_t r = waitpid(pid_, &status_, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
      }
      if (Clock::now() > until) {
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  static bool fill(int fd, std::string& buf, Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
      return false;
    }
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      return false;
    }
    buf.append(chunk, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int status_ = 0;
  int out_ = -1;
  int err_ = -1;
  std::string out_buf_;
};

int open_raw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    return fd;
  }
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Reads n bytes or until the time is up.
std::vector<uint8_t> read_bytes(int fd, size_t n, int timeout_ms = kTimeoutMs) {
  std::vector<uint8_t> got;
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got.size() < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
      break;
    }
    uint8_t buf[64];
    const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) {
      break;
    }
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

std::vector<uint8_t> ask(int fd, const Frame& f) {
  EXPECT_EQ(::write(fd, f.data(), f.size()), 16);
  return read_bytes(fd, 7);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Program, AnswersOnItsPseudoTerminalAndSummarisesOnSigterm) {
  Sim sim({"--no-pacing"});
  const std::string path = sim.line();
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  int fd = open_raw(path);
  ASSERT_GE(fd, 0);
  Frame bad = command(0x01);
  bad[15] ^= 0x10;
  ASSERT_EQ(::write(fd, bad.data(), 16), 16);
  EXPECT_EQ(parse_reply(ask(fd, command(0x10))).code, 0xE3);
  EXPECT_EQ(ask(fd, command(0x01)), (std::vector<uint8_t>{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
  // The loader goes away and comes back: the line must still be there.
  ::close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  fd = open_raw(path);
  ASSERT_GE(fd, 0);
  const auto blid = parse_reply(ask(fd, command(0x10)));
  EXPECT_EQ(blid.code, 0x10);
  EXPECT_EQ(blid.value, 2u);
  ::close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(sim.running());

  sim.signal(SIGTERM);
  const std::string out = sim.rest_of_output();
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_TRUE(contains(out, "zemlot-sim summary\n")) << out;
  EXPECT_TRUE(contains(out, "\nframes: 4 (ignored: 1 bad CRC, 0 other address, 0 silent)\n"))
      << out;
  EXPECT_TRUE(contains(out, "\ncommands: activate 1, get_blid 2, get_keyid 0,")) << out;
  EXPECT_TRUE(contains(out, "\nrefused: 1\n")) << out;
  EXPECT_TRUE(contains(out, "\napplication started: no\n")) << out;
}

// The time from our write to the last byte of what comes back, the best of three tries.
double fastest_answer(const std::vector<std::string>& args, size_t bytes) {
  Sim sim(args);
  const int fd = open_raw(sim.line());
  EXPECT_GE(fd, 0);
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const Frame f = command(0x01);
    const auto t0 = Clock::now();
    EXPECT_EQ(::write(fd, f.data(), 16), 16);
    EXPECT_EQ(read_bytes(fd, bytes).size(), bytes);
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  ::close(fd);
  return best;
}

TEST(Program, PacesRepliesAtTheLineRate) {
  // Paced, the last of 7 bytes cannot go out before six byte times (6.25 ms) have passed,
  // however busy the machine; that bound holds exactly, the upper ones only loosely.
  EXPECT_GE(fastest_answer({"--reply-delay-ms", "0"}, 7), 6.0);
  // 60 bytes of noise before each reply make the difference too large for a busy machine
  // to hide: at least 69 ms paced, a couple of writes unpaced.
  const std::string noise = "1-3:" + std::string(120, '5');
  const double paced = fastest_answer({"--reply-delay-ms", "0", "--noise", noise}, 67);
  const double unpaced =
      fastest_answer({"--reply-delay-ms", "0", "--no-pacing", "--noise", noise}, 67);
  EXPECT_GE(paced, 66 * 1.04);
  EXPECT_LT(unpaced * 2, paced);
}

TEST(Program, ExitsAfterTheGotoReplyWithExitOnGoto) {
  Sim sim({"--exit-on-goto", "--no-pacing"});
  const int fd = open_raw(sim.line());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(parse_reply(ask(fd, command(0x06))).code, 0xE3);  // refused: no exit
  EXPECT_EQ(parse_reply(ask(fd, command(0x01))).code, 0x01);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(sim.running());
  EXPECT_EQ(ask(fd, command(0x06)), (std::vector<uint8_t>{0x01, 0x06, 0, 0, 0, 0, 0xAB}));
  EXPECT_EQ(sim.wait(), 0);
  const std::string out = sim.rest_of_output();
  EXPECT_TRUE(contains(out,
                       "\ncommands: activate 1, get_blid 0, get_keyid 0, unblock_flash 0, "
                       "erase_page 0, write_block 0, get_crc 0, goto_application 2,"))
      << out;
  EXPECT_TRUE(contains(out, "\napplication started: yes\n")) << out;
  ::close(fd);
}

TEST(Program, VanishAfterHangsUpTheLoadersLine) {
  Sim sim({"--vanish-after", "2", "--no-pacing"});
  const int fd = open_raw(sim.line());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(parse_reply(ask(fd, command(0x01))).code, 0x01);
  EXPECT_EQ(parse_reply(ask(fd, command(0x10))).code, 0x10);  // the last reply arrives
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kTimeoutMs), 1);
  EXPECT_NE(p.revents & POLLHUP, 0) << p.revents;
  const Frame f = command(0x10);
  EXPECT_EQ(::write(fd, f.data(), 16), -1);
  EXPECT_EQ(errno, EIO);
  ::close(fd);
  EXPECT_TRUE(sim.running());  // the line is gone, the program is not
  sim.signal(SIGINT);
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_TRUE(contains(sim.rest_of_output(), "\nframes: 2 ("));
}

TEST(Program, BadCommandLinesExitWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"--split", "1:9:5"}, {"--key", "xyz"}, {"--netnum"}, {"extra"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    Sim sim(args);
    const std::string out = sim.rest_of_output();
    const std::string err = sim.errors();
    EXPECT_EQ(sim.wait(), 2);
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(err.rfind("zemlot-sim: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(Program, HelpSaysTheCipherIsAStandIn) {
  Sim sim({"--help"});
  const std::string out = sim.rest_of_output();
  EXPECT_EQ(sim.wait(), 0);
  EXPECT_TRUE(contains(out, "stand-in for tests")) << out;
  EXPECT_TRUE(contains(out, "XTEA"));
  EXPECT_TRUE(contains(out, "NOT the real device's cipher"));
}

TEST(Program, TraceShowsBothDirections) {
  Sim sim({"--trace", "--no-pacing"});
  const int fd = open_raw(sim.line());
  ASSERT_GE(fd, 0);
  ask(fd, command(0x01));
  ask(fd, command(0x03, 0x08001000));
  EXPECT_EQ(sim.line(), "-> 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 ac  #1 CMD_ACTIVATE");
  EXPECT_EQ(sim.line(), "<- 01 01 00 00 00 00 fa  #1 ok");
  const std::string erase = sim.line();
  EXPECT_TRUE(contains(erase, "#2 CMD_ERASE_PAGE page 4 (0x08001000)")) << erase;
  EXPECT_EQ(sim.line(), "<- 01 e1 00 00 00 00 20  #2 refused: e1 flash locked");
  ::close(fd);
}

TEST(Program, DumpWritesTheFlashImage) {
  char name[] = "/tmp/zemlot-dump-XXXXXX";
  const int tmp = mkstemp(name);
  ASSERT_GE(tmp, 0);
  ::close(tmp);
  const test::Data block = {1, 2, 3, 4, 5, 6, 7, 8};
  {
    Sim sim({"--no-pacing", "--dump", name});
    const int fd = open_raw(sim.line());
    ASSERT_GE(fd, 0);
    test::Data enc = block;
    korvel::cipher::encipher_block(korvel::cipher::kDefaultKey, enc.data());
    ask(fd, command(0x01));
    ask(fd, command(0x02));
    ask(fd, command(0x03, 0x08001400));
    EXPECT_EQ(parse_reply(ask(fd, command(0x04, 0x08001408, enc))).code, 0x04);
    ::close(fd);
    sim.signal(SIGTERM);
    sim.rest_of_output();
    ASSERT_EQ(sim.wait(), 0);
  }
  std::ifstream in(name, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  std::remove(name);
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(image[0x1400], 0xFF);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + 0x1408));
  EXPECT_EQ(std::count(image.begin(), image.end(), 0xFF), 65536 - 8);
}

}  // namespace
}  // namespace zemlot
