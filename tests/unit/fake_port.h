#pragma once
// A port with scripted replies and failures that records what the loader did with it.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "clock.h"
#include "link/serial_port.h"

namespace korvel::testing {

class FakePort final : public SerialPort {
 public:
  bool fail_open = false, fail_settings = false, fail_line = false, fail_timeouts = false;
  bool fail_close = false, fail_write = false, fail_read = false;
  std::vector<std::string> calls;
  std::vector<std::vector<uint8_t>> written;
  std::deque<std::vector<uint8_t>> replies;  // one per read; an empty one delivers nothing
  std::string opened_name;

  bool open(const char* name) override {
    calls.push_back("open");
    opened_name = name;
    return !fail_open;
  }
  bool read_settings() override { return step("read_settings", fail_settings); }
  bool apply_line_settings(int32_t baud) override {
    return step("line " + std::to_string(baud), fail_line);
  }
  bool apply_timeouts() override { return step("timeouts", fail_timeouts); }
  bool write(const uint8_t* data, uint32_t n) override {
    calls.push_back("write");
    if (fail_write)
      return false;
    written.emplace_back(data, data + n);
    return true;
  }
  bool read(uint8_t* buf, uint32_t n, uint32_t* got) override {
    calls.push_back("read");
    *got = 0;
    if (fail_read)
      return false;
    if (replies.empty())
      return true;
    const auto r = replies.front();
    replies.pop_front();
    *got = static_cast<uint32_t>(r.size() < n ? r.size() : n);
    if (*got > 0)  // an empty reply's data() may be null, which memcpy must not be given
      std::memcpy(buf, r.data(), *got);
    return true;
  }
  bool read_until(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t) override {
    return read(buf, n, got);
  }
  void discard_input() override { calls.push_back("discard"); }
  bool close() override { return step("close", fail_close); }

 private:
  bool step(const std::string& name, bool fail) {
    calls.push_back(name);
    return !fail;
  }
};

// Records the pauses instead of sleeping.
class RecordingClock final : public Clock {
 public:
  std::vector<uint32_t> pauses;
  void sleep_ms(uint32_t ms) override {
    pauses.push_back(ms);
    now += uint64_t{ms} * 1000;
  }
  uint64_t now_us() const override { return now; }
  uint64_t now = 0;
};

}  // namespace korvel::testing
