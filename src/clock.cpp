#include "clock.h"

#include "interrupt.h"

namespace korvel {

void SystemClock::sleep_ms(uint32_t ms) {
  interrupt::sleep_ms(ms);
}

}  // namespace korvel
