// Benchmark, not a test: the loader's CPU time in a reply-paced programming run through a port
// whose driver behaves as a widely used CH340 driver does, coming back at once with nothing
// whatever the read's time-outs say, against the same run through the port as it is.
// Usage: bench_ch340 ch340|plain PORT CONTAINER   (the answer "Y" on standard input)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "system/clock.h"
#include "text/console.h"
#include "app/frontend.h"
#include "system/serial_port.h"

namespace {

using namespace korvel;

class Ch340 final : public SerialPort {
 public:
  explicit Ch340(std::unique_ptr<SerialPort> real) : real_(std::move(real)) {}
  PortStatus open(const char* name) override { return real_->open(name); }
  PortStatus read_settings() override { return real_->read_settings(); }
  PortStatus apply_line_settings(int32_t baud) override { return real_->apply_line_settings(baud); }
  PortStatus apply_timeouts() override { return real_->apply_timeouts(); }
  bool write(const uint8_t* data, uint32_t n) override { return real_->write(data, n); }
  // What is waiting, and never a wait.
  bool read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t) override {
    ++calls;
    return real_->read_some(buf, n, got, 0);
  }
  uint32_t input_waiting() override { return real_->input_waiting(); }
  void discard_input() override { real_->discard_input(); }
  bool close() override { return real_->close(); }
  unsigned long calls = 0;

 private:
  std::unique_ptr<SerialPort> real_;
};

double cpu_s() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[1], "ch340") != 0 && std::strcmp(argv[1], "plain") != 0)) {
    std::fprintf(stderr, "usage: bench_ch340 ch340|plain PORT CONTAINER\n");
    return 2;
  }
  const bool ch340 = std::strcmp(argv[1], "ch340") == 0;
  auto console = make_system_console();
  SystemClock clock;
  std::unique_ptr<SerialPort> port = make_system_port();
  Ch340* fake = nullptr;
  if (ch340) {
    auto wrapped = std::make_unique<Ch340>(std::move(port));
    fake = wrapped.get();
    port = std::move(wrapped);
  }
  Platform p{*console, clock, *port, "reply"};
  const char* args[] = {"korvel", argv[2], "1", argv[3], "P"};
  const auto t0 = std::chrono::steady_clock::now();
  const double c0 = cpu_s();
  const int status = run_loader(5, args, p);
  const double cpu = cpu_s() - c0;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::fprintf(stderr, "%s: exit status %d, wall %.3f s, CPU %.3f s = %.2f %% of wall%s\n", argv[1],
               status, wall, cpu, 100 * cpu / wall,
               fake != nullptr ? (", " + std::to_string(fake->calls) + " reads").c_str() : "");
  return status;
}
