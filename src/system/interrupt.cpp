// The pause that an interrupt cuts short, the same on every platform but for its wait.
#include "system/interrupt.h"

#include <chrono>

namespace korvel::interrupt {

// A wait may end up to a timer tick before its time, so the pause is measured on the clock and
// waited out to its end: never shorter than asked.
void sleep_ms(uint32_t ms) {
  using SteadyClock = std::chrono::steady_clock;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    check();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0)
      return;
    wait_ms(static_cast<uint32_t>(left.count()));
  }
}

}  // namespace korvel::interrupt
