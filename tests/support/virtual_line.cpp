#include "virtual_line.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "lib/endian.h"

namespace korvel::testing {

namespace {
constexpr uint64_t kBudgetUs = 3600ull * 1000000;  // four times a full 60-page run
constexpr size_t kCallBudget = 100000;             // for loops where no time passes

// The first of the (arrival time, byte) entries that arrives after t.
auto after(const std::deque<std::pair<uint64_t, uint8_t>>& q, uint64_t t) {
  return std::upper_bound(q.begin(), q.end(), std::pair<uint64_t, uint8_t>{t, 255});
}
}  // namespace

size_t VirtualLine::waiting() const {
  return static_cast<size_t>(after(input_, now_us_) - input_.begin());
}

void VirtualLine::arrive(uint64_t at_us, uint8_t byte) {
  input_.insert(after(input_, at_us), {at_us, byte});
}

bool VirtualLine::write(const uint8_t* data, uint32_t n) {
  if (++write_calls_ > kCallBudget)
    stuck();
  if (write_calls_ == fail_write_at_ || vanish_at_us_ <= now_us_)
    return false;
  // Byte by byte, so that replies finishing during a long write are seen in time order.
  for (uint32_t i = 0; i < n; ++i) {
    advance_to(now_us_ + zemlot::kByteUs);
    if (echo_)
      arrive(now_us_, data[i]);
    model_.on_bytes(data + i, 1, now_us_);
    for (auto& chunk : model_.take_output()) {
      const uint64_t start = device_side_.place(chunk.at_us, chunk.min_gap_us, chunk.bytes.size());
      for (size_t j = 0; j < chunk.bytes.size(); ++j)
        arrive(device_side_.byte_arrival(start, j), chunk.bytes[j]);
      sent_.emplace_back(device_side_.free_at(), std::move(chunk));
    }
  }
  written_.emplace_back(data, data + n);
  const uint32_t arg = n >= 7 ? load_le32(data + 3) : 0;
  char text[32];
  std::snprintf(text, sizeof text, arg ? "%02x@%08x" : "%02x", n > 1 ? data[1] : 0u, arg);
  note(wire, text + (n == 16 ? "" : "/" + std::to_string(n)));
  note(log, wire.substr(wire.rfind(' ') + 1));
  return true;
}

bool VirtualLine::read_until(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) {
  if (++read_calls_ > kCallBudget)
    stuck();
  *got = 0;
  if (read_calls_ == fail_read_at_ || (waiting() == 0 && vanish_at_us_ <= now_us_))
    return false;
  // Until n bytes have arrived or wait_ms have passed; a vanishing line ends the wait.
  uint64_t until = now_us_ + uint64_t{wait_ms} * 1000;
  if (n > 0 && input_.size() >= n)
    until = std::min(until, std::max(now_us_, input_[n - 1].first));
  if (!advance_to(until, true))
    return false;
  *got = static_cast<uint32_t>(std::min<size_t>(waiting(), n));
  std::transform(input_.begin(), input_.begin() + *got, buf, [](auto& e) { return e.second; });
  input_.erase(input_.begin(), input_.begin() + *got);
  return true;
}

bool VirtualLine::advance_to(uint64_t t, bool stop_at_vanish) {
  if (t > kBudgetUs)
    stuck();
  while (!sent_.empty() && sent_.front().first <= t) {
    const auto [end_us, chunk] = std::move(sent_.front());
    sent_.pop_front();
    now_us_ = std::max(now_us_, end_us);
    model_.chunk_sent(chunk, end_us);
    if (model_.want_vanish() && vanish_at_us_ == UINT64_MAX) {
      // Whatever the device had still to send is lost with the adapter.
      vanish_at_us_ = end_us;
      sent_.clear();
      input_.erase(after(input_, end_us), input_.end());
      if (stop_at_vanish)
        return now_us_ >= t;
    }
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
