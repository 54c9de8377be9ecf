// The POSIX port driven through make_system_port() against the slave side of a real
// pseudo-terminal, with the test playing the device on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"

namespace {

using korvel::SerialPort;
using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

double ms_since(SteadyClock::time_point t0) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

// Processor time of the whole test process, which has no busy threads of its own.
double cpu_ms() {
  return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Bytes pattern(size_t n, uint8_t first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

// A pseudo-terminal whose master stands in for the device end of the cable.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
      return;
    char name[256];
    termios raw{};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0 || tcgetattr(master_, &raw) != 0) {
      close_master();
      return;
    }
    // The master's own line discipline sits between the slave and us; it must not
    // translate anything either, or a transparency failure could be ours instead of the port's.
    cfmakeraw(&raw);
    if (tcsetattr(master_, TCSANOW, &raw) != 0) {
      close_master();
      return;
    }
    slave_ = name;
  }
  ~Pty() { close_master(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0; }
  const char* slave() const { return slave_.c_str(); }

  void put(const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
      const ssize_t r = ::write(master_, b.data() + done, b.size() - done);
      if (r < 0 && errno == EINTR)
        continue;
      ASSERT_GT(r, 0) << "master write failed, errno " << errno;
      done += static_cast<size_t>(r);
    }
  }

  // Everything that reaches the master within `limit_ms`, up to n bytes.
  Bytes take(size_t n, int limit_ms) {
    Bytes out;
    const auto t0 = SteadyClock::now();
    while (out.size() < n) {
      const int left = limit_ms - static_cast<int>(ms_since(t0));
      if (left <= 0)
        break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0)
        continue;
      uint8_t buf[512];
      const size_t want = std::min(sizeof buf, n - out.size());
      const ssize_t r = ::read(master_, buf, want);
      if (r <= 0)
        break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  void close_master() {
    if (master_ >= 0)
      ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

bool open_and_configure(SerialPort& port, const char* path) {
  return port.open(path) && port.read_settings() && port.apply_line_settings(9600) &&
         port.apply_timeouts();
}

class PortOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok()) << "no pseudo-terminal available";
    port_ = korvel::make_system_port();
    ASSERT_TRUE(open_and_configure(*port_, pty_.slave()));
  }

  // Collects n bytes over as many reads as it takes; the port may hand them out piecemeal.
  Bytes read_up_to(uint32_t n, int max_calls) {
    Bytes out;
    for (int i = 0; i < max_calls && out.size() < n; ++i) {
      uint8_t buf[512];
      uint32_t got = 0;
      const uint32_t want = std::min<uint32_t>(sizeof buf, n - static_cast<uint32_t>(out.size()));
      if (!port_->read(buf, want, &got)) {
        ADD_FAILURE() << "read failed after " << out.size() << " bytes";
        break;
      }
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

  Pty pty_;
  std::unique_ptr<SerialPort> port_;
};

// --- line settings --------------------------------------------------------------------------

TEST(PortSettings, RawEightBitAndUnrelatedSettingsKept) {
  // Both ways round for the settings the port must leave alone.
  for (const bool extras : {true, false}) {
    SCOPED_TRACE(extras ? "flow control and HUPCL set beforehand" : "both clear beforehand");
    Pty pty;
    ASSERT_TRUE(pty.ok());
    // A second descriptor opened before the port, so it can watch the terminal's settings.
    const int probe = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);

    termios dirty{};
    ASSERT_EQ(tcgetattr(probe, &dirty), 0);
    dirty.c_iflag |=
        ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | INPCK | BRKINT | IUCLC;
    dirty.c_oflag |= OPOST | ONLCR;
    dirty.c_lflag |= ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;
    dirty.c_cflag |= CSTOPB;
    dirty.c_cflag &= ~(CREAD | CLOCAL);
    if (extras) {
      dirty.c_cflag |= CRTSCTS | HUPCL;
    } else {
      dirty.c_cflag &= ~(CRTSCTS | HUPCL);
    }
    dirty.c_cc[VMIN] = 5;
    dirty.c_cc[VTIME] = 3;
    dirty.c_cc[VINTR] = 'X';
    cfsetispeed(&dirty, B1200);
    cfsetospeed(&dirty, B1200);
    ASSERT_EQ(tcsetattr(probe, TCSANOW, &dirty), 0);

    auto port = korvel::make_system_port();
    ASSERT_TRUE(open_and_configure(*port, pty.slave()));

    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | INPCK |
                           BRKINT | IUCLC),
              0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL), extras ? (CRTSCTS | HUPCL) : 0u);
    EXPECT_EQ(t.c_cc[VINTR], 'X');

    EXPECT_TRUE(port->close());
    ::close(probe);
  }
}

