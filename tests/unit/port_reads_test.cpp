// The reads built on the port's primitive, against the drivers technicians have: each known
// behaviour of a USB serial driver's time-outs played by a fake primitive in virtual time.
#include "exchange/port_reads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korvel {
namespace {

enum class Driver {
  Prompt,   // as documented: what waits at once, else the first byte as it comes, or none after W
  Ch340,    // back at once with nothing, whatever the wait asked for
  Ftdi,     // hands over what it received every 16 ms
  Wine,     // a wait that brings nothing ends 2 ms late
  OneByte,  // never more than one byte a call
};
const char* name(Driver d) {
  constexpr const char* kNames[] = {"prompt", "CH340", "FTDI", "Wine", "a byte at a time"};
  return kNames[static_cast<int>(d)];
}

struct Interrupted {};

// A port and its clock in one, in virtual microseconds: bytes arrive as scheduled, the driver
// hands them over as its kind does.
class FakeDriver final : public SerialPort, public Clock {
 public:
  FakeDriver(Driver d, std::vector<uint64_t> arrivals, uint64_t interrupt_at)
      : driver_(d), arrivals_(std::move(arrivals)), interrupt_at_(interrupt_at) {}

  PortStatus open(const char*) override { return {}; }
  PortStatus read_settings() override { return {}; }
  PortStatus apply_line_settings(int32_t) override { return {}; }
  PortStatus apply_timeouts() override { return {}; }
  bool write(const uint8_t*, uint32_t) override { return true; }
  void discard_input() override {}
  bool close() override { return true; }

  bool read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) override {
    ++calls;
    now_ += 20;  // a call costs a little
    *got = 0;
    if (visible() == 0 && driver_ != Driver::Ch340 && wait_ms > 0) {
      const uint64_t until = now_ + uint64_t{wait_ms} * 1000;
      const uint64_t next = next_visible();
      now_ = next <= until ? next : until + (driver_ == Driver::Wine ? 2000 : 0);
    }
    const uint32_t k = std::min({visible(), n, driver_ == Driver::OneByte ? 1u : n});
    std::fill_n(buf, k, uint8_t{0x5A});
    taken_ += k;
    *got = k;
    return true;
  }

  uint64_t now_us() const override { return now_; }
  void sleep_ms(uint32_t ms) override { now_ += uint64_t{ms} * 1000; }
  // What the loop calls before each wait.
  static void check() {
    if (current != nullptr && current->now_ >= current->interrupt_at_)
      throw Interrupted{};
  }

  static FakeDriver* current;
  size_t calls = 0;

 private:
  uint64_t handed_over(uint64_t arrival) const {
    return driver_ == Driver::Ftdi ? (arrival + 15999) / 16000 * 16000 : arrival;
  }
  uint32_t visible() const {
    uint32_t v = 0;
    for (const uint64_t a : arrivals_)
      v += handed_over(a) <= now_;
    return v - taken_;
  }
  uint64_t next_visible() const {
    uint64_t next = UINT64_MAX;
    for (const uint64_t a : arrivals_)
      if (handed_over(a) > now_)
        next = std::min(next, handed_over(a));
    return next;
  }

  Driver driver_;
  std::vector<uint64_t> arrivals_;
  uint64_t interrupt_at_;
  uint64_t now_ = 0;
  uint32_t taken_ = 0;
};
FakeDriver* FakeDriver::current = nullptr;

constexpr uint64_t kStart = 100000;  // the reads begin 100 ms in; a reply may wait before

// Seven bytes a byte time apart, the first `from_ms` after the read began.
std::vector<uint64_t> reply_at(int64_t from_ms) {
  std::vector<uint64_t> v;
  for (uint64_t i = 0; i < 7; ++i)
    v.push_back(static_cast<uint64_t>(static_cast<int64_t>(kStart) + from_ms * 1000) + i * 1042);
  return v;
}

// When the driver lets the loader see a byte that reached the adapter at `arrival`.
uint64_t handed_over(Driver d, uint64_t arrival) {
  return d == Driver::Ftdi ? (arrival + 15999) / 16000 * 16000 : arrival;
}

