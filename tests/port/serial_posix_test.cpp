// The POSIX port through make_system_port() on the slave side of a real pseudo-terminal,
// with the test playing the device on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "link/serial_port.h"

namespace {

using korvel::SerialPort;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const auto ms_since = [](Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
};
// Processor time of the whole test process, which has no busy threads of its own.
const auto cpu_ms = [] { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
const auto sleep_ms = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
const auto pattern = [](size_t n, uint8_t first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
};

// A pseudo-terminal whose master stands in for the device end of the cable. Its slave starts
// cooked, as a new terminal does, so the port has every translation to switch off; termios
// calls on the master would change the slave, so the master is left as it comes.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[256];
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0)
      slave = name;
  }
  ~Pty() { close_master(); }

  void put(const Bytes& b) { ASSERT_EQ(::write(master, b.data(), b.size()), ssize_t(b.size())); }
  // What reaches the master, up to n bytes, until it has been quiet for quiet_ms.
  Bytes take(size_t n, int quiet_ms) {
    Bytes out(n);
    size_t have = 0;
    pollfd p{master, POLLIN, 0};
    for (ssize_t r; have < n && (::poll(&p, 1, quiet_ms) > 0) &&
                    (r = ::read(master, out.data() + have, n - have)) > 0;)
      have += static_cast<size_t>(r);
    out.resize(have);
    return out;
  }
  void close_master() { ::close(std::exchange(master, -1)); }
  // Another descriptor on the terminal, to watch its settings or share it.
  int probe() const { return ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }

  int master = -1;
  std::string slave;
};

bool open_and_configure(SerialPort& port, const std::string& path) {
  return port.open(path.c_str()) && port.read_settings() && port.apply_line_settings(9600) &&
         port.apply_timeouts();
}

class PortOverPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(open_and_configure(*port_, pty_.slave)); }
  // One read of n bytes: its result, what came and how long it took.
  std::tuple<bool, Bytes, double> read(uint32_t n) {
    Bytes got(n);
    uint32_t count = 99;
    const auto t0 = Clock::now();
    const bool ok = port_->read(got.data(), n, &count);
    got.resize(count);
    return {ok, got, ms_since(t0)};
  }

  Pty pty_;
  std::unique_ptr<SerialPort> port_ = korvel::make_system_port();
};

TEST(PortSettings, RawEightBitAndUnrelatedSettingsKept) {
  constexpr tcflag_t kInputOff =
      ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | INPCK | BRKINT | IUCLC;
  constexpr tcflag_t kLocalOff = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;
  // Both ways round for the settings the port must leave alone.
  for (const tcflag_t extras : {tcflag_t{CRTSCTS | HUPCL}, tcflag_t{0}}) {
    SCOPED_TRACE(extras);
    Pty pty;
    const int probe = pty.probe();  // opened first, so it can watch the terminal's settings
    termios t{};
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    t.c_iflag |= kInputOff;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= kLocalOff;
    t.c_cflag = (t.c_cflag & ~(CREAD | CLOCAL | CRTSCTS | HUPCL)) | CSTOPB | extras;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 3;
    cfsetspeed(&t, B1200);
    ASSERT_EQ(tcsetattr(probe, TCSANOW, &t), 0);

    auto port = korvel::make_system_port();
    ASSERT_TRUE(open_and_configure(*port, pty.slave));
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    EXPECT_EQ(t.c_iflag & kInputOff, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & kLocalOff, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL),
              tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(t.c_cc[VMIN] | t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | HUPCL), extras);
    // Rates termios cannot name are refused and leave the last one in place.
    const std::tuple<int32_t, bool, speed_t> rates[] = {
        {12345, false, B9600}, {115200, true, B115200}, {0, false, B115200}, {1200, true, B1200}};
    for (const auto& [baud, ok, speed] : rates) {
      SCOPED_TRACE(baud);
      EXPECT_EQ(port->apply_line_settings(baud), ok);
      ASSERT_EQ(tcgetattr(probe, &t), 0);
      EXPECT_EQ(cfgetispeed(&t), speed);
      EXPECT_EQ(cfgetospeed(&t), speed);
    }
    EXPECT_TRUE(port->close());
    ::close(probe);
  }
}

TEST_F(PortOverPty, AllByteValuesPassUnchangedBothWays) {
  const Bytes table = pattern(256, 0);
  pty_.put(table);
  sleep_ms(20);
  EXPECT_EQ(std::get<1>(read(256)), table);
  ASSERT_TRUE(port_->write(table.data(), 256));
  EXPECT_EQ(pty_.take(256, 2000), table);
  EXPECT_TRUE(pty_.take(1, 50).empty()) << "the port sent more than it was given";
}