TEST(PortSettings, BaudRates) {
  struct Case {
    int32_t baud;
    bool accepted;
    speed_t speed;
  };
  const Case cases[] = {
      {9600, true, B9600}, {1200, true, B1200}, {19200, true, B19200}, {115200, true, B115200},
      {12345, false, 0},   {0, false, 0},       {-9600, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const int probe = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(probe, &before), 0);

    auto port = korvel::make_system_port();
    ASSERT_TRUE(port->open(pty.slave()));
    ASSERT_TRUE(port->read_settings());
    EXPECT_EQ(port->apply_line_settings(c.baud), c.accepted);

    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    const speed_t expected = c.accepted ? c.speed : cfgetospeed(&before);
    EXPECT_EQ(cfgetospeed(&t), expected);
    EXPECT_EQ(cfgetispeed(&t), expected);
    port->close();
    ::close(probe);
  }
}

TEST(PortSettings, LineSettingsNeedSettingsReadFirst) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = korvel::make_system_port();
  ASSERT_TRUE(port->open(pty.slave()));
  EXPECT_FALSE(port->apply_line_settings(9600));
}

// --- byte transparency ----------------------------------------------------------------------

TEST_F(PortOverPty, AllByteValuesArriveUnchangedFromTheDevice) {
  const Bytes table = pattern(256, 0);
  pty_.put(table);
  EXPECT_EQ(read_up_to(256, 50), table);
}

TEST_F(PortOverPty, AllByteValuesLeaveUnchanged) {
  const Bytes table = pattern(256, 0);
  ASSERT_TRUE(port_->write(table.data(), 256));
  EXPECT_EQ(pty_.take(256, 2000), table);
}

TEST_F(PortOverPty, SixteenByteFrameReachesTheDevice) {
  const Bytes frame = pattern(16, 0xF8);  // wraps through 0xFF to 0x07
  ASSERT_TRUE(port_->write(frame.data(), 16));
  EXPECT_EQ(pty_.take(16, 1000), frame);
  EXPECT_TRUE(pty_.take(1, 50).empty()) << "the port sent more than it was given";
}

// --- read timing ----------------------------------------------------------------------------

TEST_F(PortOverPty, WaitingBytesComeBackAtOnce) {
  struct Case {
    uint32_t waiting;
    uint32_t n;
    uint32_t expect;
  };
  const Case cases[] = {{7, 7, 7}, {3, 7, 3}, {10, 7, 7}, {3, 200, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.waiting << " waiting, asking for " << c.n);
    // Best of three, so a single preemption of this busy machine cannot fail the case,
    // while a port that waits out its deadline fails all three.
    double best = 1e9;
    for (int trial = 0; trial < 3; ++trial) {
      port_->discard_input();
      const Bytes sent = pattern(c.waiting, static_cast<uint8_t>(0x40 + trial));
      pty_.put(sent);
      sleep_ms(20);
      uint8_t buf[256] = {};
      uint32_t got = 99;
      const auto t0 = SteadyClock::now();
      ASSERT_TRUE(port_->read(buf, c.n, &got));
      best = std::min(best, ms_since(t0));
      ASSERT_EQ(got, c.expect);
      EXPECT_EQ(Bytes(buf, buf + got), Bytes(sent.begin(), sent.begin() + got));
    }
    EXPECT_LT(best, (21.0 + c.n) / 2);
  }
}

