// zemlot-sim as its user meets it: its options, and the program on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include "cli.h"
#include "lib/crc8.h"
#include "process.h"

namespace zemlot {
namespace {

using Bytes = std::vector<uint8_t>;

// A command frame to address 1 (16 bytes), or a reply from it (7) with a value below 256.
Bytes frame(uint8_t code, size_t size = 16, uint8_t value = 0) {
  Bytes f(size, 0);
  f[0] = 1;
  f[1] = code;
  f[size - 2] = value;
  f.back() = korvel::dallas_crc8(f.data(), static_cast<int32_t>(size - 1));
  return f;
}

// The program started with these options, and the line to it: its pseudo-terminal opened raw,
// or the given end of the port it was told to use.
struct Sim {
  explicit Sim(std::vector<std::string> args, int line = -1)
      : child((args.insert(args.begin(), ZEMLOT_SIM_PATH), args)),
        fd(line >= 0 ? line : ::open(child.read_line(2000).c_str(), O_RDWR | O_NOCTTY)) {
    termios tio{};
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  ~Sim() { ::close(fd); }
  // Sends a frame, and reads n bytes back or what came before 2 s of silence.
  Bytes ask(const Bytes& f, size_t n = 7) {
    EXPECT_EQ(::write(fd, f.data(), f.size()), static_cast<ssize_t>(f.size()));
    Bytes got(n);
    size_t have = 0;
    for (pollfd p{fd, POLLIN, 0}; have < n;) {
      const ssize_t r = ::poll(&p, 1, 2000) > 0 ? ::read(fd, &got[have], n - have) : 0;
      if (r <= 0)
        break;
      have += static_cast<size_t>(r);
    }
    got.resize(have);
    return got;
  }
  korvel::testing::Child child;
  int fd;
};

TEST(Program, AnswersOnItsPseudoTerminalTracesAndSummarisesOnSigterm) {
  Sim s({"--no-pacing", "--trace"});
  Bytes bad_crc = frame(0x01);
  bad_crc[15] ^= 0x10;
  EXPECT_EQ(s.ask(bad_crc, 0), Bytes{});
  EXPECT_EQ(s.ask(frame(0x10)), frame(0xE3, 7));  // not activated
  EXPECT_EQ(s.ask(frame(0x01)), (Bytes{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
  EXPECT_EQ(s.ask(frame(0x06)), frame(0x06, 7));
  EXPECT_EQ(s.ask(frame(0x10)), frame(0x10, 7, 2));  // without --exit-on-goto it stays
  const std::string bad = "-> 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 bc  ignored: bad CRC";
  EXPECT_EQ(s.child.read_line(2000), bad + " (ac expected)");
  s.child.read_line(2000);
  EXPECT_EQ(s.child.read_line(2000), "<- 01 e3 00 00 00 00 a3  #1 refused: e3 not activated");
  EXPECT_EQ(s.child.wait(5000, SIGTERM), 0);
  for (const char* line : {"\nzemlot-sim summary\nframes: 5 (ignored: 1 bad CRC, 0 other",
                           "\ncommands: activate 1, get_blid 2,", "\napplication started: yes\n"})
    EXPECT_NE(s.child.out.find(line), std::string::npos) << s.child.out;
}

// The best of three times from our write to the last byte back: 60 noise bytes and the
// reply, at least 66 byte times (1.042 ms each) after the first when paced.
TEST(Program, PacesRepliesAtTheLineRate) {
  double fastest[2] = {1e9, 1e9};
  for (const bool paced : {false, true}) {
    Sim s({"--reply-delay-ms=0", "--noise=1-3:" + std::string(120, '5'),
           paced ? "--netnum=1" : "--no-pacing"});
    for (int i = 0; i < 3; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      EXPECT_EQ(s.ask(frame(0x01), 67).size(), 67u);
      const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
      fastest[paced] = std::min(fastest[paced], took.count());
    }
  }
  EXPECT_GE(fastest[true], 66 * 1.04);
  EXPECT_LT(fastest[false] * 2, fastest[true]);
}

TEST(Program, ExitsAfterTheGotoReplyWithExitOnGoto) {
  Sim s({"--exit-on-goto", "--no-pacing"});
  EXPECT_EQ(s.ask(frame(0x06)), frame(0xE3, 7));  // refused: no exit
  EXPECT_EQ(s.ask(frame(0x01)), frame(0x01, 7));
  EXPECT_EQ(s.ask(frame(0x06)), (Bytes{0x01, 0x06, 0, 0, 0, 0, 0xAB}));
  EXPECT_EQ(s.child.wait(5000), 0);
  EXPECT_NE(s.child.out.find("goto_application 2,"), std::string::npos) << s.child.out;
}

// On a serial port: a read that says 0 while the port is there (an end-of-file mark on a line
// another program set cooked) is no hang-up; when the other end goes away it says so, serves
// no more, and still waits for a signal to give its summary.
TEST(Program, ServesASerialPortUntilItHangsUp) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const std::string port = ptsname(master);
  Sim s({"--port", port, "--no-pacing"}, master);
  EXPECT_EQ(s.child.read_line(2000), port);
  const int slave = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  ASSERT_EQ(tcgetattr(slave, &tio), 0);
  tio.c_lflag |= ICANON;
  tcsetattr(slave, TCSANOW, &tio);
  EXPECT_EQ(::write(master, "\x04", 1), 1);
  usleep(100000);
  tio.c_lflag &= ~ICANON;
  tcsetattr(slave, TCSANOW, &tio);
  EXPECT_EQ(s.ask(frame(0x01)), frame(0x01, 7));
  ::close(slave);
  ::close(std::exchange(s.fd, ::open("/dev/null", O_RDONLY)));
  usleep(200000);
  EXPECT_EQ(s.child.wait(5000, SIGTERM), 0);
  EXPECT_EQ(s.child.err, "zemlot-sim: " + port + " hung up\n");
  EXPECT_NE(s.child.out.find("frames: 1 "), std::string::npos) << s.child.out;
}

// A row per option as the help describes it (a name may be cut short while it stays unique);
// then what it refuses, with a line naming the option or the argument at fault.
TEST(CommandLine, OptionsDoWhatTheHelpSays) {
  using P = const ProgramOptions&;
  const std::pair<std::string, std::function<bool(P)>> rows[] = {
      {"--port /dev/ttyUSB1 --no-pacing --echo",
       [](P p) { return p.port == "/dev/ttyUSB1" && !p.pacing && p.echo; }},
      {"--netnum 0500", [](P p) { return p.model.netnum == 500; }},  // a leading 0 is no octal
      {"--blid=0x7 --key-version 9",
       [](P p) { return p.model.bootloader_version == 7 && p.model.key_version == 9; }},
      {"--reply-delay-ms 15", [](P p) { return p.model.reply_delay_us == 15000; }},
      {"--work-ms erase=25,crc=0x5",
       [](P p) { return p.model.work_ms.at(3) == 25 && p.model.work_ms.at(5) == 5; }},
      {"--exit --trace --dump d --force",
       [](P p) { return p.exit_on_goto && p.model.trace && p.dump == "d" && p.force; }},
      {"--refuse 3:1:E1 --refuse 0x04:11-12:0xe2",
       [](P p) { return p.model.faults.refuse.at(2).error == 0xE2; }},
      {"--drop-reply 7-9", [](P p) { return p.model.faults.drop_reply.size() == 3; }},
      {"--delay-reply 3:250", [](P p) { return p.model.faults.delay_ms.at(3) == 250; }},
      {"--wrong-address 2-3", [](P p) { return p.model.faults.wrong_address.count(3) == 1; }},
      {"--noise 4-5:0xaa55FF", [](P p) { return p.model.faults.noise.at(5)->at(2) == 0xFF; }},
      {"--split 6:3:600000", [](P p) { return p.model.faults.split.at(6).second == 600000; }},
      {"--silent 2 --vanish-after 010",
       [](P p) { return p.model.faults.silent_first == 2 && p.model.faults.vanish_after == 10; }},
      {"--crc-answer DEADBEEF", [](P p) { return p.model.faults.crc_answer == 0xDEADBEEF; }},
  };
  const auto parse = [](const std::string& line) {
    std::vector<std::string> args = {"zemlot-sim"};
    std::istringstream words(line);
    for (std::string w; words >> w;)
      args.push_back(w);
    std::vector<char*> argv;
    for (auto& a : args)
      argv.push_back(a.data());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
  };
  for (const auto& [line, check] : rows) {
    const ParseResult r = parse(line);
    EXPECT_TRUE(r.ok && check(r.options)) << line << ": " << r.error;
  }
  for (const std::string bad :
       {"--split 1:3:600001", "--split 1:0:5", "--split 1:7:5", "--netnum -1", "--key 0011",
        "--refuse 3:2", "--drop-reply 5-3", "--reply-delay-ms 60001", "--n", "--work-ms flash=3",
        "--help=x", "--bogus=3", "stray"}) {
    const ParseResult r = parse(bad);
    EXPECT_FALSE(r.ok) << bad;
    EXPECT_NE(r.error.find(bad.substr(0, bad.find_first_of(" ="))), std::string::npos) << r.error;
  }
}

// A bad start ends at once with one line: 2 for a bad option, 1 for what cannot be opened,
// as a dump file that could not be written at the end.
TEST(Program, BadStartsEndAtOnce) {
  char taken[] = "/tmp/zemlot_dump.XXXXXX";  // exists, and must survive
  ASSERT_EQ(::write(::mkstemp(taken), "keep", 4), 4);
  const std::pair<std::vector<std::string>, int> cases[] = {{{"--split", "1:9:5"}, 2},
                                                            {{"--dump", taken}, 1},
                                                            {{"--dump", "/dev/null", "--force"}, 1},
                                                            {{"--port", "/nonexistent/tty"}, 1}};
  for (auto [args, status] : cases) {
    args.insert(args.begin(), ZEMLOT_SIM_PATH);
    korvel::testing::Child s(args);
    EXPECT_EQ(s.wait(5000), status) << args[1];
    EXPECT_EQ(s.err.find("zemlot-sim: "), 0u) << s.err;
    EXPECT_EQ(s.err.find('\n'), s.err.size() - 1) << s.err;
  }
  EXPECT_EQ(std::ifstream(taken, std::ios::ate).tellg(), 4);
  ::unlink(taken);
}

}  // namespace
}  // namespace zemlot
