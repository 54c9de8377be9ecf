#pragma once
// A serial line to the bootloader model that runs in virtual time, for whole loader
// dialogues in unit tests: the loader's port and clock are both this object, so a pause
// of the loader is what moves time on and nothing ever sleeps for real.
//
// The line carries bytes at 9600 8N1 in both directions, kByteUs a byte. Time starts at 0.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "line_rate.h"
#include "link/serial_port.h"
#include "model.h"

namespace korvel::testing {

class VirtualLine : public korvel::SerialPort, public korvel::Clock {
 public:
  static constexpr uint64_t kByteUs = zemlot::kByteUs;

  explicit VirtualLine(zemlot::Options options);

  zemlot::Model& model() { return model_; }
  uint64_t now_us() const override { return now_us_; }

  // Advances virtual time by exactly ms (each call is recorded in pauses()); the model's
  // replies arrive in the input queue meanwhile.
  void sleep_ms(uint32_t ms) override;

  // Succeed unless told to fail (fail_open() and the like).
  bool open(const char* name) override;
  bool read_settings() override;
  bool apply_line_settings(int32_t baud) override;
  bool apply_timeouts() override;
  // The bytes go to the model at the line rate; returns once the last one is on the wire
  // (n * kByteUs later); with echo(), each byte also comes straight back, as on an adapter
  // that hears its own transmission. The k-th call fails when fail_write_at(k): false, nothing
  // sent, no time passes. Fails too once the line has vanished.
  bool write(const uint8_t* data, uint32_t n) override;
  // Bytes that have arrived come back at once, up to n. When none have, time advances until
  // n bytes have arrived or 21 + n ms have passed, whichever is first, and what arrived comes
  // back. The k-th call fails when fail_read_at(k). Once the line has vanished, bytes that
  // arrived before can still be read; a read that finds none waiting, or that would wait past
  // that moment, fails (the latter ends at that moment).
  bool read(uint8_t* buf, uint32_t n, uint32_t* got) override;
  // Takes what has arrived; time advances until n bytes have arrived or wait_ms have
  // passed, whichever is first. Counts as a read for fail_read_at(), and fails alike.
  bool read_until(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) override;
  // Drops the bytes that have arrived by now; bytes still on their way arrive later.
  void discard_input() override;
  bool close() override;

  void fail_open(bool fail = true) { fail_open_ = fail; }
  void fail_read_settings(bool fail = true) { fail_read_settings_ = fail; }
  void fail_apply_line_settings(bool fail = true) { fail_line_settings_ = fail; }
  void fail_apply_timeouts(bool fail = true) { fail_timeouts_ = fail; }
  void fail_close(bool fail = true) { fail_close_ = fail; }
  void fail_write_at(size_t k) { fail_write_at_ = k; }  // 1-based count of write() calls
  void fail_read_at(size_t k) { fail_read_at_ = k; }    // 1-based count of read() calls
  void echo(bool on = true) { echo_ = on; }
  // A dialogue that loops must fail its test at once, not hang it: once virtual time would
  // pass this, the line throws, naming the frame that kept going out.
  void budget_s(uint64_t s) { budget_us_ = s * 1000000; }

  // Every successful write, in order.
  const std::vector<std::vector<uint8_t>>& frames_written() const { return written_; }
  // Every sleep_ms argument, in order.
  const std::vector<uint32_t>& pauses() const { return pauses_; }
  size_t discards() const { return discards_; }
  // Stray bytes on the line (noise): byte i arrives at at_us + i * kByteUs, beside whatever
  // the device sends. A time already past means they are waiting now.
  void inject_input(std::vector<uint8_t> bytes, uint64_t at_us);

  // Bytes that have arrived and not been read or discarded.
  size_t waiting() const;
  // Bytes still on their way from the device.
  size_t in_flight() const;
  // True once the model's Faults::vanish_after is reached: the adapter is gone.
  bool vanished() const { return vanish_at_us_ <= now_us_; }

  bool is_open() const { return open_; }
  const std::string& opened_name() const { return opened_name_; }
  int32_t baud() const { return baud_; }  // as last applied, 0 before
  size_t write_calls() const { return write_calls_; }
  size_t read_calls() const { return read_calls_; }

 private:
  struct Sent {
    uint64_t end_us;
    zemlot::Chunk chunk;
  };
  // Moves time to t, reporting sent chunks to the model in order. With stop_at_vanish it
  // stops at the moment the line vanishes, if that comes first.
  void advance_to(uint64_t t, bool stop_at_vanish);
  void schedule_output();
  std::string budget_report() const;
  void insert_arrival(uint64_t at_us, uint8_t byte);
  size_t arrived_by(uint64_t t) const;

  zemlot::Model model_;
  uint64_t now_us_ = 0;
  zemlot::LineRate device_side_{kByteUs};           // when what the device sends goes out
  std::deque<std::pair<uint64_t, uint8_t>> input_;  // (arrival time, byte), arrival order
  std::deque<Sent> sent_;                           // chunks on the line, by end time
  uint64_t vanish_at_us_ = UINT64_MAX;
  uint64_t budget_us_ = 3600ull * 1000000;  // an hour: four times a full 60-page run
  // A loop that calls the port without time passing (a failed write retried) hits this
  // instead: a 60-page run makes under 8,000 writes.
  static constexpr size_t kCallBudget = 100000;

  std::vector<std::vector<uint8_t>> written_;
  std::vector<uint32_t> pauses_;
  size_t discards_ = 0;
  size_t write_calls_ = 0;
  size_t read_calls_ = 0;
  size_t fail_write_at_ = 0;
  size_t fail_read_at_ = 0;
  bool fail_open_ = false;
  bool fail_read_settings_ = false;
  bool fail_line_settings_ = false;
  bool fail_timeouts_ = false;
  bool fail_close_ = false;
  bool echo_ = false;
  bool open_ = false;
  std::string opened_name_;
  int32_t baud_ = 0;
};

}  // namespace korvel::testing
