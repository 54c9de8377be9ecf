#include "text/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "common/text.h"
#include "system/file_access.h"

namespace korvel {

Trace::~Trace() {
  if (file_ != nullptr)
    std::fclose(file_);
}

bool Trace::open(const char* path, const Clock& clock, std::string* why) {
  std::FILE* f = open_for_writing(path);
  if (f == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  if (file_ != nullptr)
    std::fclose(file_);
  file_ = f;
  clock_ = &clock;
  start_us_ = clock.now_us();
  return true;
}

void Trace::line(const char* fmt, ...) {
  if (file_ == nullptr)
    return;
  std::fputs(common::trace_stamp(clock_->now_us() - start_us_).c_str(), file_);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(file_, fmt, ap);
  va_end(ap);
  std::fputc('\n', file_);
  std::fflush(file_);
}

Trace& Trace::off() {
  static Trace none;
  return none;
}

std::string Trace::hex(const uint8_t* data, size_t n) {
  return common::hex_bytes(data, n);
}

}  // namespace korvel
