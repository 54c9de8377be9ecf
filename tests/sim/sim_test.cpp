// zemlot-sim as its user meets it: the program on a port, and what it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "bytes.h"
#include "cli.h"
#include "process.h"
#include "wire/crc8.h"
#include "wire/endian.h"

namespace zemlot {
namespace {

using korvel::testing::command_frame;

// Its options do what the help says. A read of 0 (an end-of-file mark on a line set cooked) is
// no hang-up; when the other end goes away it says so, and serves no more.
TEST(Program, ServesASerialPortAsItsOptionsSayUntilItHangsUp) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0);
  const std::string port = ptsname(fd);
  const korvel::testing::ScratchDir scratch;
  const std::string dump = scratch.file("zemlot_flash");
  const std::string options =
      " --trace --netnum 0257 --blid=0x7 --key-version 9 --silent 1 --drop-reply 6 --force"
      " --refuse 0x11:1:E4 --wrong-address 3 --bad-crc 7 --noise 2:0xaa55 --split 4:3:0 --split "
      "99:1:600000"
      " --reply-delay-ms 200 --work-ms blid=40 --delay-reply 9:200 --busy queued --latency-ms 1 "
      "--seed 7";
  korvel::testing::Child sim(
      korvel::testing::words(ZEMLOT_SIM_PATH, "--port " + port + " --dump " + dump + options));
  EXPECT_EQ(sim.read_line(2000), port);
  const int slave = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  tio.c_lflag |= ICANON;
  tcsetattr(slave, TCSANOW, &tio);
  EXPECT_EQ(::write(fd, "\x04", 1), 1);
  usleep(100000);
  tio.c_lflag &= ~ICANON;
  tcsetattr(slave, TCSANOW, &tio);
  // A bad CRC, one swallowed, a goto too early, a write to a page not erased, a bad checksum
  // query, goto, still there: all at once, answered after the last has arrived.
  std::vector<uint8_t> frames = command_frame(0x06);
  frames[15] ^= 0x10;
  for (const int code : {1, 6, 1, 2, 4, 5, 6, 0x10, 0x11, 0x11})
    std::ranges::copy(command_frame(static_cast<uint8_t>(code), code == 4 ? 0x08001000u : 0u),
                      std::back_inserter(frames));
  const long long t0 = korvel::testing::now_ms();
  EXPECT_EQ(::write(fd, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
  // Each frame takes 16.7 ms to arrive and each reply 7.3 ms to leave, after the delay.
  EXPECT_TRUE(sim.wait_for_output("#1 refused", 5000));
  EXPECT_GE(korvel::testing::now_ms() - t0, 50 + 200 + 7);  // three frames in, one reply out
  EXPECT_TRUE(sim.wait_for_output("#8 refused", 5000));
  EXPECT_GE(korvel::testing::now_ms() - t0, 150 + 200 + 40 + 14);  // blid's work, two replies
  EXPECT_TRUE(sim.wait_for_output("#9 ok", 5000));
  EXPECT_GE(korvel::testing::now_ms() - t0, 183 + 200 + 200);  // 200 ms after its usual time
  ::close(slave);
  ::close(fd);
  usleep(200000);
  EXPECT_EQ(sim.wait(5000, SIGTERM), 0);
  EXPECT_EQ(sim.err, "zemlot-sim: " + port + " hung up\n");
  EXPECT_EQ(std::filesystem::file_size(dump), 65536u);
  for (const char* line :
       {"-> 01 06 00 00 00 00 00 00 00 00 00 00 00 00 00 78  ignored: bad CRC (68 expected)\n",
        "ms  <- 01 e3 00 00 00 00 a3  #1 refused: e3 not activated\n", "ms  <- aa 55  noise\n",
        "ms  <- 02 02 00 00 00 00 ed  #3 ok (wrong address)\n",
        "  #4 refused: e6 page not erased (rest)\n",
        "ms  <- 01 e5 00 00 00 00 3f  #5 refused: e5 CRC range outside the flash\n",
        "ms     #6 reply withheld\n", "ms  <- 01 10 00 00 00 07 92  #7 ok (bad CRC-8)\n",
        "  #8 refused: e4 unknown command\n", "ms  <- 01 11 00 00 00 39 a4  #9 ok\n",
        "\nframes: 11 (ignored: 1 bad CRC, 0 other address, 1 silent)\npartial frames dropped: 0\n"
        "commands: activate 1, get_blid 1, get_keyid 2, unblock_flash 1, erase_page 0, write_block "
        "1, get_crc 1, goto_application 2, unknown 0\nrefused: 4 (own 3)\nreplies dropped: 1\n"
        "pages erased: 0 (erase commands: 0)\nblocks written: 0\nrewrites refused: 0\n"})
    EXPECT_NE(sim.out.find(line), std::string::npos) << sim.out;
}

// With --exit-on-goto it ends by itself once the device has jumped, its reply sent or not.
TEST(Program, EndsOnceTheDeviceJumpsWithExitOnGoto) {
  const korvel::testing::ScratchDir scratch;
  const std::string image = scratch.file("image.bin"), cct = scratch.file("boot.cct");
  std::ofstream(image, std::ios::binary) << std::string(16, '\x5A');
  ASSERT_EQ(korvel::testing::Child({CCT_PATH, "make", "--in", image, "--out", cct}).wait(9000), 0);
  for (const char* more : {"", " --drop-reply 10 --after-goto silent"}) {  // the 10th: the jump
    korvel::testing::Child sim(
        korvel::testing::words(ZEMLOT_SIM_PATH, std::string("--exit-on-goto") + more));
    const std::string pty = sim.read_line(5000);
    korvel::testing::Child loader({KORVEL_PATH, pty, "1", cct, "P"},
                                  {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"});
    loader.write_input("Y\n");
    EXPECT_EQ(sim.wait(20000), 0) << more << sim.err;
    EXPECT_NE(sim.out.find("application started: yes"), std::string::npos) << more << sim.out;
    const int status = loader.wait(20000, *more ? SIGTERM : 0);
    EXPECT_TRUE(*more ||
                (status == 0 && loader.out.find("Подтверждение получено\n") != std::string::npos))
        << loader.out;
  }
}

// Options the parser refuses, each with one line naming it; and what the new options take.
TEST(Options, TheParserTakesWhatTheHelpSaysAndNamesWhatItRefuses) {
  const char* const bad[] = {"--split 1:3:600001",
                             "--split 1:0:5",
                             "--split 1:7:5",
                             "--netnum -1",
                             "--key 0011",
                             "--key 0123456789ABCDEF0123456789abcdeG",
                             "--refuse 3:2",
                             "--refuse 11:0:E4",
                             "--drop-reply 5-3",
                             "--reply-delay-ms 60001",
                             "--n",
                             "--work-ms flash=3",
                             "--busy idle",
                             "--latency-ms 1001",
                             "--help=x",
                             "--bogus=3",
                             "stray",
                             "--after-goto app",
                             "--rewrite or",
                             "--crc-before-unlock maybe",
                             "--busy-after-reply write",
                             "--bad-crc 0"};
  for (const char* line : bad) {
    std::vector<std::string> args = korvel::testing::words("zemlot-sim", line);
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    const ParseResult r = parse_command_line(static_cast<int>(argv.size()), argv.data());
    const std::string culprit = args[1].substr(0, args[1].find('='));
    EXPECT_FALSE(r.ok) << line;
    EXPECT_TRUE(r.error.find(culprit) != std::string::npos && r.error.find('\n') == r.error.npos)
        << line << ": " << r.error;
  }
  std::vector<std::string> args = korvel::testing::words(
      "zemlot-sim",
      "--after-goto chatter --rewrite and --crc-before-unlock ignore --busy-after-reply "
      "write=20,erase=3 --bad-crc 2-3 --holds x.cct --no-pacing");
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  const ParseResult r = parse_command_line(static_cast<int>(argv.size()), argv.data());
  ASSERT_TRUE(r.ok) << r.error;
  const Options& o = r.options.model;
  EXPECT_EQ(o.after_goto, AfterGoto::Chatter);
  EXPECT_EQ(o.rewrite, Rewrite::And);
  EXPECT_EQ(o.crc_before_unlock, CrcBeforeUnlock::Ignore);
  EXPECT_EQ(o.busy_after_reply_ms, (std::map<uint8_t, uint32_t>{{korvel::CMD_WRITE_BLOCK, 20},
                                                                {korvel::CMD_ERASE_PAGE, 3}}));
  EXPECT_EQ(o.faults.bad_crc, (std::set<uint32_t>{2, 3}));
  EXPECT_EQ(r.options.holds, "x.cct");
  EXPECT_EQ(o.line.baud, 0u);  // no wire time at all
}

// A bad start ends at once, one line naming the culprit: 2 for an option, 1 for a file or port.
TEST(Program, RefusesABadStartWithOneLine) {
  const korvel::testing::ScratchDir scratch;
  const std::string taken = scratch.file("zemlot_dump");
  std::ofstream(taken) << "keep";
  std::ofstream(scratch.file("short.cct")) << "too short";
  const std::pair<int, std::vector<std::string>> cases[] = {
      {2, {"--split 1:3:600001"}},
      {1,
       {"--dump " + taken, "--dump /dev/null --force", "--port /nonexistent/tty",
        "--port /nonexistent/tty --dump " + scratch.file("fresh"),
        "--port /nonexistent/tty --dump " + taken + " --force",
        "--holds " + scratch.file("short.cct")}}};
  for (const auto& [status, lines] : cases)
    for (const std::string& line : lines) {
      const std::vector<std::string> args = korvel::testing::words(ZEMLOT_SIM_PATH, line);
      korvel::testing::Child s(args);
      EXPECT_EQ(s.wait(5000), status) << line;
      const std::string culprit = args[status == 1 ? 2 : 1].substr(0, args[1].find('='));
      EXPECT_TRUE(s.err.starts_with("zemlot-sim: ") && s.err.find(culprit) != std::string::npos &&
                  s.err.find('\n') == s.err.size() - 1)
          << s.err;
    }
  // The dump it made for a run that never started goes again; the one it was told to keep stays.
  EXPECT_FALSE(std::filesystem::exists(scratch.file("fresh")));
  std::ifstream kept(taken);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

}  // namespace
}  // namespace zemlot
