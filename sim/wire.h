#pragma once
// The RS-485 line between the loader's adapter (the host) and the device's model, as the wire
// has it: 9600 baud, ten bits a byte (a start bit, eight data bits, a stop bit), half duplex.
// Time is the caller's, in microseconds; it must not go backwards. The same line runs in real
// time behind zemlot-sim's pseudo-terminal and in virtual time behind the tests' VirtualLine.
//
// A transmission that starts at s puts its byte i on the line over [s + T(i), s + T(i + 1)),
// T as byte_offset_us below. A byte reaches the other end when its slot ends: the device
// acts on a frame only once its last byte is in. The device's chunks go out as the model
// asks (Chunk); the host's transmissions go out back to back in the order written.
//
// Half duplex: a host byte and a device byte whose slots overlap garble each other. Each
// receiver then gets garble(own, other) = own ^ (0x80 | other), against the first byte of the
// other side that overlapped it, never the byte that was sent; the adapter's echo of a host
// byte is what the device got. Byte errors flip one bit of a byte on the line, and every
// receiver gets that byte.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "model.h"

namespace zemlot {

// When byte i of a transmission starts, from the transmission's start; rounded once from
// the start rather than byte by byte, so that a long transmission does not drift.
constexpr uint64_t byte_offset_us(uint64_t i, uint32_t baud = 9600) {
  return baud == 0 ? 0 : (i * 10'000'000 + baud / 2) / baud;
}
static_assert(byte_offset_us(1) == 1042 && byte_offset_us(16) == 16667);

class Wire {
 public:
  // The model gets `options`; the line takes options.line and options.seed.
  explicit Wire(Options options);

  Model& model() { return model_; }
  const Model& model() const { return model_; }
  void set_echo(bool on) { line_.echo = on; }

  // The host sends n bytes, starting at now or when its previous transmission ends, if
  // later. Returns the moment the last has left the line.
  uint64_t host_write(const uint8_t* data, size_t n, uint64_t now);
  // Noise at the adapter, off the line: byte i arrives at at + byte_offset_us(i).
  void inject(const uint8_t* data, size_t n, uint64_t at);

  // Delivers everything due by t, in time order: the device's bytes (and the chunks they
  // finish) before the host's at the same instant.
  void run_until(uint64_t t);
  // The first moment after now at which a byte reaches either side, a chunk has gone out,
  // or a byte becomes available to the host; nothing while the line is idle. Now itself while
  // bytes handed over by now wait to be taken, so that a wait computed from a later reading of
  // the clock than the last hand-over's never sleeps through them.
  std::optional<uint64_t> next_event_after(uint64_t now);

  // The host's receiver: bytes the adapter has handed over by now, oldest first.
  size_t available(uint64_t now);
  size_t take(uint8_t* buf, size_t n, uint64_t now);
  // Drops what has been handed over by now; what the adapter still holds survives.
  void discard(uint64_t now);
  // Every byte that has reached the adapter (or is injected for later) and is not taken.
  size_t in_adapter() const { return to_host_.size(); }

  // When the model's line went away (Faults::vanish_after): the device's output not yet
  // sent, and whatever the adapter had not yet handed over, went with it.
  std::optional<uint64_t> vanished_at() const { return vanished_at_; }

 private:
  struct Slot {
    uint64_t start, end;
    uint8_t value;  // on the line, after a byte error
    uint8_t heard;  // what the other end gets: the value, or garbled
    bool collided;
    uint32_t index;  // within its transmission
    uint32_t tx;     // the transmission, counted on its side
  };
  // A byte as it goes on the line, maybe hit by a byte error.
  uint8_t on_line(uint8_t byte, const char* who, size_t index);
  // The slots of mine from `first` on against those of the other side still on the line.
  void collide(std::deque<Slot>& mine, size_t first, std::deque<Slot>& theirs, bool mine_is_host);
  void place(std::vector<Chunk> chunks, uint64_t now);
  void arrive(uint64_t at, uint8_t byte);
  uint64_t handed_over_at(uint64_t arrival) const;
  void vanish(uint64_t at);

  Model model_;
  LineOptions line_;
  Rng rng_;
  std::deque<Slot> host_, device_;                    // on the line, not yet arrived
  std::deque<std::pair<uint64_t, Chunk>> chunks_;     // (end, chunk), not yet all sent
  std::deque<std::pair<uint64_t, uint8_t>> to_host_;  // (available at, byte), in order
  uint64_t host_free_ = 0, device_free_ = 0;          // when each side's last byte ends
  uint32_t host_tx_ = 0, device_tx_ = 0;
  std::optional<uint64_t> vanished_at_;
};

}  // namespace zemlot
