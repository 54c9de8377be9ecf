// zemlot-sim: the bootloader model behind a pseudo-terminal or a real serial port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "cli.h"
#include "common/fd.h"
#include "common/files.h"
#include "common/text.h"
#include "model.h"
#include "signal_pipe.h"
#include "wire.h"

#ifndef ZEMLOT_VERSION
#define ZEMLOT_VERSION "0"
#endif

namespace zemlot {
namespace {

// How long to wait for the loader to take the last reply before the line is closed under it.
constexpr uint64_t kHandOverNs = 2'000'000'000;

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

void fail(const std::string& what) {
  std::fprintf(stderr, "zemlot-sim: %s\n", what.c_str());
}

std::string sys_error(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

using korvel::common::Fd;

// The pseudo-terminal's master or the serial port, and our own pty slave, so the master never
// sees the loader's last close.
struct Line {
  Fd fd, keep;
  std::string path;
  void close() {
    fd.reset();
    keep.reset();
  }
};

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::optional<Line> open_pty() {
  Line line;
  line.fd = Fd(posix_openpt(O_RDWR | O_NOCTTY));
  if (!line.fd.valid()) {
    fail(sys_error("cannot open a pseudo-terminal"));
    return std::nullopt;
  }
  const int m = line.fd.get();
  const char* name = nullptr;
  if (grantpt(m) != 0 || unlockpt(m) != 0 || (name = ptsname(m)) == nullptr) {
    fail(sys_error("cannot set up the pseudo-terminal"));
    return std::nullopt;
  }
  line.path = name;
  line.keep = Fd(::open(name, O_RDWR | O_NOCTTY));
  termios tio{};
  if (!line.keep.valid() || tcgetattr(line.keep.get(), &tio) != 0) {
    fail(sys_error("cannot open " + line.path));
    return std::nullopt;
  }
  // Raw from the start: a loader that forgets a setting must not get echo or line editing.
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(line.keep.get(), TCSANOW, &tio) != 0 || !set_nonblocking(m)) {
    fail(sys_error("cannot set up " + line.path));
    return std::nullopt;
  }
  return line;
}

std::optional<Line> open_port(const std::string& path) {
  Line line;
  line.path = path;
  line.fd = Fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!line.fd.valid()) {
    fail(sys_error("cannot open " + path));
    return std::nullopt;
  }
  termios tio{};
  if (tcgetattr(line.fd.get(), &tio) != 0) {
    fail(sys_error(path + " is not a serial port"));
    return std::nullopt;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSTOPB | PARENB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN rather than 0 when there is nothing
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(line.fd.get(), TCSANOW, &tio) != 0) {
    fail(sys_error("cannot set 9600 8N1 on " + path));
    return std::nullopt;
  }
  return line;
}

// Waits (bounded) until what we wrote has reached the other end, so that closing the line
// does not throw away the last reply: a pty drops unread input when its master closes.
void wait_until_read(const Line& line) {
  if (!line.fd.valid()) {
    return;
  }
  if (!line.keep.valid()) {
    tcdrain(line.fd.get());
    return;
  }
  // A write to the master reaches the slave's queue a little later (the kernel moves it in
  // the background); polling the slave makes it finish that first, so the count that
  // follows is true.
  const uint64_t start = now_ns();
  for (;;) {
    pollfd self{line.keep.get(), POLLIN, 0};
    poll(&self, 1, 0);
    int waiting = 0;
    if (ioctl(line.keep.get(), FIONREAD, &waiting) != 0 || waiting == 0 ||
        now_ns() - start >= kHandOverNs) {
      return;
    }
    pollfd sig{signal_pipe::fd(), POLLIN, 0};
    if (poll(&sig, 1, 1) > 0) {
      return;
    }
  }
}

class Emulator {
 public:
  Emulator(const ProgramOptions& opts, Line line)
      : opts_(opts), wire_(opts.model), line_(std::move(line)), start_us_(now_us()) {}

  // Runs until a signal, or until the goto reply is out with --exit-on-goto.
  void run() {
    for (;;) {
      // One reading of the clock for the turn: what is handed over and what is waited for are
      // judged at the same moment.
      const uint64_t now = now_us();
      if (!hand_over(now)) {
        return;
      }
      pollfd fds[2] = {{signal_pipe::fd(), POLLIN, 0}, {line_.fd.get(), POLLIN, 0}};
      const nfds_t nfds = line_.fd.valid() ? 2 : 1;
      timespec timeout{};
      const timespec* tp = nullptr;
      if (auto next = line_.fd.valid() ? wire_.next_event_after(now) : std::nullopt) {
        const uint64_t wait = *next - now;
        timeout.tv_sec = static_cast<time_t>(wait / 1'000'000u);
        timeout.tv_nsec = static_cast<long>(wait % 1'000'000u * 1000);
        tp = &timeout;
      }
      flush_trace();
      const int ready = ppoll(fds, nfds, tp, nullptr);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        fail(sys_error("poll"));
        return;
      }
      if (fds[0].revents != 0) {
        return;
      }
      if (nfds == 2 && fds[1].revents != 0) {
        receive(fds[1].revents);
      }
    }
  }

  const Model& model() const { return wire_.model(); }

 private:
  static uint64_t now_us() { return now_ns() / 1000; }

  void print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  // Each line stamped like the loader's trace (KORVEL_TRACE), in milliseconds since the
  // emulator started, so that the two can be read side by side.
  void flush_trace() {
    for (const auto& t : wire_.model().take_trace()) {
      print(korvel::common::trace_stamp(now_us() - start_us_) + t);
    }
  }

