// Fault runs: the real loader against the real emulator on a pseudo-terminal, with the
// emulator's fault options standing in for a noisy line, a slow or absent device, refusals,
// an adapter pulled out, and a container file changed under a running loader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kEnv = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TZ=UTC"};
constexpr int kRunTimeoutMs = 60000;
const std::string kConfirmed = "Подтверждение получено\n";
constexpr auto npos = std::string::npos;

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// A plain image of `size` bytes in a pattern picked by `seed`.
std::string image(size_t size, int seed = 0) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i)
    s[i] = static_cast<char>((i * 29 + 5 + seed * 101) ^ (i >> 7));
  return s;
}

// The number after "name " on the emulator's summary line "commands: activate 1, ...".
int command_count(const std::string& sim_out, const std::string& name) {
  const size_t line = sim_out.find("commands: ");
  const size_t at = line == npos ? npos : sim_out.find(" " + name + " ", line);
  return at == npos ? -1 : std::stoi(sim_out.substr(at + name.size() + 2));
}

// The emulator's trace as " E4 W0 R ": "E4" for an erase of page 4, "W0" for a write of
// block 0, "R" after a frame that was refused.
std::string flash_trace(const std::string& sim_out) {
  std::string events;
  std::istringstream lines(sim_out);
  for (std::string line; std::getline(lines, line);) {
    if (size_t at = line.find(" CMD_ERASE_PAGE page "); at != npos)
      events += " E" + std::to_string(std::stoi(line.substr(at + 21)));
    else if (size_t at = line.find(" CMD_WRITE_BLOCK block "); at != npos)
      events += " W" + std::to_string(std::stoi(line.substr(at + 23)));
    else if (line.rfind("<- ", 0) == 0 && line.find(" refused: ") != npos)
      events += " R";
  }
  return events + " ";
}

class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel-faults-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    sim_.reset();
    fs::remove_all(dir_);
  }

  // The container tool's container of image(size, seed).
  std::string make_container(size_t size, const std::string& name, int seed = 0) {
    const std::string in = dir_ + "/" + name + ".bin", out = dir_ + "/" + name;
    std::ofstream(in, std::ios::binary) << image(size, seed);
    Child cct({CCT_PATH, "make", "--in", in, "--out", out, "--time", "1765051182"}, kEnv);
    EXPECT_EQ(cct.wait(10000), 0) << cct.err;
    return out;
  }

  // Starts the emulator with a flash dump at its end; returns the terminal's path.
  std::string start_sim(std::vector<std::string> options) {
    options.insert(options.begin(), {ZEMLOT_SIM_PATH, "--dump", dir_ + "/flash.bin"});
    sim_ = std::make_unique<Child>(options, kEnv);
    const std::string pty = sim_->read_line(5000);
    EXPECT_EQ(pty.rfind("/dev/", 0), 0u) << "emulator gave no terminal: " << sim_->err;
    return pty;
  }

  // Stops the emulator, which writes its flash out and prints its summary.
  std::string stop_sim() {
    sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->wait(10000), 0) << sim_->err;
    return sim_->out;
  }

  struct Outcome {
    int status;
    std::string out, err;  // the loader's
    std::string sim;       // the emulator's output after the terminal's name: trace and summary
  };

  // One programming run answered "Y"; the emulator is stopped afterwards, its output kept.
  Outcome program(const std::string& container, const std::vector<std::string>& sim_options) {
    Child korvel({KORVEL_PATH, start_sim(sim_options), "1", container, "P"}, kEnv);
    korvel.write_input("Y\n");
    korvel.close_input();
    const int status = korvel.wait(kRunTimeoutMs);
    return {status, korvel.out, korvel.err, stop_sim()};
  }

  // The application area (0x08001000 on) of the dumped flash holds exactly this image.
  void expect_flash_holds(const std::string& image) {
    const std::string flash = read_file(dir_ + "/flash.bin");
    ASSERT_EQ(flash.size(), 64u * 1024u);
    EXPECT_TRUE(flash.compare(0x1000, image.size(), image) == 0)
        << "the device does not hold the image";
  }

  std::string dir_;
  std::unique_ptr<Child> sim_;
};