TEST_F(PortOverPty, EmptyLineWaitsItsDeadlineAndSucceeds) {
  const uint32_t sizes[] = {1, 7, 100};
  const double cpu0 = cpu_ms();
  const auto wall0 = SteadyClock::now();
  for (const uint32_t n : sizes) {
    SCOPED_TRACE(n);
    uint8_t buf[128];
    uint32_t got = 99;
    const auto t0 = SteadyClock::now();
    ASSERT_TRUE(port_->read(buf, n, &got));
    const double took = ms_since(t0);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 21.0 + n - 3);
    EXPECT_LT(took, 21.0 + n + 170);
  }
  // Waiting must be sleeping, not spinning.
  EXPECT_LT(cpu_ms() - cpu0, 0.10 * ms_since(wall0));
}

TEST_F(PortOverPty, BytesArrivingDuringTheWaitAreCollected) {
  struct Case {
    const char* what;
    uint32_t n;
    std::vector<uint32_t> chunks;  // written 4 ms apart, the first 4 ms after the read starts
    uint32_t expect;
    double min_ms;
    double max_ms;
  };
  // Deadlines are kept long enough that a late device thread on a loaded machine still
  // lands its bytes in time; how early the read returns is judged on the long read only.
  const Case cases[] = {
      {"a reply arriving mid-wait", 7, {7}, 7, 0, 200},
      {"a reply in two pieces", 60, {30, 30}, 60, 0, 250},
      {"a long read filled early", 100, {25, 25, 25, 25}, 100, 0, 90},
      {"a short reply, then the deadline", 40, {3}, 3, 58, 230},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port_->discard_input();
    const Bytes sent = pattern(c.expect, 0x80);
    std::thread device([&] {
      size_t at = 0;
      for (const uint32_t len : c.chunks) {
        sleep_ms(4);
        pty_.put(Bytes(sent.begin() + at, sent.begin() + at + len));
        at += len;
      }
    });
    uint8_t buf[128] = {};
    uint32_t got = 0;
    const auto t0 = SteadyClock::now();
    const bool ok = port_->read(buf, c.n, &got);
    const double took = ms_since(t0);
    device.join();
    ASSERT_TRUE(ok);
    EXPECT_EQ(got, c.expect);
    EXPECT_EQ(Bytes(buf, buf + got), Bytes(sent.begin(), sent.begin() + got));
    EXPECT_GE(took, c.min_ms);
    EXPECT_LT(took, c.max_ms);
  }
}

TEST_F(PortOverPty, DiscardDropsOnlyWhatCameBefore) {
  pty_.put(pattern(5, 1));
  sleep_ms(20);
  port_->discard_input();
  uint8_t buf[16];
  uint32_t got = 99;
  ASSERT_TRUE(port_->read(buf, 7, &got));
  EXPECT_EQ(got, 0u);

  pty_.put({0xAA, 0x55});
  EXPECT_EQ(read_up_to(2, 20), (Bytes{0xAA, 0x55}));
}

// --- write timing ---------------------------------------------------------------------------