// What a read should give, from the contract alone: bytes already there come back at once
// (the documented read); otherwise the read ends when the seventh is there or at its time,
// with the bytes there by then (a driver late at the deadline may bring those of `late_us` more).
struct Expected {
  uint32_t bytes, most;
  uint64_t ends;
};
Expected expected(Driver d, const std::vector<uint64_t>& arrivals, int32_t until_ms,
                  uint64_t late_us) {
  std::vector<uint64_t> seen;
  for (const uint64_t a : arrivals)
    seen.push_back(handed_over(d, a));
  std::sort(seen.begin(), seen.end());
  const auto by = [&](uint64_t t) {
    return static_cast<uint32_t>(std::upper_bound(seen.begin(), seen.end(), t) - seen.begin());
  };
  if (until_ms < 0 && by(kStart) > 0)
    return {std::min(by(kStart), 7u), std::min(by(kStart), 7u), kStart};
  const uint64_t deadline = kStart + (until_ms < 0 ? 28000 : uint64_t(until_ms) * 1000);
  const uint64_t end = seen.size() >= 7 ? std::min(seen[6], deadline) : deadline;
  return {std::min(by(end), 7u), std::min(by(end + late_us), 7u), end};
}

struct Case {
  const char* what;
  std::vector<uint64_t> arrivals;
  int32_t until_ms;  // read_until's wait; -1: the documented read of 7 bytes
};

TEST(PortReads, HoldAgainstEveryKnownDriver) {
  std::vector<uint64_t> parts = reply_at(10);
  for (size_t i = 3; i < 7; ++i)
    parts[i] += 80000;
  const Case cases[] = {
      {"a reply waiting, the documented read", reply_at(-50), -1},
      {"a reply within the documented read", reply_at(5), -1},
      {"nothing, the documented read", {}, -1},
      {"a reply cut short, read until 147 ms", reply_at(143), 147},
      {"a reply in two parts, read until 300 ms", parts, 300},
      {"nothing, read until 1 s", {}, 1000},
  };
  for (const Driver d :
       {Driver::Prompt, Driver::Ch340, Driver::Ftdi, Driver::Wine, Driver::OneByte})
    for (const Case& c : cases) {
      FakeDriver port(d, c.arrivals, UINT64_MAX);
      port.sleep_ms(kStart / 1000);
      const PortWaits waits{port, &FakeDriver::check};
      std::vector<uint8_t> buf(7);
      uint32_t got = 99;
      const bool ok = c.until_ms < 0 ? port_read(port, waits, buf.data(), 7, &got)
                                     : port_read_until(port, waits, buf.data(), 7, &got,
                                                       static_cast<uint32_t>(c.until_ms));
      const std::string what = std::string(name(d)) + ": " + c.what;
      const auto [bytes, most, ends] =
          expected(d, c.arrivals, c.until_ms, d == Driver::Wine ? 2000 : 0);
      EXPECT_TRUE(ok) << what;
      EXPECT_GE(got, bytes) << what;
      EXPECT_LE(got, most) << what;
      // The deadline kept within a few ms; a driver that will not wait costs the loop's 1 ms.
      EXPECT_NEAR(static_cast<double>(port.now_us()), static_cast<double>(ends), 2500) << what;
      // No spin: a call per byte, per 50 ms slice, and, for a driver that will not wait, per ms.
      const uint64_t ms = (ends - kStart) / 1000;
      EXPECT_LE(port.calls, 9 + ms / 50 + (d == Driver::Ch340 ? ms + 1 : 0)) << what;
    }
}

// However the driver waits, an interrupt is acted on within 50 ms, also in a long wait.
TEST(PortReads, AnInterruptIsActedOnWithin50Ms) {
  for (const Driver d :
       {Driver::Prompt, Driver::Ch340, Driver::Ftdi, Driver::Wine, Driver::OneByte}) {
    FakeDriver port(d, {}, 1013000);
    FakeDriver::current = &port;
    const PortWaits waits{port, &FakeDriver::check};
    std::vector<uint8_t> buf(7);
    uint32_t got = 0;
    EXPECT_THROW(port_read_until(port, waits, buf.data(), 7, &got, 10000), Interrupted) << name(d);
    EXPECT_LE(port.now_us(), 1013000u + 50000 + 2000) << name(d);
    FakeDriver::current = nullptr;
  }
}

}  // namespace
}  // namespace korvel