struct Recovery {
  const char* name;
  const char* fault;    // the emulator's option
  const char* frames;   // and its value
  const char* command;  // the command that must have gone out more than once
  int at_least;         // how many times
  const char* shown;    // a text of the loader's that the fault brings about
};

void PrintTo(const Recovery& r, std::ostream* os) {
  *os << r.name;
}

class Recovers : public FaultRun, public ::testing::WithParamInterface<Recovery> {};

TEST_P(Recovers, AndProgramsTheDevice) {
  const Recovery& c = GetParam();
  const Outcome o = program(make_container(64, "boot.cct"), {c.fault, c.frames});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find(kConfirmed), npos) << o.out;
  EXPECT_NE(o.out.find(c.shown), npos) << o.out;
  // The fault did bite: the loader had to ask again.
  EXPECT_GE(command_count(o.sim, c.command), c.at_least) << o.sim;
  EXPECT_NE(o.sim.find("application started: yes"), npos) << o.sim;
  expect_flash_holds(image(64));
}

// Frames: 1 activate, 2 blid, 3 keyid, 4 unblock, 5-6 erase, 7.. blocks.
const Recovery kRecoveries[] = {
    {"NoiseByteBeforeAReply", "--noise", "2:55", "get_blid", 2,
     "Идет запрос версии бутлоадера (2)\r"},
    {"LateReply", "--delay-reply", "3:150", "get_keyid", 2, "Идет запрос версии шифроключа (3)\r"},
    {"ReplySplitByALongGap", "--split", "3:3:150", "get_keyid", 2,
     "Идет запрос версии шифроключа (3)\r"},
    {"RepliesForAnotherAddressForAWhile", "--wrong-address", "1-5", "activate", 6,
     "Идет поиск бутлоадера (5)\r"},
    {"DeviceSilentForAWhile", "--silent", "8", "activate", 1, "Идет поиск бутлоадера (8)\r"}};

