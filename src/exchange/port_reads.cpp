#include "exchange/port_reads.h"

#include <algorithm>

#include "system/interrupt.h"

namespace korvel {

PortWaits system_waits(Clock& clock) {
  return {clock, &interrupt::check};
}

namespace {

// Adds to the *got bytes in buf what comes until there are n or deadline_us has passed.
bool collect(SerialPort& port, const PortWaits& w, uint8_t* buf, uint32_t n, uint32_t* got,
             uint64_t deadline_us) {
  for (;;) {
    w.check();
    const uint64_t now = w.clock.now_us();
    if (*got >= n || now >= deadline_us)
      return true;
    const uint32_t slice = std::min(ceil_ms(deadline_us - now), kReadSliceMs);
    uint32_t k = 0;
    if (!port.read_some(buf + *got, n - *got, &k, slice))
      return false;
    *got += k;
    // Back with nothing before its time: the driver does not wait, so the loop does.
    if (k == 0 && w.clock.now_us() < now + uint64_t{slice} * 1000)
      w.clock.sleep_ms(1);
  }
}

}  // namespace

bool port_take_waiting(SerialPort& port, uint8_t* buf, uint32_t n, uint32_t* got) {
  if (!port.read_some(buf, n, got, 0))
    return false;
  for (uint32_t k = *got; k > 0 && *got < n; *got += k)
    if (!port.read_some(buf + *got, n - *got, &k, 0))
      return false;
  return true;
}

bool port_read(SerialPort& port, const PortWaits& w, uint8_t* buf, uint32_t n, uint32_t* got) {
  if (got == nullptr)
    return false;
  *got = 0;
  w.check();
  if (!port_take_waiting(port, buf, n, got))
    return false;
  if (*got > 0 || n == 0)
    return true;
  const uint64_t limit_us = kPortTimeLimits.read.for_bytes(n) * 1000;
  return collect(port, w, buf, n, got, w.clock.now_us() + limit_us);
}

bool port_read_until(SerialPort& port, const PortWaits& w, uint8_t* buf, uint32_t n, uint32_t* got,
                     uint32_t wait_ms) {
  if (got == nullptr)
    return false;
  *got = 0;
  const uint64_t deadline = w.clock.now_us() + uint64_t{wait_ms} * 1000;
  w.check();
  if (!port_take_waiting(port, buf, n, got))
    return false;
  return collect(port, w, buf, n, got, deadline);
}

}  // namespace korvel
