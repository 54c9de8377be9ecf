// The serial port on POSIX systems, through termios.
//
// The port stays in non-blocking mode for its whole life: every wait is a poll() bounded by a
// deadline taken when the call starts, beside the interrupt's wake-up, so neither a silent
// device nor a stuck transmitter can hold the loader longer than the port contract allows.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "common/fd.h"
#include "system/posix/interrupt_posix.h"
#include "system/serial_port.h"

namespace korvel {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, rounded up so that a poll never wakes just short of it
// and spins on a zero timeout.
int remaining_ms(SteadyClock::time_point deadline) {
  const auto left = deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero())
    return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  return static_cast<int>((us + 999) / 1000);
}

bool is_transient(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// Only the rates termios can name; anything else is refused rather than silently rounded.
struct Rate {
  int32_t baud;
  speed_t speed;
};
constexpr Rate kRates[] = {
    {50, B50},         {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},       {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speed_for(int32_t baud, speed_t* out) {
  for (const Rate& r : kRates) {
    if (r.baud == baud) {
      *out = r.speed;
      return true;
    }
  }
  return false;
}

// Input translations that would alter or swallow bytes of a binary frame.
constexpr tcflag_t kInputOff = ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK |
                               INPCK | IGNBRK | BRKINT
#ifdef IUCLC
                               | IUCLC
#endif
    ;
constexpr tcflag_t kLocalOff = ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN;
constexpr tcflag_t kOutputOff = OPOST;
constexpr tcflag_t kControlOff = PARENB | CSTOPB;
constexpr tcflag_t kControlOn = CS8 | CREAD | CLOCAL;

// Whether the driver kept every setting apply_line_settings() asked for.
bool kept(const termios& got, speed_t speed) {
  return (got.c_iflag & kInputOff) == 0 && (got.c_oflag & kOutputOff) == 0 &&
         (got.c_lflag & kLocalOff) == 0 && (got.c_cflag & kControlOff) == 0 &&
         (got.c_cflag & CSIZE) == CS8 && (got.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL) &&
         got.c_cc[VMIN] == 0 && got.c_cc[VTIME] == 0 && ::cfgetispeed(&got) == speed &&
         ::cfgetospeed(&got) == speed;
}

PortFault fault_of(int err) {
  switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return PortFault::Missing;
    case EBUSY:        // in exclusive use by another program
    case EWOULDBLOCK:  // the lock, held by another program
      return PortFault::Busy;
    case EACCES:
    case EPERM:
      return PortFault::NotPermitted;
    case ENOTTY:
      return PortFault::NotASerialPort;
    default:
      return PortFault::Other;
  }
}

class PosixSerialPort final : public SerialPort {
 public:
  ~PosixSerialPort() override {
    if (fd_ >= 0)
      close();
  }

  PortStatus open(const char* name) override {
    if (fd_ >= 0 || name == nullptr)
      return refused("open", fd_ >= 0 ? "this port is open already" : "no name");
    common::Fd fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
      return failed("open");
    // TIOCEXCL keeps other ordinary users out, but root walks past it, so the advisory lock
    // is what stops a second loader run as root. A file that is no terminal at all is let
    // through here (ENOTTY) so that the caller sees it fail where settings are read.
    PortStatus status;
    if (::ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY)
      status = failed("exclusive use");
    else if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
      status = failed("lock");
    if (!status.ok())
      return status;
    fd_ = fd.release();
    have_base_ = false;
    ask_low_latency();
    return status;
  }

  std::string adapter_note() const override { return latency_note_; }

  PortStatus read_settings() override {
    if (fd_ < 0)
      return refused("tcgetattr", "the port is not open");
    if (::tcgetattr(fd_, &base_) != 0)
      return failed("tcgetattr");
    have_base_ = true;
    return {};
  }

  PortStatus apply_line_settings(int32_t baud) override {
    if (fd_ < 0 || !have_base_)
      return refused("tcsetattr", "the settings have not been read");
    speed_t speed;
    if (!speed_for(baud, &speed))
      return refused("cfsetspeed", "no such speed");
    termios want = base_;
    want.c_iflag &= ~kInputOff;
    want.c_oflag &= ~kOutputOff;
    want.c_lflag &= ~kLocalOff;
    want.c_cflag &= ~(CSIZE | kControlOff);
    want.c_cflag |= kControlOn;
    want.c_cc[VMIN] = 0;
    want.c_cc[VTIME] = 0;
    if (::cfsetispeed(&want, speed) != 0 || ::cfsetospeed(&want, speed) != 0)
      return failed("cfsetspeed");
    if (::tcsetattr(fd_, TCSANOW, &want) != 0)
      return failed("tcsetattr");
    // tcsetattr succeeds if any one change took; only a read-back shows what the driver kept.
    termios got{};
    if (::tcgetattr(fd_, &got) != 0)
      return failed("tcgetattr");
    if (!kept(got, speed))
      return refused("tcsetattr", "the driver did not keep the settings");
    baud_ = baud;
    return {};
  }

  // Nothing to hand to the driver: the time limits live in read() and write() as poll
  // deadlines. A closed port still has no limits to speak of.
  PortStatus apply_timeouts() override {
    return fd_ >= 0 ? PortStatus{} : refused("time limits", "the port is not open");
  }

  bool write(const uint8_t* data, uint32_t n) override {
    if (fd_ < 0)
      return false;
    if (n == 0)
      return true;
    const auto deadline =
        SteadyClock::now() + std::chrono::milliseconds(kPortTimeLimits.write.for_bytes(n));

    uint32_t sent = 0;
    while (sent < n) {
      const ssize_t r = ::write(fd_, data + sent, n - sent);
      if (r > 0) {
        sent += static_cast<uint32_t>(r);
        continue;
      }
      if (r < 0 && !is_transient(errno))
        return false;
      if (r < 0 && errno == EINTR)
        continue;
      // The driver's buffer is full: wait for room, but no longer than the contract allows.
      const int wait = remaining_ms(deadline);
      if (wait == 0)
        return true;
      pollfd p{fd_, POLLOUT, 0};
      const int pr = wait_for(p, wait);
      if (pr < 0) {
        if (errno == EINTR)
          continue;
        return false;
      }
      if (pr == 0)
        return true;
      if (p.revents & POLLNVAL)
        return false;
      if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLOUT)) {
        // One more write settles it: a hung-up line reports EIO, a live one takes bytes.
        const ssize_t again = ::write(fd_, data + sent, n - sent);
        if (again > 0) {
          sent += static_cast<uint32_t>(again);
          continue;
        }
        if (again < 0 && errno == EINTR)
          continue;
        return false;
      }
    }
    return wait_for_output_queue(deadline);
  }

  bool read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) override {
    if (got != nullptr)
      *got = 0;
    if (fd_ < 0 || got == nullptr)
      return false;
    if (n == 0)
      return true;
    // With VMIN = VTIME = 0 an idle terminal reads as 0 rather than EAGAIN, so a 0 here
    // proves nothing yet; a hung-up line shows itself at the poll.
    if (!take(buf, n, got))
      return false;
    if (*got > 0 || wait_ms == 0)
      return true;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
      const int wait = remaining_ms(deadline);
      if (wait == 0)
        return true;
      pollfd p{fd_, POLLIN, 0};
      const int pr = wait_for(p, wait);
      if (pr < 0 && errno == EINTR)
        continue;
      if (pr <= 0)
        return pr == 0;
      if (p.revents & POLLNVAL)
        return false;
      if (!take(buf, n, got))
        return false;
      if (*got > 0)
        return true;
      // poll woke us yet nothing came: on a terminal that only happens once the line is
      // gone (hang-up, unplugged adapter), and retrying would spin until the deadline.
      if (p.revents & (POLLHUP | POLLERR | POLLIN))
        return false;
    }
  }

  uint32_t input_waiting() override {
    int n = 0;
    return fd_ >= 0 && ::ioctl(fd_, FIONREAD, &n) == 0 && n > 0 ? static_cast<uint32_t>(n) : 0;
  }

  void discard_input() override {
    if (fd_ >= 0)
      ::tcflush(fd_, TCIFLUSH);
  }

  bool close() override {
    if (fd_ < 0)
      return false;
    // The terminal goes back as we found it: a console or a modem line left raw at 9600 is
    // of no use to whoever comes next. At once, not after waiting for the output: the loader's
    // writes have left already, and a stuck line must not hold the close up.
    if (have_base_)
      ::tcsetattr(fd_, TCSANOW, &base_);
    put_latency_back();
    // Exclusive mode belongs to the terminal, not to this descriptor; leaving it set would
    // lock others out for as long as anyone else keeps the terminal open.
    ::ioctl(fd_, TIOCNXCL);
    const int r = ::close(fd_);
    fd_ = -1;
    have_base_ = false;
    // On Linux the descriptor is released even when close() is interrupted.
    return r == 0 || errno == EINTR;
  }

 private:
  // The system's reason for a failed call, from errno.
  static PortStatus failed(const char* what) {
    const int err = errno;
    return {fault_of(err), err, std::string(what) + ": " + std::strerror(err)};
  }
  // A call refused before the system was asked.
  static PortStatus refused(const char* what, const char* why) {
    return {PortFault::Other, 0, std::string(what) + ": " + why};
  }

  // A USB adapter may hold received bytes back (an FTDI one up to 16 ms); its driver hands
  // them over at once when asked for low latency. Asked for at open and put back as found at
  // close, which every ending reaches, Ctrl+C and signals included. A driver that does not
  // offer it (a pseudo-terminal) or refuses is no failure.
  void ask_low_latency() {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct ss{};
    latency_asked_ = false;
    if (::ioctl(fd_, TIOCGSERIAL, &ss) != 0) {
      latency_note_ =
          std::string("low latency: not offered by the driver (") + std::strerror(errno) + ")";
      return;
    }
    if (ss.flags & ASYNC_LOW_LATENCY) {
      latency_note_ = "low latency: found on";
      return;
    }
    ss.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd_, TIOCSSERIAL, &ss) != 0) {
      latency_note_ =
          std::string("low latency: found off, asked for, refused (") + std::strerror(errno) + ")";
      return;
    }
    latency_asked_ = true;
    latency_note_ = "low latency: found off, asked for";
