#pragma once
// The line trace a support engineer reads after a run (KORVEL_TRACE): one line per event,
// each stamped with the milliseconds since the trace began, written and flushed as it happens.
// A trace that is not open records nothing; its callers build what a line shows (hex bytes,
// the reasons) only when it is open, so that it costs nothing.
#include <cstdint>
#include <cstdio>
#include <string>

#include "system/clock.h"

namespace korvel {

class Trace {
 public:
  Trace() = default;
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;
  ~Trace();

  // Opens (truncates) the file; false with the system's reason when it cannot.
  bool open(const char* path, const Clock& clock, std::string* why);
  bool on() const { return file_ != nullptr; }

  void line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  // A trace that is never opened, for callers that were given none.
  static Trace& off();
  // "01 03 00": lower-case hex bytes, one space apart.
  static std::string hex(const uint8_t* data, size_t n);

 private:
  std::FILE* file_ = nullptr;
  const Clock* clock_ = nullptr;
  uint64_t start_us_ = 0;
};

}  // namespace korvel
