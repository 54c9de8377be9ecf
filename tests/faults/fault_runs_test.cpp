// The real loader against the real emulator, its process attacked: output cut, fds closed, signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "process.h"

namespace korvel::testing {
namespace {

// The terminal's settings as the next program finds it, and whether it is still held
// exclusively (root opens it all the same, so ask); first 0 if they could be read.
std::vector<long> terminal_state(const std::string& pty) {
  const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  int excl = -1;
  const int failed = tcgetattr(fd, &t) | ioctl(fd, TIOCGEXCL, &excl);
  close(fd);
  return {failed, t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_cc[VMIN], t.c_cc[VTIME], excl};
}

struct Hostile {
  const char* name;
  const char* shell;  // a bash command line; "$0" "$@" is the loader with its arguments
  int signal;         // sent once the run is under way; 0: the run must program the device
  const char* err;    // standard error, or the terminal $TERMINAL (ONLCR on) where it goes
  const char* work = "erase=0";       // the emulator's flash work (--work-ms)
  const char* at = "Блок 3 записан";  // the signal goes once this has been printed
  friend void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }
};

class HostileProcess : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileProcess, RunEndsAsPromisedAndThePortIsPutBack) {
  const Hostile& h = GetParam();
  // Standard output closed: an information run against a silent device, signalled once it
  // holds the port. Otherwise a programming run, signalled in its block phase.
  const bool closed = std::string(h.shell).ends_with(">&-");
  const ScratchDir scratch;
  const std::string image = scratch.file("image.bin"), cct = scratch.file("boot.cct");
  std::ofstream(image, std::ios::binary) << std::string(256, '\x5A');
  ASSERT_EQ(Child({CCT_PATH, "make", "--in", image, "--out", cct}).wait(9000), 0);
  Child sim(
      {ZEMLOT_SIM_PATH, "--trace", "--silent", closed ? "1000000" : "0", "--work-ms", h.work});
  const std::string pty = sim.read_line(5000);
  const std::vector<long> found = terminal_state(pty);
  // A terminal for standard error, kept open at both ends until it has been read.
  const int term = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  const std::string tty = grantpt(term) == 0 && unlockpt(term) == 0 ? ptsname(term) : "";
  const int tty_fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
  Child korvel({"/bin/bash", "-c", h.shell, KORVEL_PATH, pty, "1", cct, closed ? "I" : "P"},
               {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TERMINAL=" + tty});
  korvel.write_input("Y\n");
  if (h.signal != 0) {
    ASSERT_TRUE(closed ? sim.wait_for_output("ignored: silent", 10000)
                       : korvel.wait_for_output(h.at, 10000))
        << korvel.out << sim.out;
    // The closed descriptors were filled before the port was opened: it is none of them.
    const std::string fd = "/proc/" + std::to_string(korvel.pid()) + "/fd/";
    EXPECT_TRUE(!closed || (std::filesystem::read_symlink(fd + "0") == "/dev/null" &&
                            std::filesystem::read_symlink(fd + "1") == "/dev/null"));
  }
  // A whole run takes a few seconds; a looping loader fails here well before ctest gives up.
  EXPECT_EQ(korvel.wait(20000, h.signal), h.signal == 0 ? 0 : 128 + h.signal) << korvel.err;
  char buf[256];
  for (ssize_t n; (n = read(term, buf, sizeof buf)) > 0;)
    korvel.err.append(buf, static_cast<size_t>(n));
  close(tty_fd);
  close(term);
  EXPECT_EQ(korvel.err, h.err);
  EXPECT_EQ(terminal_state(pty), found);
  EXPECT_EQ(sim.wait(10000, SIGTERM), 0) << sim.err;  // the emulator prints its summary
  // Started exactly when the run was let come to its end (its output may be cut short).
  EXPECT_EQ(sim.out.find("application started: yes") != std::string::npos,
            h.signal == 0 || korvel.out.find("Программа закрыта") != std::string::npos);
}

const char kEnd[] = "Закрываю СОМ порт... OK\n", kInterrupted[] = "Прервано\n";
const Hostile kHostile[] = {
    {"OutputCutShort", "\"$0\" \"$@\" | head -c 3000; exit ${PIPESTATUS[0]}", 0, kEnd},
    {"InterruptedInTheBlockPhase", "exec \"$0\" \"$@\"", SIGINT, kInterrupted},
    {"TerminatedInTheBlockPhase", "exec \"$0\" \"$@\"", SIGTERM, kInterrupted},
    {"HungUpInTheBlockPhase", "exec \"$0\" \"$@\"", SIGHUP, kInterrupted},
    {"StandardInputAndOutputClosed", "exec \"$0\" \"$@\" <&- >&-", SIGTERM, kInterrupted},
    // The word clears the progress text it would otherwise be written over.
    {"InterruptedOnATerminal", "exec \"$0\" \"$@\" 2>\"$TERMINAL\"", SIGINT,
     "\r\033[KПрервано\r\n"},
    // On a pseudo-terminal the device hears a frame 16.7 ms after the loader's write returns,
    // so its erase reply ends just after the loader's read begins: the read cuts it short.
    {"EraseRepliesStraddlingTheRead", "exec \"$0\" \"$@\"", 0, kEnd, "erase=96"},
    // The last pause is a wait like any other: the signal is acted on, not slept through.
    {"InterruptedInTheLastPause", "exec \"$0\" \"$@\"", SIGINT,
     "Закрываю СОМ порт... OK\nПрервано\n", "erase=0", "Программа закрыта"},
};

INSTANTIATE_TEST_SUITE_P(FaultRuns, HostileProcess, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvel::testing
