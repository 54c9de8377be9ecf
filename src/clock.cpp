#include "clock.h"

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

}  // namespace korvel
