// The real loader against the real emulator on a pseudo-terminal, its own process under
// attack: what only a real process meets (a closed pipe, closed descriptors, signals, the
// terminal's settings put back).
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
#include <string>
#include <vector>

#include "process.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kEnv = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TZ=UTC"};
// A whole run takes a few seconds; a loader that loops fails its test well before ctest gives up.
constexpr int kRunTimeoutMs = 20000;
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
    while (!under_way && now_ms() - start < 10000) {
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

}  // namespace
}  // namespace korvel::testing