// Bytes already waiting come back at once; with none, the read waits its 21 + n ms and
// succeeds. The best of three tries judges the time, which one preemption cannot spoil.
TEST_F(PortOverPty, WaitingBytesComeBackAtOnceAndAnEmptyLineWaitsItsDeadline) {
  const double cpu0 = cpu_ms();
  const auto wall0 = Clock::now();
  for (const auto& [waiting, n] :
       {std::pair<uint32_t, uint32_t>{7, 7}, {3, 7}, {10, 7}, {3, 200}, {0, 1}, {0, 7}, {0, 100}}) {
    SCOPED_TRACE(testing::Message() << waiting << " waiting, asking for " << n);
    double best = 1e9;
    for (int trial = 0; trial < 3; ++trial) {
      port_->discard_input();
      const Bytes sent = pattern(waiting, static_cast<uint8_t>(0x40 + trial));
      pty_.put(sent);
      sleep_ms(20);
      const auto [ok, got, ms] = read(n);
      ASSERT_TRUE(ok);
      EXPECT_EQ(got, Bytes(sent.begin(), sent.begin() + std::min(waiting, n)));
      EXPECT_GE(ms, waiting > 0 ? 0 : 21.0 + n - 3);
      best = std::min(best, ms);
    }
    EXPECT_LT(best, waiting > 0 ? (21.0 + n) / 2 : 21.0 + n + 15);
  }
  // Waiting must be sleeping, not spinning.
  EXPECT_LT(cpu_ms() - cpu0, 0.10 * ms_since(wall0));
}

TEST_F(PortOverPty, BytesArrivingDuringTheWaitAreCollected) {
  // Chunks written 4 ms apart, the first 4 ms after the read starts. Deadlines leave a late
  // device thread on a loaded machine time to land its bytes; how early the read returns is
  // judged on the long read only.
  using Case = std::tuple<uint32_t, std::vector<uint32_t>, double, double>;
  for (const auto& [n, chunks, min_ms, max_ms] :
       {Case{7, {7}, 0, 200}, {100, {25, 25, 25, 25}, 0, 90}, {40, {3}, 58, 230}}) {
    SCOPED_TRACE(n);
    port_->discard_input();
    const Bytes sent = pattern(std::accumulate(chunks.begin(), chunks.end(), 0u), 0x80);
    // A plain reference: older clang cannot capture a structured binding.
    const std::vector<uint32_t>& parts = chunks;
    std::thread device([&] {
      for (size_t at = 0, i = 0; i < parts.size(); at += parts[i++]) {
        sleep_ms(4);
        pty_.put(Bytes(sent.begin() + at, sent.begin() + at + parts[i]));
      }
    });
    const auto [ok, got, ms] = read(n);
    device.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, sent);
    EXPECT_GE(ms, min_ms);
    EXPECT_LT(ms, max_ms);
  }
}

// Bytes waiting do not end this read: it collects until it has n or its own time is up.
TEST_F(PortOverPty, ReadUntilCollectsUntilItHasAllOrItsTimeIsUp) {
  // Bytes waiting, bytes put 40 ms into the read, n, the read's time; what comes back and
  // bounds on how long it took (upper ones with room for a loaded machine).
  using Case = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, size_t, double, double>;
  for (const auto& [waiting, later, n, wait_ms, want, min_ms, max_ms] :
       {Case{3, 4, 7, 400, 7, 37, 300},
        {3, 0, 7, 80, 3, 77, 300},
        {10, 0, 7, 400, 7, 0, 60},
        {0, 0, 7, 0, 0, 0, 60}}) {
    SCOPED_TRACE(testing::Message() << waiting << " waiting, " << later << " later");
    port_->discard_input();
    const Bytes sent = pattern(waiting + later, 0x30);
    pty_.put(Bytes(sent.begin(), sent.begin() + waiting));
    sleep_ms(20);
    std::thread device([&, waiting = waiting, later = later] {
      sleep_ms(40);
      if (later > 0)
        pty_.put(Bytes(sent.begin() + waiting, sent.begin() + waiting + later));
    });
    Bytes got(n);
    uint32_t count = 99;
    const auto t0 = Clock::now();
    EXPECT_TRUE(port_->read_until(got.data(), n, &count, wait_ms));
    const double ms = ms_since(t0);
    device.join();
    got.resize(count);
    EXPECT_EQ(got, Bytes(sent.begin(), sent.begin() + want));
    EXPECT_GE(ms, min_ms);
    EXPECT_LT(ms, max_ms);
  }
}

