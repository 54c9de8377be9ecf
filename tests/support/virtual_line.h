#pragma once
// The loader's port and clock in one, the emulator's line and model at the far end (options.line
// and options.busy say how true to the wire): the loader's pauses move virtual time on. A
// looping dialogue throws (an hour, or 100,000 calls).
#include <string>
#include <vector>

#include "system/clock.h"
#include "system/serial_port.h"
#include "wire.h"

namespace korvel::testing {

class VirtualLine : public korvel::SerialPort, public korvel::Clock {
 public:
  explicit VirtualLine(zemlot::Options options) : wire_(std::move(options)) {}
  zemlot::Model& model() { return wire_.model(); }

  // The set-up steps a test makes fail, as bits; a failed close leaves the port open.
  enum Step : unsigned { kOpen = 1, kSettings = 2, kLineSettings = 4, kTimeouts = 8, kClose = 16 };
  unsigned failing = 0;
  int32_t baud = 0;
  PortStatus open(const char*) override {
    open_ = !(failing & kOpen);
    return step(kOpen, "open");
  }
  PortStatus read_settings() override { return step(kSettings, "settings"); }
  PortStatus apply_line_settings(int32_t b) override {
    baud = b;
    return step(kLineSettings, "line settings");
  }
  PortStatus apply_timeouts() override { return step(kTimeouts, "time limits"); }
  bool close() override {
    open_ = open_ && (failing & kClose);
    return !(failing & kClose);
  }
  bool is_open() const { return open_; }

  // Every reading moves time on by a microsecond or a few (seeded), as a real clock does between
  // two readings: a decision that holds only while two readings are equal fails here.
  uint64_t now_us() const override {
    tick_ = tick_ * 6364136223846793005ull + 1442695040888963407ull;
    return now_us_ += 1 + (tick_ >> 62);
  }
  void sleep_ms(uint32_t ms) override {
    note(log, "+" + std::to_string(ms));
    advance_to(now_us_ + uint64_t{ms} * 1000);
  }
  // Onto the line, returning once the last byte has left it. Fails, sending nothing, as the
  // fail_write_at()-th call (1-based) or once the line has vanished (Faults::vanish_after).
  bool write(const uint8_t* data, uint32_t n) override;
  // Fails as the first call after the fail_read_after()-th write, however a pacing reads, and as
  // the first call begun at or after fail_read_from(); after the line has vanished, when nothing
  // is waiting or the wait would outlast it.
  bool read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) override;
  uint32_t input_waiting() override { return static_cast<uint32_t>(waiting()); }
  void discard_input() override { wire_.discard(now_us_); }
  void fail_write_at(size_t k) { fail_write_at_ = k; }
  void fail_read_after(size_t k) { fail_read_after_ = k; }
  void fail_read_from(uint64_t t_us) { fail_read_from_us_ = t_us; }
  void echo(bool on = true) { wire_.set_echo(on); }
  // Noise: byte i arrives a byte time after byte i - 1, the first at at_us (past: waiting now).
  void inject_input(const std::vector<uint8_t>& bytes, uint64_t at_us) {
    wire_.inject(bytes.data(), bytes.size(), at_us);
  }

  // Frames written and pauses made: "01 +98 +21 03@08001000" (code@argument when not 0, "/n"
  // for a length not 16, +ms a pause); the wire alike without the pauses.
  std::string log, wire;
  const std::vector<std::vector<uint8_t>>& frames_written() const { return written_; }
  // When each write began (virtual microseconds), in the order of frames_written().
  const std::vector<uint64_t>& write_times() const { return write_times_; }
  size_t waiting() { return wire_.available(now_us_); }  // handed over, not read or discarded
  size_t write_calls() const { return write_calls_; }

 private:
  // Moves time to t, the line delivering on the way; with stop_at_vanish, false when the line
  // vanishes first (time then stops there).
  bool advance_to(uint64_t t, bool stop_at_vanish = false);
  PortStatus step(Step s, const char* what) const {
    if (!(failing & s))
      return {};
    return {PortFault::Missing, 19, std::string(what) + ": No such device (the test's)"};
  }
  static void note(std::string& to, const std::string& event) {
    to += (to.empty() ? "" : " ") + event;
  }
  [[noreturn]] void stuck() const;

  zemlot::Wire wire_;
  mutable uint64_t now_us_ = 0, tick_ = 1;
  uint64_t fail_read_from_us_ = 0;
  std::vector<uint64_t> write_times_;
  std::vector<std::vector<uint8_t>> written_;
  size_t write_calls_ = 0, read_calls_ = 0, fail_write_at_ = 0, fail_read_after_ = 0;
  bool open_ = false;
};

}  // namespace korvel::testing
