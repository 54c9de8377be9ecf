#include "virtual_line.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace korvel::testing {

VirtualLine::VirtualLine(zemlot::Options options) : model_(std::move(options)) {}

void VirtualLine::sleep_ms(uint32_t ms) {
  pauses_.push_back(ms);
  advance_to(now_us_ + uint64_t{ms} * 1000, false);
}

bool VirtualLine::open(const char* name) {
  if (fail_open_) {
    return false;
  }
  open_ = true;
  opened_name_ = name != nullptr ? name : "";
  return true;
}

bool VirtualLine::read_settings() {
  return !fail_read_settings_;
}

bool VirtualLine::apply_line_settings(int32_t baud) {
  if (fail_line_settings_) {
    return false;
  }
  baud_ = baud;
  return true;
}

bool VirtualLine::apply_timeouts() {
  return !fail_timeouts_;
}

bool VirtualLine::close() {
  if (fail_close_) {
    return false;
  }
  open_ = false;
  return true;
}

bool VirtualLine::write(const uint8_t* data, uint32_t n) {
  if (++write_calls_ > kCallBudget)
    throw std::runtime_error(budget_report());
  if (write_calls_ == fail_write_at_ || vanished()) {
    return false;
  }
  // Byte by byte, so that replies finishing during a long write are seen in time order.
  for (uint32_t i = 0; i < n; ++i) {
    advance_to(now_us_ + kByteUs, false);
    if (echo_) {
      insert_arrival(now_us_, data[i]);
    }
    model_.on_bytes(data + i, 1, now_us_);
    schedule_output();
  }
  written_.emplace_back(data, data + n);
  return true;
}

bool VirtualLine::read(uint8_t* buf, uint32_t n, uint32_t* got) {
  if (++read_calls_ > kCallBudget)
    throw std::runtime_error(budget_report());
  *got = 0;
  if (read_calls_ == fail_read_at_) {
    return false;
  }
  size_t take = arrived_by(now_us_);
  if (take == 0 && n > 0) {
    if (vanished()) {
      return false;
    }
    uint64_t until = now_us_ + (21 + uint64_t{n}) * 1000;
    if (input_.size() >= n) {
      until = std::min(until, std::max(now_us_, input_[n - 1].first));
    }
    advance_to(until, true);
    if (now_us_ < until) {
      return false;  // the adapter went away while we waited
    }
    take = arrived_by(now_us_);
  }
  take = std::min<size_t>(take, n);
  for (size_t i = 0; i < take; ++i) {
    buf[i] = input_.front().second;
    input_.pop_front();
  }
  *got = static_cast<uint32_t>(take);
  return true;
}

bool VirtualLine::read_until(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) {
  if (++read_calls_ > kCallBudget)
    throw std::runtime_error(budget_report());
  *got = 0;
  if (read_calls_ == fail_read_at_) {
    return false;
  }
  if (arrived_by(now_us_) == 0 && vanished()) {
    return false;
  }
  uint64_t until = now_us_ + uint64_t{wait_ms} * 1000;
  if (input_.size() >= n && n > 0) {
    until = std::min(until, std::max(now_us_, input_[n - 1].first));
  }
  advance_to(until, true);
  if (now_us_ < until) {
    return false;  // the adapter went away while we waited
  }
  const size_t take = std::min<size_t>(arrived_by(now_us_), n);
  for (size_t i = 0; i < take; ++i) {
    buf[i] = input_.front().second;
    input_.pop_front();
  }
  *got = static_cast<uint32_t>(take);
  return true;
}

void VirtualLine::discard_input() {
  ++discards_;
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(arrived_by(now_us_)));
}

void VirtualLine::inject_input(std::vector<uint8_t> bytes, uint64_t at_us) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    insert_arrival(at_us + i * kByteUs, bytes[i]);
  }
}

size_t VirtualLine::waiting() const {
  return arrived_by(now_us_);
}

size_t VirtualLine::in_flight() const {
  return input_.size() - arrived_by(now_us_);
}

void VirtualLine::advance_to(uint64_t t, bool stop_at_vanish) {
  if (t > budget_us_)
    throw std::runtime_error(budget_report());
  while (!sent_.empty() && sent_.front().end_us <= t) {
    const Sent s = std::move(sent_.front());
    sent_.pop_front();
    now_us_ = std::max(now_us_, s.end_us);
    model_.chunk_sent(s.chunk, s.end_us);
    if (model_.want_vanish() && vanish_at_us_ == UINT64_MAX) {
      // Whatever the device had still to send is lost with the adapter.
      vanish_at_us_ = s.end_us;
      sent_.clear();
      input_.erase(std::upper_bound(input_.begin(), input_.end(), s.end_us,
                                    [](uint64_t v, const auto& e) { return v < e.first; }),
                   input_.end());
      if (stop_at_vanish) {
        return;
      }
    }
  }
  now_us_ = std::max(now_us_, t);
}

// Names the loop: which frame was going out again and again when the budget ran out.
std::string VirtualLine::budget_report() const {
  size_t repeats = 0;
  for (auto it = written_.rbegin(); it != written_.rend() && *it == written_.back(); ++it)
    ++repeats;
  char text[200];
  std::snprintf(text, sizeof text,
                "the loader looks stuck: %llu s of virtual time, %zu writes and %zu reads so "
                "far; the last frame written, command 0x%02X, went out %zu times in a row",
                static_cast<unsigned long long>(now_us_ / 1000000), write_calls_, read_calls_,
                written_.empty() || written_.back().size() < 2 ? 0u : written_.back()[1], repeats);
  return text;
}

void VirtualLine::schedule_output() {
  for (auto& chunk : model_.take_output()) {
    const uint64_t start = device_side_.place(chunk.at_us, chunk.min_gap_us, chunk.bytes.size());
    for (size_t j = 0; j < chunk.bytes.size(); ++j) {
      insert_arrival(device_side_.byte_arrival(start, j), chunk.bytes[j]);
    }
    sent_.push_back(Sent{device_side_.free_at(), std::move(chunk)});
  }
}

void VirtualLine::insert_arrival(uint64_t at_us, uint8_t byte) {
  auto pos = std::upper_bound(input_.begin(), input_.end(), at_us,
                              [](uint64_t v, const auto& e) { return v < e.first; });
  input_.insert(pos, {at_us, byte});
}

size_t VirtualLine::arrived_by(uint64_t t) const {
  auto pos = std::upper_bound(input_.begin(), input_.end(), t,
                              [](uint64_t v, const auto& e) { return v < e.first; });
  return static_cast<size_t>(pos - input_.begin());
}

}  // namespace korvel::testing