TEST_F(PortOverPty, DiscardDropsOnlyWhatCameBefore) {
  pty_.put(pattern(5, 1));
  sleep_ms(20);
  port_->discard_input();
  const auto [ok, got, ms] = read(7);
  EXPECT_TRUE(ok && got.empty());
  pty_.put({0xAA, 0x55});
  sleep_ms(20);
  EXPECT_EQ(std::get<1>(read(2)), (Bytes{0xAA, 0x55}));
}

TEST(PortWrite, StuckOutputGivesUpAfterItsDeadlineWithoutFailing) {
  Pty pty;
  // Opened first, so it is let in whoever runs the test, to stuff the output until the device
  // side, which never reads, takes no more: full once it still refuses after a pause.
  const int stuffer = pty.probe();
  ASSERT_GE(stuffer, 0);
  auto port = korvel::make_system_port();
  ASSERT_TRUE(open_and_configure(*port, pty.slave));
  const Bytes chunk(4096, 0x5A);
  bool full = false;
  for (int round = 0; round < 50 && !full; ++round) {
    while (::write(stuffer, chunk.data(), chunk.size()) > 0) {
    }
    sleep_ms(10);
    full = ::write(stuffer, chunk.data(), 1) < 0 && errno == EAGAIN;
  }
  ASSERT_TRUE(full) << "output never filled up";

  const double cpu0 = cpu_ms();
  const auto t0 = Clock::now();
  EXPECT_TRUE(port->write(chunk.data(), 16));
  const double took = ms_since(t0);
  EXPECT_GE(took, 48.0 + 16 - 3);
  EXPECT_LT(took, 500.0);
  EXPECT_LT(cpu_ms() - cpu0, 0.10 * took);
  port->close();
  ::close(stuffer);
}

// The device side goes during a wait, which must end there; afterwards every call fails at once.
TEST_F(PortOverPty, DeviceSideGoneFailsPromptly) {
  std::thread unplug([&] {
    sleep_ms(10);
    pty_.close_master();
  });
  const auto [ok, got, ms] = read(250);  // a 271 ms deadline
  unplug.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(ms, 200.0);
  const auto t0 = Clock::now();
  EXPECT_FALSE(port_->write(pattern(16, 0).data(), 16));
  const auto [ok_after, got_after, ms_after] = read(7);
  EXPECT_TRUE(!ok_after && got_after.empty());
  EXPECT_LT(ms_since(t0), 500.0);
}

// Root walks past a terminal's exclusive mode, so an ordinary user, when the test can become
// one, shows that the port asks for it and hands it back on closing.
TEST(PortOpen, OneOpenerAtATimeAndEachStepInItsOrder) {
  Pty pty;
  ASSERT_EQ(chmod(pty.slave.c_str(), 0666), 0);
  const int keeper = pty.probe();  // so that closing the port is not the terminal's last close
  // 0: opened, 1: refused with EBUSY, 2: refused otherwise, 3: could not become nobody.
  const auto nobody_opens = [&] {
    int status = 0;
    const pid_t pid = geteuid() == 0 ? fork() : -1;
    if (pid == 0)
      _exit(setgid(65534) != 0 || setuid(65534) != 0 ? 3
            : pty.probe() >= 0                       ? 0
            : errno == EBUSY                         ? 1
                                                     : 2);
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : 3;
  };
  auto first = korvel::make_system_port(), second = korvel::make_system_port();
  ASSERT_TRUE(first->open(pty.slave.c_str()));
  EXPECT_FALSE(second->open(pty.slave.c_str()));
  const int held = nobody_opens();
  EXPECT_FALSE(first->apply_line_settings(9600));  // the settings have not been read
  ASSERT_TRUE(first->close());
  EXPECT_FALSE(first->close());
  uint32_t got = 0;
  EXPECT_FALSE(first->write(reinterpret_cast<const uint8_t*>("x"), 1));
  EXPECT_FALSE(first->read(nullptr, 0, &got));
  if (held != 3) {
    EXPECT_EQ(held, 1);
    EXPECT_EQ(nobody_opens(), 0);
  }
  EXPECT_TRUE(second->open(pty.slave.c_str()));
  EXPECT_TRUE(second->read_settings());
  ::close(keeper);
}

// A file that is no terminal opens but has no settings; a path that is no file fails to open.
TEST(PortOpen, WhatIsNoTerminalFailsWhereItShould) {
  char file[] = "/tmp/korvel-port-test-XXXXXX";
  ::close(mkstemp(file));
  for (const auto& [path, opens] :
       {std::pair<std::string, bool>{file, true}, {"/nonexistent/korvel-port", false}}) {
    SCOPED_TRACE(path);
    auto port = korvel::make_system_port();
    EXPECT_EQ(port->open(path.c_str()), opens);
    EXPECT_FALSE(port->read_settings());
    EXPECT_EQ(port->close(), opens);
  }
  unlink(file);
}

}  // namespace
