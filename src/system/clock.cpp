#include "system/clock.h"

#include <chrono>

#include "system/interrupt.h"

namespace korvel {

void SystemClock::sleep_ms(uint32_t ms) {
  interrupt::sleep_ms(ms);
}

uint64_t SystemClock::now_us() const {
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t).count());
}

}  // namespace korvel