#else
    latency_note_ = "low latency: not offered on this system";
#endif
  }

  void put_latency_back() {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct ss{};
    if (latency_asked_ && ::ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
      ss.flags &= ~ASYNC_LOW_LATENCY;
      (void)::ioctl(fd_, TIOCSSERIAL, &ss);
    }
#endif
    latency_asked_ = false;
  }

  // What is waiting, without waiting: false only on a fault of the port.
  bool take(uint8_t* buf, uint32_t n, uint32_t* got) {
    for (;;) {
      const ssize_t r = ::read(fd_, buf, n);
      if (r >= 0) {
        *got = static_cast<uint32_t>(r);
        return true;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return true;
      if (errno != EINTR)
        return false;
    }
  }

  // poll() on the port and on the interrupt's wake-up; an interrupt ends the run from here.
  // Returns as poll() would for the port alone (0 on time-out, -1 with errno).
  static int wait_for(pollfd& port, int timeout_ms) {
    pollfd p[2] = {port, {interrupt::wake_fd(), POLLIN, 0}};
    const int pr = ::poll(p, p[1].fd >= 0 ? 2 : 1, timeout_ms);
    const int saved = errno;
    interrupt::check();
    port.revents = p[0].revents;
    errno = saved;
    if (pr > 0 && p[0].revents == 0)
      return 0;
    return pr;
  }

  // Waits, within the write's own deadline, for the driver to put the bytes on the wire.
  // Sleeping for the time the queued bytes need at the line rate keeps the wait cheap.
  bool wait_for_output_queue(SteadyClock::time_point deadline) {
    for (;;) {
      int queued = 0;
      if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) {
        // A driver that cannot tell its queue length has still taken every byte.
        return errno == ENOTTY || errno == EINVAL || errno == ENOSYS;
      }
      if (queued <= 0)
        return true;
      const int wait = remaining_ms(deadline);
      if (wait == 0)
        return true;
      // Ten bit times per byte at 8N1.
      const int64_t need_ms = (int64_t{queued} * 10 * 1000 + baud_ - 1) / baud_;
      const int64_t nap = need_ms < 1 ? 1 : (need_ms < wait ? need_ms : wait);
      std::this_thread::sleep_for(std::chrono::milliseconds(nap));
    }
  }

  int fd_ = -1;
  bool have_base_ = false;
  bool latency_asked_ = false;
  std::string latency_note_;
  int32_t baud_ = 9600;
  termios base_{};
};

}  // namespace

std::unique_ptr<SerialPort> make_system_port() {
  return std::make_unique<PosixSerialPort>();
}

}  // namespace korvel
