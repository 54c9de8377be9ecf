// zemlot-sim run as a child process, talked to through its pseudo-terminal like the loader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "frames.h"
#include "process.h"

namespace zemlot {
namespace {

using korvel::testing::Child;
using namespace test;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 5000;

Child sim(std::vector<std::string> args) {
  args.insert(args.begin(), ZEMLOT_SIM_PATH);
  return Child(args);
}

// Raw, and a read gives up after 5 s without a byte.
int open_raw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 50;
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// Sends a frame and reads n bytes back, or what came before 5 s of silence.
Bytes ask(int fd, const Frame& f, size_t n = 7) {
  EXPECT_EQ(::write(fd, f.data(), f.size()), 16);
  Bytes got(n);
  size_t have = 0;
  for (ssize_t r; have < n && (r = ::read(fd, got.data() + have, n - have)) > 0;)
    have += static_cast<size_t>(r);
  got.resize(have);
  return got;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Program, AnswersOnItsPseudoTerminalTracesAndSummarisesOnSigterm) {
  Child s = sim({"--no-pacing", "--trace"});
  const std::string path = s.read_line(kTimeoutMs);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  const int fd = open_raw(path);
  ASSERT_GE(fd, 0);
  Frame bad = command(0x01);
  bad[15] ^= 0x10;
  ASSERT_EQ(::write(fd, bad.data(), 16), 16);
  EXPECT_EQ(ask(fd, command(0x10)), reply(1, 0xE3, 0));
  EXPECT_EQ(ask(fd, command(0x01)), (Bytes{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
  EXPECT_EQ(ask(fd, command(0x06)), reply(1, 0x06, 0));
  EXPECT_EQ(ask(fd, command(0x10)), reply(1, 0x10, 2));  // without --exit-on-goto it stays
  ::close(fd);
  for (const char* line :
       {"-> 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 bc  ignored: bad CRC (ac expected)",
        "-> 01 10 00 00 00 00 00 00 00 00 00 00 00 00 00 72  #1 CMD_GET_BLID",
        "<- 01 e3 00 00 00 00 a3  #1 refused: e3 not activated",
        "-> 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 ac  #2 CMD_ACTIVATE",
        "<- 01 01 00 00 00 00 fa  #2 ok"})
    EXPECT_EQ(s.read_line(kTimeoutMs), line);

  s.signal(SIGTERM);
  EXPECT_EQ(s.wait(kTimeoutMs), 0);
  EXPECT_TRUE(contains(s.out,
                       "zemlot-sim summary\n"
                       "frames: 5 (ignored: 1 bad CRC, 0 other address, 0 silent)\n"))
      << s.out;
  EXPECT_TRUE(contains(s.out, "\ncommands: activate 1, get_blid 2, get_keyid 0,")) << s.out;
  EXPECT_TRUE(contains(s.out, "\nrefused: 1\n")) << s.out;
  EXPECT_TRUE(contains(s.out, "\napplication started: yes\n")) << s.out;
}

// The time from our write to the last byte of what comes back, the best of three tries.
double fastest_answer(const std::vector<std::string>& args, size_t bytes) {
  Child s = sim(args);
  const int fd = open_raw(s.read_line(kTimeoutMs));
  EXPECT_GE(fd, 0);
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = Clock::now();
    EXPECT_EQ(ask(fd, command(0x01), bytes).size(), bytes);
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  ::close(fd);
  return best;
}

TEST(Program, PacesRepliesAtTheLineRate) {
  // Paced, the 7th byte cannot go out before six byte times (6.25 ms), however busy the machine.
  EXPECT_GE(fastest_answer({"--reply-delay-ms", "0"}, 7), 6.0);
  // 60 bytes of noise before each reply: at least 69 ms paced, a couple of writes unpaced.
  const std::string noise = "1-3:" + std::string(120, '5');
  const double paced = fastest_answer({"--reply-delay-ms", "0", "--noise", noise}, 67);
  const double unpaced =
      fastest_answer({"--reply-delay-ms", "0", "--no-pacing", "--noise", noise}, 67);
  EXPECT_GE(paced, 66 * 1.04);
  EXPECT_LT(unpaced * 2, paced);
}

TEST(Program, ExitsAfterTheGotoReplyWithExitOnGoto) {
  Child s = sim({"--exit-on-goto", "--no-pacing"});
  const int fd = open_raw(s.read_line(kTimeoutMs));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ask(fd, command(0x06)), reply(1, 0xE3, 0));  // refused: no exit
  EXPECT_EQ(ask(fd, command(0x01)), reply(1, 0x01, 0));
  EXPECT_EQ(ask(fd, command(0x06)), (Bytes{0x01, 0x06, 0, 0, 0, 0, 0xAB}));
  EXPECT_EQ(s.wait(kTimeoutMs), 0);
  EXPECT_TRUE(contains(s.out, "goto_application 2,")) << s.out;
  EXPECT_TRUE(contains(s.out, "\napplication started: yes\n")) << s.out;
  ::close(fd);
}

TEST(Program, HelpSaysTheCipherIsAStandInAndBadStartsEndAtOnce) {
  Child help = sim({"--help"});
  EXPECT_EQ(help.wait(kTimeoutMs), 0);
  Child version = sim({"--version"});
  EXPECT_EQ(version.wait(kTimeoutMs), 0);
  EXPECT_EQ(version.out.rfind("zemlot-sim ", 0), 0u) << version.out;
  for (const char* part : {"stand-in for tests", "XTEA", "NOT the real device's cipher"})
    EXPECT_TRUE(contains(help.out, part)) << help.out;
  // A dump file that could not be written at the end is refused at the start.
  char taken[] = "/tmp/zemlot_dump.XXXXXX";  // exists, and must survive
  ASSERT_EQ(::write(::mkstemp(taken), "keep", 4), 4);
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--split", "1:9:5"}, 2},
      {{"extra"}, 2},
      {{"--dump", taken}, 1},
      {{"--dump", "/dev/null", "--force"}, 1},
      {{"--dump", "/nonexistent/flash.bin"}, 1},
      {{"--port", "/nonexistent/tty"}, 1}};
  for (const auto& [args, status] : cases) {
    SCOPED_TRACE(args.back());
    Child s = sim(args);
    EXPECT_EQ(s.wait(kTimeoutMs), status);
    EXPECT_TRUE(s.out.empty()) << s.out;
    EXPECT_EQ(s.err.rfind("zemlot-sim: ", 0), 0u) << s.err;
    EXPECT_EQ(std::count(s.err.begin(), s.err.end(), '\n'), 1) << s.err;
  }
  EXPECT_EQ(std::filesystem::file_size(taken), 4u);
  ::unlink(taken);
}

}  // namespace
}  // namespace zemlot