INSTANTIATE_TEST_SUITE_P(FaultRuns, Recovers, ::testing::ValuesIn(kRecoveries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultRun, RefusedEraseIsSentAgainForTheSamePage) {
  // One page: erases 4, 4 (refused), then 4 again, twice, as the loader counts them.
  const Outcome o = program(make_container(64, "boot.cct"), {"--trace", "--refuse", "3:2:0xE7"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("Ошибка стирания E7\n"), npos) << o.out;
  EXPECT_NE(o.out.find(kConfirmed), npos) << o.out;
  EXPECT_NE(flash_trace(o.sim).find(" E4 R E4 "), npos) << "not sent again: " << o.sim;
  expect_flash_holds(image(64));
}

TEST_F(FaultRun, RefusedEraseOfALaterPageStillErasesItBeforeAnyBlock) {
  // Two pages, the first erase of page 5 refused. A refused block cuts the run short once the
  // block phase has begun: the order is what counts, and a whole 1 KB image would take most
  // of a minute.
  const Outcome o = program(make_container(1032, "boot.cct"),
                            {"--trace", "--refuse", "3:3:0xE7", "--refuse", "4:3:0xE9"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  const std::string trace = flash_trace(o.sim);
  // The refusal answers the first erase of page 5, and page 5 goes out again next; every
  // erase comes before the first block.
  EXPECT_NE(trace.find(" E5 R E5 "), npos) << o.sim;
  ASSERT_NE(trace.find(" W0 "), npos) << o.sim;
  EXPECT_EQ(trace.find(" W"), trace.find(" W0 ")) << o.sim;
  EXPECT_EQ(trace.find('E', trace.find(" W")), npos) << o.sim;
  EXPECT_NE(o.sim.find("\npages erased: 2 "), npos) << o.sim;
}

TEST_F(FaultRun, RefusedBlockEndsTheRunWithoutACrcQuery) {
  const Outcome o = program(make_container(64, "boot.cct"), {"--refuse", "4:2:0xE9"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  const size_t failed = o.out.find("Ошибка записи E9 в блоке 1\n");
  ASSERT_NE(failed, npos) << o.out;
  EXPECT_EQ(o.out.find("CRC-32 расшифрованного", failed), npos) << o.out;
  EXPECT_NE(o.out.find("Программа закрыта\n", failed), npos) << o.out;
  EXPECT_EQ(command_count(o.sim, "write_block"), 2) << o.sim;
  EXPECT_EQ(command_count(o.sim, "get_crc"), 0) << o.sim;
  EXPECT_EQ(command_count(o.sim, "goto_application"), 0) << o.sim;
}

TEST_F(FaultRun, LineGoneDuringTheBlockPhaseEndsWithWriteError) {
  // Replies 7 to 9 answer blocks 0 to 2; the emulator closes the line after the 9th.
  const std::string cct = make_container(256, "boot.cct");
  Child korvel({KORVEL_PATH, start_sim({"--trace", "--vanish-after", "9"}), "1", cct, "P"}, kEnv);
  korvel.write_input("Y\n");
  korvel.close_input();
  const long long start = now_ms();
  long long closed_at = -1;
  while (closed_at < 0 && now_ms() - start < kRunTimeoutMs) {
    if (sim_->read_line(100) == "-- line closed")
      closed_at = now_ms();
  }
  ASSERT_GE(closed_at, 0) << "the emulator never closed the line: " << sim_->out;
  const int status = korvel.wait(kRunTimeoutMs);
  const long long ended_after = now_ms() - closed_at;
  EXPECT_EQ(status, 1) << korvel.out << korvel.err;
  EXPECT_NE(korvel.err.find("Write error\n"), npos) << korvel.err;
  EXPECT_EQ(korvel.out.find("Программа закрыта"), npos) << korvel.out;
  // Within a second of the line going, with room for a loaded machine.
  EXPECT_LT(ended_after, 1000);
  const std::string sim = stop_sim();
  EXPECT_EQ(command_count(sim, "write_block"), 3) << sim;
}

// The loader's own process under attack: its output cut off, its standard descriptors closed,
// a signal in the middle of a run.
struct Hostile {
  const char* name;
  const char* shell;  // a bash command line; "$0" "$@" is the loader with its arguments
  const char* directive;
  std::vector<std::string> sim_options;
  int signal;  // sent once the run is well under way; 0 for none
  int status;
  const char* err;  // the loader's whole standard error
  bool programmed;
};

void PrintTo(const Hostile& h, std::ostream* os) {
  *os << h.name;
}

// What another program finds when it opens the terminal after the loader: its settings, and
// whether it is still held exclusively (root opens it all the same, so ask).
std::string terminal_state(const std::string& pty) {
  const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  int exclusive = -1;
  const bool ok = fd >= 0 && tcgetattr(fd, &t) == 0 && ioctl(fd, TIOCGEXCL, &exclusive) == 0;
  if (fd >= 0)
    close(fd);
  char b[160];
  std::snprintf(b, sizeof b, "%s iflag %x oflag %x cflag %x lflag %x min %d time %d excl %d",
                ok ? "" : "unreadable", t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc[VMIN],
                t.c_cc[VTIME], exclusive);
  return b;
}

std::string descriptor(pid_t pid, int fd) {
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).string();
}

class HostileProcess : public FaultRun, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileProcess, RunEndsAsPromisedAndThePortIsPutBack) {
  const Hostile& h = GetParam();
  const std::string cct = make_container(256, "boot.cct");
  const std::string pty = start_sim(h.sim_options);
  const std::string found = terminal_state(pty);
  Child korvel({"/bin/bash", "-c", h.shell, KORVEL_PATH, pty, "1", cct, h.directive}, kEnv);
  korvel.write_input("Y\n");
  korvel.close_input();
  if (h.signal != 0) {
    // In the block phase, or, with standard output closed, once the port is in use.
    const long long start = now_ms();
    bool under_way = false;
    while (!under_way && now_ms() - start < 20000) {
      korvel.read_line(50);
      std::error_code ec;
      for (const auto& e :
           fs::directory_iterator("/proc/" + std::to_string(korvel.pid()) + "/fd", ec))
        under_way = under_way || (h.directive[0] == 'I' && fs::read_symlink(e.path(), ec) == pty);
      under_way = under_way || korvel.out.find("Блок 3 записан") != npos;
    }
    ASSERT_TRUE(under_way) << korvel.out << korvel.err;
    if (h.directive[0] == 'I') {
      // Closed standard descriptors were filled: the port is none of them.
      EXPECT_EQ(descriptor(korvel.pid(), 0), "/dev/null");
      EXPECT_EQ(descriptor(korvel.pid(), 1), "/dev/null");
    }
    korvel.signal(h.signal);
  }
  EXPECT_EQ(korvel.wait(kRunTimeoutMs), h.status) << korvel.err;
  EXPECT_EQ(korvel.err, h.err);
  EXPECT_EQ(terminal_state(pty), found);
  const std::string sim = stop_sim();
  EXPECT_EQ(sim.find("application started: yes") != npos, h.programmed) << sim;
  if (h.programmed)
    expect_flash_holds(image(256));
}

const Hostile kHostile[] = {
    {"OutputCutShort",
     "\"$0\" \"$@\" | head -c 3000; exit ${PIPESTATUS[0]}",
     "P",
     {},
     0,
     0,
     "Закрываю СОМ порт... OK\n",
     true},
    {"InterruptedInTheBlockPhase",
     "exec \"$0\" \"$@\"",
     "P",
     {},
     SIGINT,
     128 + SIGINT,
     "Прервано\n",
     false},
    {"TerminatedInTheBlockPhase",
     "exec \"$0\" \"$@\"",
     "P",
     {},
     SIGTERM,
     128 + SIGTERM,
     "Прервано\n",
     false},
    {"HungUpInTheBlockPhase",
     "exec \"$0\" \"$@\"",
     "P",
     {},
     SIGHUP,
     128 + SIGHUP,
     "Прервано\n",
     false},
    {"StandardInputAndOutputClosed",
     "exec \"$0\" \"$@\" <&- >&-",
     "I",
     {"--silent", "1000000"},
     SIGTERM,
     128 + SIGTERM,
     "Прервано\n",
     false},
};

INSTANTIATE_TEST_SUITE_P(FaultRuns, HostileProcess, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

class ContainerChanged : public FaultRun, public ::testing::WithParamInterface<std::string> {};

TEST_P(ContainerChanged, TheImageReadAtTheStartIsProgrammed) {
  const std::string cct = make_container(64, "boot.cct", 1);
  const std::string other = make_container(64, "other.cct", 2);
  Child korvel({KORVEL_PATH, start_sim({}), "1", cct, "P"}, kEnv);
  // The loader waits at its prompt, well into the dialogue, until it is answered.
  const std::string prompt = "Для программирования введите Y";
  for (const long long start = now_ms();
       korvel.out.find(prompt) == npos && now_ms() - start < 20000;)
    korvel.read_line(50);
  ASSERT_NE(korvel.out.find(prompt), npos) << korvel.out << korvel.err;

  if (GetParam() == "Removed")
    ASSERT_TRUE(fs::remove(cct));
  else
    std::ofstream(cct, std::ios::binary) << read_file(other);  // same inode, other bytes
  korvel.write_input("Y\n");
  korvel.close_input();
  EXPECT_EQ(korvel.wait(kRunTimeoutMs), 0) << korvel.out << korvel.err;
  EXPECT_NE(korvel.out.find(kConfirmed), npos) << korvel.out;
  stop_sim();
  expect_flash_holds(image(64, 1));
}

INSTANTIATE_TEST_SUITE_P(FaultRuns, ContainerChanged,
                         ::testing::Values("RewrittenWithOtherBytes", "Removed"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace korvel::testing
