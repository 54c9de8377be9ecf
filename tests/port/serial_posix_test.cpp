// The port on a pseudo-terminal's slave, the test the device on its master. Generous time bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "exchange/port_reads.h"
#include "system/serial_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

const auto sleep_ms = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
const auto ms_since = [](SteadyClock::time_point t0) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
};
const auto cpu_ms = [] { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; };
// A call's own time limit, less a few ms for the clocks' rounding.
const auto limit_ms = [](korvel::TimeLimit l, uint32_t n) { return double(l.for_bytes(n)) - 3; };

// The slave starts cooked, as a new terminal does. probe_ is opened before the port takes it.
class PortOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0);
    slave_ = ptsname(master_);
    probe_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(port_->open(slave_.c_str()).ok() && port_->read_settings().ok() &&
                port_->apply_line_settings(9600).ok());
  }
  void TearDown() override {
    ::close(probe_);
    ::close(master_);
  }
  void put(const Bytes& b) { ASSERT_EQ(::write(master_, b.data(), b.size()), ssize_t(b.size())); }
  // A read (read_until when until_ms >= 0) into got: whether it succeeded, and its time in ms.
  std::pair<bool, double> read(Bytes& got, uint32_t n, int until_ms = -1) {
    got.resize(n);
    uint32_t count = 99;
    const auto t0 = SteadyClock::now();
    const korvel::PortWaits waits = korvel::system_waits(clock_);
    const bool ok = until_ms < 0 ? korvel::port_read(*port_, waits, got.data(), n, &count)
                                 : korvel::port_read_until(*port_, waits, got.data(), n, &count,
                                                           static_cast<uint32_t>(until_ms));
    got.resize(count);
    return {ok, ms_since(t0)};
  }

  int master_ = -1, probe_ = -1;
  std::string slave_;
  std::unique_ptr<korvel::SerialPort> port_ = korvel::make_system_port();
  korvel::SystemClock clock_;
};

TEST_F(PortOverPty, RawEightBitUnrelatedSettingsKeptAndEveryByteValuePasses) {
  constexpr tcflag_t kIn =
      ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | INPCK | BRKINT | IUCLC;
  constexpr tcflag_t kLocal = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;
  termios t{};
  tcgetattr(probe_, &t);
  t.c_iflag |= kIn;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= kLocal;
  // Of the settings the port must leave alone, one set and one cleared.
  t.c_cflag = (t.c_cflag & ~(CREAD | CLOCAL | HUPCL)) | CSTOPB | PARENB | CRTSCTS;
  ASSERT_EQ(tcsetattr(probe_, TCSANOW, &t), 0);
  ASSERT_TRUE(port_->read_settings().ok() && port_->apply_line_settings(9600).ok());
  tcgetattr(probe_, &t);
  EXPECT_EQ((t.c_iflag & kIn) | (t.c_oflag & OPOST) | (t.c_lflag & kLocal), 0u);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS | HUPCL | CBAUD),
            CS8 | CREAD | CLOCAL | CRTSCTS | B9600);
  EXPECT_EQ(t.c_cc[VMIN] | t.c_cc[VTIME], 0);
  Bytes all(256), got(512);
  std::iota(all.begin(), all.end(), 0);
  put(all);
  ASSERT_TRUE(port_->write(all.data(), 256));
  sleep_ms(100);
  got.resize(std::max<ssize_t>(0, ::read(master_, got.data(), got.size())));
  EXPECT_EQ(got, all);
  read(got, 257);
  EXPECT_EQ(got, all);
}

TEST_F(PortOverPty, ReadsKeepTheirDeadlinesAndDiscardDropsOnlyWhatCameBefore) {
  // Bytes waiting; chunks sent 8 ms apart; bytes asked, got; read_until's ms (-1: read); bounds.
  const double nothing = limit_ms(korvel::kPortTimeLimits.read, 100);
  struct Row {
    int waiting, chunk, chunks, n, want, until;
    double min, max;
  } const rows[] = {{3, 0, 0, 200, 3, -1, 0, 110},   {0, 0, 0, 100, 0, -1, nothing, 300},
                    {0, 25, 4, 100, 100, -1, 0, 90}, {3, 4, 1, 7, 7, 400, 0, 300},
                    {3, 0, 0, 7, 3, 80, 77, 300},    {10, 0, 0, 7, 7, 400, 0, 60}};
  const double cpu0 = cpu_ms();
  const auto wall0 = SteadyClock::now();
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    put(Bytes(5, 0xEE));  // came before the discard
    sleep_ms(20);
    port_->discard_input();
    Bytes sent(r.waiting + r.chunk * r.chunks), got;
    std::iota(sent.begin(), sent.end(), 0x30);
    put(Bytes(sent.begin(), sent.begin() + r.waiting));
    sleep_ms(20);
    EXPECT_EQ(port_->input_waiting(), static_cast<uint32_t>(r.waiting));
    std::thread device([&] {
      for (auto at = sent.begin() + r.waiting; at != sent.end(); at += r.chunk) {
        sleep_ms(8);
        put(Bytes(at, at + r.chunk));
      }
    });
    const auto [ok, ms] = read(got, r.n, r.until);
    device.join();
    EXPECT_EQ(std::pair(ok, got), std::pair(true, Bytes(sent.begin(), sent.begin() + r.want)));
    EXPECT_TRUE(ms >= r.min && ms < r.max) << ms << " ms";
  }
  EXPECT_LT(cpu_ms() - cpu0, 0.10 * ms_since(wall0)) << "waiting must sleep, not spin";
}

