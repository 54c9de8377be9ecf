#pragma once
#include <cstdint>

namespace korvel {

// Every pause of the loader goes through a clock, so tests can run in virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void sleep_ms(uint32_t ms) = 0;
  // Microseconds from an arbitrary start; never goes backwards.
  virtual uint64_t now_us() const = 0;
};

class SystemClock final : public Clock {
 public:
  void sleep_ms(uint32_t ms) override;
  uint64_t now_us() const override;
};

}  // namespace korvel