TEST(PortWrite, StuckOutputGivesUpAfterItsDeadlineWithoutFailing) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  // Opened before the port so it is let in whoever runs the test; it stuffs the terminal's
  // output until the device side, which never reads, can take no more.
  const int stuffer = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(stuffer, 0);
  auto port = korvel::make_system_port();
  ASSERT_TRUE(open_and_configure(*port, pty.slave()));
  // The kernel moves queued output on to the device side in the background, so the terminal
  // only counts as full once it still refuses bytes after a pause.
  const Bytes chunk(4096, 0x5A);
  bool full = false;
  for (int round = 0; round < 50 && !full; ++round) {
    while (::write(stuffer, chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    sleep_ms(10);
    full = ::write(stuffer, chunk.data(), 1) < 0 && errno == EAGAIN;
  }
  ASSERT_TRUE(full) << "output never filled up";

  const Bytes frame = pattern(16, 0);
  const double cpu0 = cpu_ms();
  const auto t0 = SteadyClock::now();
  EXPECT_TRUE(port->write(frame.data(), 16));
  const double took = ms_since(t0);
  EXPECT_GE(took, 48.0 + 16 - 3);
  EXPECT_LT(took, 500.0);
  EXPECT_LT(cpu_ms() - cpu0, 0.10 * took);
  port->close();
  ::close(stuffer);
}

// --- faults ---------------------------------------------------------------------------------

TEST_F(PortOverPty, DeviceSideGoneFailsPromptly) {
  pty_.close_master();
  const Bytes frame = pattern(16, 0);
  auto t0 = SteadyClock::now();
  EXPECT_FALSE(port_->write(frame.data(), 16));
  EXPECT_LT(ms_since(t0), 500.0);

  uint8_t buf[16];
  uint32_t got = 99;
  t0 = SteadyClock::now();
  EXPECT_FALSE(port_->read(buf, 7, &got));
  EXPECT_LT(ms_since(t0), 500.0);
  EXPECT_EQ(got, 0u);
}

TEST_F(PortOverPty, DeviceSideGoneWhileWaitingEndsTheWait) {
  std::thread unplug([&] {
    sleep_ms(10);
    pty_.close_master();
  });
  uint8_t buf[256];
  uint32_t got = 99;
  const auto t0 = SteadyClock::now();
  const bool ok = port_->read(buf, 250, &got);  // a 271 ms deadline
  const double took = ms_since(t0);
  unplug.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(took, 200.0);
}

// --- opening and closing --------------------------------------------------------------------

TEST(PortOpen, SecondOpenerRefusedUntilFirstCloses) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto first = korvel::make_system_port();
  auto second = korvel::make_system_port();
  ASSERT_TRUE(first->open(pty.slave()));
  EXPECT_FALSE(second->open(pty.slave()));
  ASSERT_TRUE(first->close());
  EXPECT_TRUE(second->open(pty.slave()));
  EXPECT_TRUE(second->read_settings());
  EXPECT_TRUE(second->close());
}

// Root is let through a terminal's exclusive mode, so only an ordinary user can show that
// the port asks for it, and that it hands it back on closing.
TEST(PortOpen, OrdinaryUsersAreKeptOutWhileHeld) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to become an ordinary user";
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(chmod(pty.slave(), 0666), 0);

  // 0: opened, 1: refused with EBUSY, 2: refused otherwise, 3: could not drop privileges.
  const auto try_as_nobody = [&]() -> int {
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0)
        _exit(3);
      const int fd = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd >= 0)
        _exit(0);
      _exit(errno == EBUSY ? 1 : 2);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
      return -1;
    return WEXITSTATUS(status);
  };

  const int before = try_as_nobody();
  if (before == 3)
    GTEST_SKIP() << "cannot change user here";
  ASSERT_EQ(before, 0);

  const int keeper = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(keeper, 0);  // another user of the terminal, so closing the port is not its last close
  auto port = korvel::make_system_port();
  ASSERT_TRUE(port->open(pty.slave()));
  EXPECT_EQ(try_as_nobody(), 1);
  ASSERT_TRUE(port->close());
  EXPECT_EQ(try_as_nobody(), 0);
  ::close(keeper);
}

TEST(PortOpen, NonTerminalsOpenButHaveNoSettings) {
  char file[] = "/tmp/korvel-port-test-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  ::close(fd);
  for (const char* path : {static_cast<const char*>(file), "/dev/null"}) {
    SCOPED_TRACE(path);
    auto port = korvel::make_system_port();
    ASSERT_TRUE(port->open(path));
    EXPECT_FALSE(port->read_settings());
    EXPECT_TRUE(port->close());
  }
  unlink(file);
}

TEST(PortOpen, UnopenablePathsAreRefused) {
  for (const char* path : {"/nonexistent/korvel-port", "/tmp", ""}) {
    SCOPED_TRACE(path);
    auto port = korvel::make_system_port();
    EXPECT_FALSE(port->open(path));
    EXPECT_FALSE(port->read_settings());
    EXPECT_FALSE(port->close());
  }
}

TEST(PortOpen, CloseReportsASecondClose) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = korvel::make_system_port();
  ASSERT_TRUE(port->open(pty.slave()));
  EXPECT_TRUE(port->close());
  EXPECT_FALSE(port->close());
  const uint8_t byte = 0;
  uint32_t got = 0;
  EXPECT_FALSE(port->write(&byte, 1));
  EXPECT_FALSE(port->read(nullptr, 0, &got));
}

}  // namespace
