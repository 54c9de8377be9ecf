#include "virtual_line.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "wire/endian.h"

namespace korvel::testing {

namespace {
constexpr uint64_t kBudgetUs = 3600ull * 1000000;  // four times a full 60-page run
constexpr size_t kCallBudget = 100000;             // for loops where no time passes
}  // namespace

bool VirtualLine::write(const uint8_t* data, uint32_t n) {
  if (++write_calls_ > kCallBudget)
    stuck();
  const auto vanished = wire_.vanished_at();
  if (write_calls_ == fail_write_at_ || (vanished && *vanished <= now_us_))
    return false;
  write_times_.push_back(now_us_);
  advance_to(wire_.host_write(data, n, now_us_));
  written_.emplace_back(data, data + n);
  const uint32_t arg = n >= 7 ? load_le32(data + 3) : 0;
  char text[32];
  std::snprintf(text, sizeof text, arg ? "%02x@%08x" : "%02x", n > 1 ? data[1] : 0u, arg);
  note(wire, text + (n == 16 ? "" : "/" + std::to_string(n)));
  note(log, wire.substr(wire.rfind(' ') + 1));
  return true;
}

bool VirtualLine::read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) {
  if (++read_calls_ > kCallBudget)
    stuck();
  *got = 0;
  const auto vanished = wire_.vanished_at();
  if (fail_read_after_ > 0 && write_calls_ == fail_read_after_) {
    fail_read_after_ = 0;
    return false;
  }
  if (fail_read_from_us_ > 0 && now_us_ >= fail_read_from_us_) {
    fail_read_from_us_ = 0;
    return false;
  }
  if (waiting() == 0 && vanished && *vanished <= now_us_)
    return false;
  // Until a byte has been handed over or wait_ms have passed; a vanishing line ends the wait.
  const uint64_t until = now_us_ + uint64_t{wait_ms} * 1000;
  while (n > 0 && waiting() == 0 && now_us_ < until) {
    const auto next = wire_.next_event_after(now_us_);
    if (!advance_to(next ? std::min(*next, until) : until, true))
      return false;
  }
  *got = static_cast<uint32_t>(wire_.take(buf, n, now_us_));
  return true;
}

bool VirtualLine::advance_to(uint64_t t, bool stop_at_vanish) {
  if (t > kBudgetUs)
    stuck();
  const bool gone = wire_.vanished_at().has_value();
  wire_.run_until(t);
  const auto vanished = wire_.vanished_at();
  if (stop_at_vanish && !gone && vanished && *vanished < t) {
    now_us_ = std::max(now_us_, *vanished);
    return false;
  }
  now_us_ = std::max(now_us_, t);
  return true;
}

void VirtualLine::stuck() const {
  throw std::runtime_error("the loader looks stuck: " + std::to_string(now_us_ / 1000000) +
                           " s of virtual time, " + std::to_string(write_calls_) + " writes, " +
                           std::to_string(read_calls_) + " reads; the last frames " +
                           wire.substr(wire.size() - std::min<size_t>(wire.size(), 60)));
}

}  // namespace korvel::testing
