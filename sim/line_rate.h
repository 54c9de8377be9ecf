#pragma once
// When each byte the device puts on the line may go out: 9600 baud, ten bits a character
// (a start bit, eight data bits, a stop bit). The emulator counts real time in nanoseconds
// and the tests count virtual time in microseconds, so the unit of time is the caller's: it
// says how long one character takes in that unit.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zemlot {

inline constexpr uint64_t kLineBaud = 9600;
inline constexpr uint64_t kBitsPerCharacter = 10;
// One character's time, to the nearest nanosecond and microsecond.
inline constexpr uint64_t kByteNs = (kBitsPerCharacter * 1'000'000'000 + kLineBaud / 2) / kLineBaud;
inline constexpr uint64_t kByteUs = (kBitsPerCharacter * 1'000'000 + kLineBaud / 2) / kLineBaud;
static_assert(kByteNs == 1041667 && kByteUs == 1042);

// The device's side of the line. Chunks go out one after another, each starting no earlier
// than its own time and no earlier than its gap after the previous one has left the line;
// byte i of a chunk that starts at s begins to go out at s + i * byte and has arrived at the
// other end at s + (i + 1) * byte.
class LineRate {
 public:
  // byte: one character's time; 0 puts a whole chunk on the line at once.
  explicit LineRate(uint64_t byte) : byte_(byte) {}

  // Books the line for the next chunk of n bytes and returns the moment it starts.
  uint64_t place(uint64_t at, uint64_t gap, size_t n) {
    const uint64_t start = std::max(at, free_ + gap);
    free_ = start + n * byte_;
    return start;
  }
  // The moment the last chunk placed has left the line (0 before any).
  uint64_t free_at() const { return free_; }

  uint64_t byte_start(uint64_t start, size_t i) const { return start + i * byte_; }
  uint64_t byte_arrival(uint64_t start, size_t i) const { return start + (i + 1) * byte_; }
  // How many of the n bytes of a chunk that starts at `start` may have gone out by now.
  size_t started_by(uint64_t start, size_t n, uint64_t now) const {
    if (now < start) {
      return 0;
    }
    if (byte_ == 0) {
      return n;
    }
    return static_cast<size_t>(std::min<uint64_t>(n, (now - start) / byte_ + 1));
  }

 private:
  uint64_t byte_;
  uint64_t free_ = 0;
};

}  // namespace zemlot
