#include "wire.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

namespace zemlot {

namespace {

// Bit 7 always differs, so a garbled byte never passes for the one sent.
uint8_t garble(uint8_t own, uint8_t other) {
  return static_cast<uint8_t>(own ^ (0x80 | other));
}

// The first entry that becomes available after t.
auto after(std::deque<std::pair<uint64_t, uint8_t>>& q, uint64_t t) {
  return std::upper_bound(
      q.begin(), q.end(), t,
      [](uint64_t v, const std::pair<uint64_t, uint8_t>& e) { return v < e.first; });
}

}  // namespace

// The line draws from its own stream, so that turning byte errors on leaves the device's
// jitter as the seed had it.
Wire::Wire(Options options)
    : model_(options), line_(options.line), rng_(options.seed ^ 0x6c696e65u) {}

uint8_t Wire::on_line(uint8_t byte, const char* who, size_t index) {
  if (line_.byte_errors == 0 || rng_.below(line_.byte_errors) != 0) {
    return byte;
  }
  const auto hit = static_cast<uint8_t>(byte ^ (1u << rng_.below(8)));
  if (model_.options().trace) {
    char text[80];
    std::snprintf(text, sizeof text, "!! byte error: %s byte %zu %02x became %02x", who, index,
                  byte, hit);
    model_.note(text);
  }
  return hit;
}

uint64_t Wire::host_write(const uint8_t* data, size_t n, uint64_t now) {
  run_until(now);
  const uint64_t start = std::max(now, host_free_);
  const size_t first = host_.size();
  for (size_t i = 0; i < n; ++i) {
    const uint8_t v = on_line(data[i], "loader", i);
    host_.push_back(Slot{start + byte_offset_us(i, line_.baud),
                         start + byte_offset_us(i + 1, line_.baud), v, v, false,
                         static_cast<uint32_t>(i), host_tx_});
  }
  host_free_ = start + byte_offset_us(n, line_.baud);
  collide(host_, first, device_, true);
  ++host_tx_;
  run_until(now);  // with no byte time they have arrived already
  return host_free_;
}

void Wire::inject(const uint8_t* data, size_t n, uint64_t at) {
  for (size_t i = 0; i < n; ++i) {
    arrive(at + byte_offset_us(i, line_.baud), data[i]);
  }
}

// Slots placed later never start before now, and every delivery up to now is done: so the
// pairs found here, when the later of two slots is placed, are all there ever are.
void Wire::collide(std::deque<Slot>& mine, size_t first, std::deque<Slot>& theirs,
                   bool mine_is_host) {
  if (line_.baud == 0) {
    return;  // bytes that take no time never meet
  }
  // Per transmission of the other side: the byte ranges of each side that met, for the trace.
  std::map<uint32_t, std::pair<std::pair<uint32_t, uint32_t>, std::pair<uint32_t, uint32_t>>> met;
  auto from = theirs.begin();
  for (size_t i = first; i < mine.size(); ++i) {
    Slot& a = mine[i];
    while (from != theirs.end() && from->end <= a.start) {
      ++from;
    }
    // Every b from `from` on ends after a starts: those that start before a ends overlap it.
    for (auto b = from; b != theirs.end() && b->start < a.end; ++b) {
      if (!a.collided) {
        a.heard = garble(a.value, b->value);
        a.collided = true;
      }
      if (!b->collided) {
        b->heard = garble(b->value, a.value);
        b->collided = true;
      }
      auto [it, fresh] =
          met.try_emplace(b->tx, std::pair{a.index, a.index}, std::pair{b->index, b->index});
      auto& [ours, other] = it->second;
      ours = {std::min(ours.first, a.index), std::max(ours.second, a.index)};
      other = {std::min(other.first, b->index), std::max(other.second, b->index)};
    }
  }
  if (!model_.options().trace) {
    return;
  }
  for (const auto& [tx, ranges] : met) {
    const auto& host = mine_is_host ? ranges.first : ranges.second;
    const auto& device = mine_is_host ? ranges.second : ranges.first;
    char text[96];
    std::snprintf(text, sizeof text,
                  "!! collision: loader bytes %u-%u and device bytes %u-%u garbled", host.first,
                  host.second, device.first, device.second);
    model_.note(text);
  }
}

void Wire::place(std::vector<Chunk> chunks, uint64_t now) {
  for (Chunk& c : chunks) {
    const uint64_t start = std::max({now, c.at_us, device_free_ + c.min_gap_us});
    const size_t first = device_.size();
    for (size_t j = 0; j < c.bytes.size(); ++j) {
      const uint8_t v = on_line(c.bytes[j], "device", j);
      device_.push_back(Slot{start + byte_offset_us(j, line_.baud),
                             start + byte_offset_us(j + 1, line_.baud), v, v, false,
                             static_cast<uint32_t>(j), device_tx_});
    }
    device_free_ = start + byte_offset_us(c.bytes.size(), line_.baud);
    collide(device_, first, host_, false);
    ++device_tx_;
    chunks_.emplace_back(device_free_, std::move(c));
  }
}

uint64_t Wire::handed_over_at(uint64_t arrival) const {
  const uint64_t grid = uint64_t{line_.latency_ms} * 1000;
  return grid == 0 ? arrival : (arrival + grid - 1) / grid * grid;
}

void Wire::arrive(uint64_t at, uint8_t byte) {
  if (vanished_at_ && at > *vanished_at_) {
    return;
  }
  const uint64_t ready = handed_over_at(at);
  to_host_.insert(after(to_host_, ready), {ready, byte});
}

void Wire::vanish(uint64_t at) {
  vanished_at_ = at;
  device_.clear();
  chunks_.clear();
  to_host_.erase(after(to_host_, at), to_host_.end());
}

void Wire::run_until(uint64_t t) {
  for (;;) {
    const uint64_t d = device_.empty() ? UINT64_MAX : device_.front().end;
    const uint64_t c = chunks_.empty() ? UINT64_MAX : chunks_.front().first;
    const uint64_t h = host_.empty() ? UINT64_MAX : host_.front().end;
    const uint64_t next = std::min({d, c, h});
    if (next == UINT64_MAX || next > t) {
      return;
    }
    if (d == next) {
      arrive(d, device_.front().heard);
      device_.pop_front();
    } else if (c == next) {
      const Chunk chunk = std::move(chunks_.front().second);
      chunks_.pop_front();
      model_.chunk_sent(chunk, c);
      if (model_.want_vanish() && !vanished_at_) {
        vanish(c);
      }
      place(model_.take_output(), c);  // what the device says of its own accord
    } else {
      const Slot s = host_.front();
      host_.pop_front();
      if (line_.echo) {
        arrive(h, s.heard);
      }
      model_.on_bytes(&s.heard, 1, h);
      place(model_.take_output(), h);
    }
  }
}

std::optional<uint64_t> Wire::next_event_after(uint64_t now) {
  run_until(now);
  if (after(to_host_, now) != to_host_.begin()) {
    return now;  // handed over and not yet taken: due already
  }
  uint64_t next = UINT64_MAX;
  for (const auto* side : {&host_, &device_}) {
    if (!side->empty()) {
      next = std::min(next, side->front().end);
    }
  }
  if (!chunks_.empty()) {
    next = std::min(next, chunks_.front().first);
  }
  if (auto it = after(to_host_, now); it != to_host_.end()) {
    next = std::min(next, it->first);
  }
  return next == UINT64_MAX ? std::nullopt : std::optional{next};
}

size_t Wire::available(uint64_t now) {
  run_until(now);
  return static_cast<size_t>(after(to_host_, now) - to_host_.begin());
}

size_t Wire::take(uint8_t* buf, size_t n, uint64_t now) {
  const size_t k = std::min(n, available(now));
  std::transform(to_host_.begin(), to_host_.begin() + static_cast<std::ptrdiff_t>(k), buf,
                 [](const auto& e) { return e.second; });
  to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<std::ptrdiff_t>(k));
  return k;
}

void Wire::discard(uint64_t now) {
  to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<std::ptrdiff_t>(available(now)));
}

}  // namespace zemlot