TEST_F(PortOverPty, StuckOutputGivesUpAfterItsDeadlineWithoutFailing) {
  // The device side never reads: the output is full once it still refuses after a pause.
  const Bytes chunk(4096, 0x5A);
  for (int round = 0; round < 50 && ::write(probe_, chunk.data(), 1) > 0; ++round, sleep_ms(10))
    while (::write(probe_, chunk.data(), chunk.size()) > 0) {
    }
  const double cpu0 = cpu_ms();
  const auto t0 = SteadyClock::now();
  EXPECT_TRUE(port_->write(chunk.data(), 16));
  EXPECT_GE(ms_since(t0), limit_ms(korvel::kPortTimeLimits.write, 16));
  EXPECT_LT(ms_since(t0), 500.0);
  EXPECT_LT(cpu_ms() - cpu0, 0.10 * ms_since(t0));
}

// The device side goes during a wait, which must end there; afterwards every call fails.
TEST_F(PortOverPty, DeviceSideGoneFailsPromptly) {
  std::thread unplug([&] {
    sleep_ms(10);
    ::close(std::exchange(master_, -1));
  });
  Bytes got;
  const auto [ok, ms] = read(got, 250);  // a deadline past 250 ms
  unplug.join();
  EXPECT_TRUE(!ok && ms < 200.0) << ok << " after " << ms << " ms";
  EXPECT_FALSE(port_->write(reinterpret_cast<const uint8_t*>("x"), 1));
  EXPECT_FALSE(read(got, 7).first);
}

// Exclusive mode keeps ordinary users out, the lock root. Why a port cannot be had is a value,
// with the system's code and words, from the step where it shows.
TEST_F(PortOverPty, WhyAPortCannotBeHadAndEachStepInItsOrder) {
  using F = korvel::PortFault;
  int exclusive = -1;
  EXPECT_TRUE(ioctl(probe_, TIOCGEXCL, &exclusive) == 0 && exclusive == 1);
  const std::string locked = ::testing::TempDir() + "korvel-locked-" + std::to_string(getpid());
  ::close(::open(locked.c_str(), O_CREAT | O_WRONLY, 0));
  // The path; whether open() lets it through to read_settings(); why it fails, and the code.
  struct Row {
    std::string path;
    bool opens;
    F fault;
    int code;
  };
  std::vector<Row> rows = {{"/nonexistent/tty", false, F::Missing, ENOENT},
                           {slave_, false, F::Busy, geteuid() == 0 ? EWOULDBLOCK : EBUSY},
                           {"/dev/null", true, F::NotASerialPort, ENOTTY},
                           {::testing::TempDir(), false, F::Other, EISDIR}};
  if (geteuid() != 0)  // root may open any file
    rows.push_back({locked, false, F::NotPermitted, EACCES});
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    auto port = korvel::make_system_port();
    korvel::PortStatus status = port->open(r.path.c_str());
    EXPECT_EQ(status.ok(), r.opens);
    if (status.ok())
      status = port->read_settings();
    EXPECT_EQ(std::tuple(status.fault, status.code), std::tuple(r.fault, r.code));
    EXPECT_NE(status.text.find(std::strerror(r.code)), std::string::npos) << status.text;
  }
  ::unlink(locked.c_str());
  ASSERT_TRUE(port_->close());
  auto second = korvel::make_system_port();
  ASSERT_TRUE(second->open(slave_.c_str()).ok());
  EXPECT_FALSE(second->apply_line_settings(9600).ok());  // the settings have not been read
}

}  // namespace
