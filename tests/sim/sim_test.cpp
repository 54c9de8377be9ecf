// zemlot-sim as its user meets it: its options, and the program on its pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>

#include "cli.h"
#include "lib/crc8.h"
#include "process.h"
#include "stand_in_cipher.h"

namespace zemlot {
namespace {

using Bytes = std::vector<uint8_t>;
using korvel::testing::Child;

// A command frame to address 1 (16 bytes), or a reply from it (7) with a value below 256.
Bytes frame(uint8_t code, size_t size = 16, uint8_t value = 0) {
  Bytes f(size, 0);
  f[0] = 1;
  f[1] = code;
  f[size - 2] = value;
  f.back() = korvel::dallas_crc8(f.data(), static_cast<int32_t>(size - 1));
  return f;
}

Child sim(std::vector<std::string> args) {
  args.insert(args.begin(), ZEMLOT_SIM_PATH);
  return Child(args);
}

int open_raw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  EXPECT_EQ(tcgetattr(fd, &tio), 0) << path;
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// Sends a frame, and reads n bytes back or what came before 2 s of silence.
Bytes ask(int fd, const Bytes& f, size_t n = 7) {
  EXPECT_EQ(::write(fd, f.data(), f.size()), static_cast<ssize_t>(f.size()));
  Bytes got(n);
  size_t have = 0;
  for (pollfd p{fd, POLLIN, 0}; have<n&& ::poll(&p, 1, 2000)> 0;)
    have += static_cast<size_t>(std::max<ssize_t>(0, ::read(fd, &got[have], n - have)));
  got.resize(have);
  return got;
}

TEST(Program, AnswersOnItsPseudoTerminalTracesAndSummarisesOnSigterm) {
  Child s = sim({"--no-pacing", "--trace"});
  const int fd = open_raw(s.read_line(2000));
  Bytes bad_crc = frame(0x01);
  bad_crc[15] ^= 0x10;
  EXPECT_EQ(ask(fd, bad_crc, 0), Bytes{});
  EXPECT_EQ(ask(fd, frame(0x10)), frame(0xE3, 7));  // not activated
  EXPECT_EQ(ask(fd, frame(0x01)), (Bytes{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
  EXPECT_EQ(ask(fd, frame(0x06)), frame(0x06, 7));
  EXPECT_EQ(ask(fd, frame(0x10)), frame(0x10, 7, 2));  // still there
  ::close(fd);
  EXPECT_EQ(s.read_line(2000),
            "-> 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 bc  ignored: bad CRC (ac expected)");
  EXPECT_EQ(s.read_line(2000),
            "-> 01 10 00 00 00 00 00 00 00 00 00 00 00 00 00 72  #1 CMD_GET_BLID");
  EXPECT_EQ(s.read_line(2000), "<- 01 e3 00 00 00 00 a3  #1 refused: e3 not activated");
  s.signal(SIGTERM);
  EXPECT_EQ(s.wait(5000), 0);
  for (const char* line : {"\nzemlot-sim summary\nframes: 5 (ignored: 1 bad CRC, 0 other",
                           "\ncommands: activate 1, get_blid 2,", "\napplication started: yes\n"})
    EXPECT_NE(s.out.find(line), std::string::npos) << s.out;
}

// The time from our write to the last byte of what comes back, the best of three tries.
double fastest_answer(std::vector<std::string> args, size_t bytes) {
  args.insert(args.end(), {"--reply-delay-ms", "0", "--noise", "1-3:" + std::string(120, '5')});
  Child s = sim(args);
  const int fd = open_raw(s.read_line(2000));
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(fd, frame(0x01), bytes).size(), bytes);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    best = std::min(best, took.count());
  }
  ::close(fd);
  return best;
}

TEST(Program, PacesRepliesAtTheLineRate) {
  // 60 bytes of noise and a reply: 66 byte times (1.042 ms each) after the first, paced;
  // a couple of writes unpaced.
  const double paced = fastest_answer({}, 67);
  EXPECT_GE(paced, 66 * 1.04);
  EXPECT_LT(fastest_answer({"--no-pacing"}, 67) * 2, paced);
}

TEST(Program, ExitsAfterTheGotoReplyWithExitOnGoto) {
  Child s = sim({"--exit-on-goto", "--no-pacing"});
  const int fd = open_raw(s.read_line(2000));
  EXPECT_EQ(ask(fd, frame(0x06)), frame(0xE3, 7));  // refused: no exit
  EXPECT_EQ(ask(fd, frame(0x01)), frame(0x01, 7));
  EXPECT_EQ(ask(fd, frame(0x06)), (Bytes{0x01, 0x06, 0, 0, 0, 0, 0xAB}));
  EXPECT_EQ(s.wait(5000), 0);
  EXPECT_NE(s.out.find("goto_application 2,"), std::string::npos) << s.out;
  ::close(fd);
}

// On a serial port: a read that says 0 while the port is there (an end-of-file mark on a line
// that another program set cooked) is no hang-up; when the other end goes away it says so,
// serves no more, and still waits for a signal to give its summary.
TEST(Program, ServesASerialPortUntilItHangsUp) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const std::string port = ptsname(master);
  Child s = sim({"--port", port, "--no-pacing"});
  EXPECT_EQ(s.read_line(2000), port);
  const int slave = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  tio.c_lflag |= ICANON;
  tcsetattr(slave, TCSANOW, &tio);
  EXPECT_EQ(::write(master, "\x04", 1), 1);
  usleep(100000);
  tio.c_lflag &= ~ICANON;
  tcsetattr(slave, TCSANOW, &tio);
  EXPECT_EQ(ask(master, frame(0x01)), frame(0x01, 7));
  ::close(master);
  ::close(slave);
  usleep(200000);
  s.signal(SIGTERM);
  EXPECT_EQ(s.wait(5000), 0);
  EXPECT_EQ(s.err, "zemlot-sim: " + port + " hung up\n");
  EXPECT_NE(s.out.find("frames: 1 "), std::string::npos) << s.out;
}

ParseResult parse(const std::string& line) {
  std::vector<std::string> args = {"zemlot-sim"};
  std::istringstream words(line);
  for (std::string w; words >> w;)
    args.push_back(w);
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

// A row per option as the help describes it; a row without a check must be refused, with
// one line naming what was wrong.
TEST(CommandLine, OptionsDoWhatTheHelpSays) {
  using P = const ProgramOptions&;
  const std::pair<const char*, std::function<bool(P)>> rows[] = {
      {"--port /dev/ttyUSB1", [](P p) { return p.port == "/dev/ttyUSB1"; }},
      {"--no-pacing --echo", [](P p) { return !p.pacing && p.echo; }},
      {"--netnum 0500", [](P p) { return p.model.netnum == 500; }},  // a leading 0 is no octal
      {"--blid=0x7", [](P p) { return p.model.bootloader_version == 7; }},
      {"--key-version 9", [](P p) { return p.model.key_version == 9; }},
      {"--key 0x0f1e2d3c4b5a69788796a5b4c3d2e1f0",
       [](P p) {
         return p.model.key == korvel::cipher::parse_key("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
       }},
      {"--reply-delay-ms 15", [](P p) { return p.model.reply_delay_us == 15000; }},
      {"--work-ms erase=25,write=1,crc=0x5",
       [](P p) {
         return p.model.work_ms == std::map<uint8_t, uint32_t>{{3, 25}, {4, 1}, {5, 5}};
       }},
      {"--exit --trace", [](P p) { return p.exit_on_goto && p.model.trace; }},  // a name cut short
      {"--dump /tmp/x.bin --force", [](P p) { return p.dump == "/tmp/x.bin" && p.force; }},
      {"--refuse 0x03:2:0xE1 --refuse 4:10-12:e2",
       [](P p) {
         const auto& r = p.model.faults.refuse;
         return r.size() == 4 && r[0].code == 3 && r[0].nth == 2 && r[0].error == 0xE1 &&
                r[3].code == 4 && r[3].nth == 12 && r[3].error == 0xE2;
       }},
      {"--drop-reply 5 --drop-reply 7-8",
       [](P p) {
         return p.model.faults.drop_reply == std::set<uint32_t>{5, 7, 8};
       }},
      {"--delay-reply 3:250", [](P p) { return p.model.faults.delay_ms.at(3) == 250; }},
      {"--wrong-address 2-3", [](P p) { return p.model.faults.wrong_address.size() == 2; }},
      {"--noise 4-5:0xaa55FF",
       [](P p) {
         return *p.model.faults.noise.at(5) == Bytes{0xAA, 0x55, 0xFF};
       }},
      {"--split 6:3:600000",
       [](P p) {
         return p.model.faults.split.at(6) == std::pair<uint32_t, uint32_t>{3, 600000};
       }},
      {"--silent 2", [](P p) { return p.model.faults.silent_first == 2; }},
      {"--crc-answer DEADBEEF", [](P p) { return p.model.faults.crc_answer == 0xDEADBEEF; }},
      {"--vanish-after 010", [](P p) { return p.model.faults.vanish_after == 10; }},
      {"--split 1:3:600001", nullptr},
      {"--split 1:0:5", nullptr},
      {"--split 1:7:5", nullptr},
      {"--netnum -1", nullptr},
      {"--key 0011", nullptr},
      {"--refuse 3:2", nullptr},
      {"--drop-reply 5-3", nullptr},
      {"--reply-delay-ms 60001", nullptr},
      {"--n", nullptr},
      {"--work-ms flash=3", nullptr},
      {"--help=x", nullptr},
      {"--bogus=3", nullptr},
      {"stray", nullptr}};
  for (const auto& [line, check] : rows) {
    SCOPED_TRACE(line);
    const ParseResult r = parse(line);
    EXPECT_EQ(r.ok, check != nullptr) << r.error;
    if (check)
      EXPECT_TRUE(check(r.options));
    else
      EXPECT_NE(r.error.find(std::string(line).substr(0, std::string(line).find_first_of(" ="))),
                std::string::npos)
          << r.error;
  }
}

// A bad start ends at once, with one line: 2 for a bad option, 1 for what cannot be opened.
// A dump file that could not be written at the end is refused at the start.
TEST(Program, BadStartsEndAtOnce) {
  char taken[] = "/tmp/zemlot_dump.XXXXXX";  // exists, and must survive
  ASSERT_EQ(::write(::mkstemp(taken), "keep", 4), 4);
  const std::pair<std::vector<std::string>, int> cases[] = {{{"--split", "1:9:5"}, 2},
                                                            {{"--dump", taken}, 1},
                                                            {{"--dump", "/dev/null", "--force"}, 1},
                                                            {{"--port", "/nonexistent/tty"}, 1}};
  for (const auto& [args, status] : cases) {
    Child s = sim(args);
    EXPECT_EQ(s.wait(5000), status) << args[1];
    EXPECT_EQ(s.err.find("zemlot-sim: "), 0u) << s.err;
    EXPECT_EQ(s.err.find('\n'), s.err.size() - 1) << s.err;
  }
  EXPECT_EQ(std::filesystem::file_size(taken), 4u);
  ::unlink(taken);
}

}  // namespace
}  // namespace zemlot