  // What the loader sent goes on the line from the moment it was read: the device acts on a
  // frame only once its last byte would have arrived.
  void receive(short revents) {
    uint8_t buf[256];
    bool got_any = false;
    for (;;) {
      const ssize_t n = ::read(line_.fd.get(), buf, sizeof buf);
      if (n > 0) {
        got_any = true;
        wire_.host_write(buf, static_cast<size_t>(n), now_us());
        continue;
      }
      // A terminal with nothing to read says 0 or EAGAIN depending on its settings; only a
      // hang-up or an error with nothing to read means the port itself is gone.
      if (n == 0 || errno == EAGAIN || errno == EINTR) {
        if (got_any || (revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
          return;
        }
      }
      // A USB adapter pulled out: there is nothing left to serve, but the summary still
      // waits for a signal.
      fail(n < 0 ? sys_error("cannot read " + line_.path) : line_.path + " hung up");
      line_.close();
      return;
    }
  }

  // Writes what the line has handed to the loader by now. False when the program should end.
  bool hand_over(uint64_t now) {
    if (!line_.fd.valid()) {
      return true;
    }
    uint8_t buf[256];
    while (const size_t n = wire_.take(buf, sizeof buf, now)) {
      size_t done = 0;
      while (done < n) {
        const ssize_t w = ::write(line_.fd.get(), buf + done, n - done);
        if (w < 0 && errno == EINTR) {
          continue;
        }
        if (w < 0 && errno == EAGAIN) {
          // Nobody is reading the other end and its buffer is full: the bytes are lost, as
          // they would be on a line with nobody listening.
          break;
        }
        if (w < 0) {
          fail(sys_error("cannot write " + line_.path));
          line_.close();
          return true;
        }
        done += static_cast<size_t>(w);
      }
    }
    flush_trace();
    const Model& model = wire_.model();
    if (opts_.exit_on_goto && model.want_exit() && wire_.in_adapter() == 0) {
      wait_until_read(line_);
      return false;
    }
    if (model.want_vanish() && wire_.in_adapter() == 0) {
      wait_until_read(line_);
      line_.close();
      if (opts_.model.trace) {
        print("-- line closed");
      }
    }
    return true;
  }

  const ProgramOptions& opts_;
  Wire wire_;
  Line line_;
  uint64_t start_us_;
};

bool install_signals() {
  if (!signal_pipe::install()) {
    return false;
  }
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// The --dump file: opened when the emulator starts, so that a mistyped path or a file that must
// not be overwritten stops it at once rather than after a whole session. Only a regular file is
// ever replaced, and only with --force. One that this run made and never wrote goes again.
class DumpFile {
 public:
  DumpFile() = default;
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;
  ~DumpFile() {
    if (fd_.valid() && made_ && !written_) {
      fd_.reset();
      ::unlink(path_.c_str());
    }
  }

  bool open(const std::string& path, bool force) {
    if (const auto why = korvel::common::why_not_replaceable(path, force)) {
      fail(path + ": " + *why);
      return false;
    }
    struct stat st {};
    made_ = ::lstat(path.c_str(), &st) != 0;
    fd_ = Fd(::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (force ? 0 : O_EXCL), 0666));
    if (!fd_.valid()) {
      fail(sys_error("cannot create " + path));
      return false;
    }
    path_ = path;
    return true;
  }

  bool write(const Model& model) {
    written_ = true;
    const auto& flash = model.flash();
    size_t done = 0;
    bool ok = ::ftruncate(fd_.get(), 0) == 0;
    while (ok && done < flash.size()) {
      const ssize_t n =
          ::pwrite(fd_.get(), flash.data() + done, flash.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      ok = n > 0;
      done += ok ? static_cast<size_t>(n) : 0;
    }
    if (!ok) {
      fail(sys_error("cannot write " + path_));
    }
    if (fd_.reset() != 0 && ok) {
      fail(sys_error("cannot write " + path_));
      ok = false;
    }
    return ok;
  }

 private:
  Fd fd_;
  std::string path_;
  bool made_ = false, written_ = false;
};

int run_program(int argc, char** argv) {
  ParseResult parsed = parse_command_line(argc, argv);
  if (!parsed.ok) {
    fail(parsed.error);
    return 2;
  }
  if (std::string why; !load_holds(parsed.options, &why)) {
    fail(why);
    return 1;
  }
  const ProgramOptions& opts = parsed.options;
  if (opts.help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (opts.version) {
    std::printf("zemlot-sim %s\n", ZEMLOT_VERSION);
    return 0;
  }
  DumpFile dump;
  if (opts.dump && !dump.open(*opts.dump, opts.force)) {
    return 1;
  }
  if (!install_signals()) {
    fail(sys_error("cannot set up signal handling"));
    return 1;
  }
  std::optional<Line> line = opts.port ? open_port(*opts.port) : open_pty();
  if (!line) {
    return 1;
  }
  std::printf("%s\n", line->path.c_str());
  std::fflush(stdout);

  Emulator emulator(opts, std::move(*line));
  emulator.run();

  std::fputs(format_summary(emulator.model().summary()).c_str(), stdout);
  std::fflush(stdout);
  if (opts.dump && !dump.write(emulator.model())) {
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace zemlot

int main(int argc, char** argv) {
  return zemlot::run_program(argc, argv);
}
