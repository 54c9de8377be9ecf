#pragma once
// The reads the loader makes, built the same way on every platform on the port's one primitive
// (SerialPort::read_some): deadlines on a monotonic clock, an interrupt looked at before every
// wait and no wait longer than kReadSliceMs, and a primitive that comes back early with nothing
// (a widely used USB driver does, whatever its time-outs say) answered with a 1 ms pause, never
// with a spin.
#include <algorithm>
#include <cstdint>

#include "system/clock.h"
#include "system/serial_port.h"

namespace korvel {

// What the reads wait with: the clock that measures their deadlines and pauses, and what acts
// on an interrupt (it ends the run and does not return).
struct PortWaits {
  Clock& clock;
  void (*check)();
};
// The program's own: the interrupt of interrupt.h.
PortWaits system_waits(Clock& clock);

inline constexpr uint32_t kReadSliceMs = 50;

// A wait in whole milliseconds, never cut short by the rounding.
constexpr uint32_t ceil_ms(uint64_t us) {
  return static_cast<uint32_t>(std::min<uint64_t>((us + 999) / 1000, UINT32_MAX));
}

// What is waiting now, up to n bytes, however few a driver hands over at a time; no wait.
bool port_take_waiting(SerialPort& port, uint8_t* buf, uint32_t n, uint32_t* got);

// The documented read: bytes already waiting come back at once (up to n); otherwise it waits up
// to the read's time limit (21 + n ms) for n bytes. Running out of time is no failure: true,
// with *got below n, 0 when nothing came. False only on a fault of the port. n = 0 returns true
// at once.
bool port_read(SerialPort& port, const PortWaits& w, uint8_t* buf, uint32_t n, uint32_t* got);

// Until n bytes have come or wait_ms have passed since the call, whichever is first; bytes
// already waiting count towards n. *got and failures as for port_read.
bool port_read_until(SerialPort& port, const PortWaits& w, uint8_t* buf, uint32_t n, uint32_t* got,
                     uint32_t wait_ms);

}  // namespace korvel
