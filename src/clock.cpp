#include "clock.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#endif

namespace korvel {

void SystemClock::sleep_ms(uint32_t ms) {
#ifdef _WIN32
  Sleep(ms);
#else
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
#endif
}

uint64_t SystemClock::now_us() const {
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t).count());
}

}  // namespace korvel
