#include "trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "container/file_access.h"

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
  const uint64_t t = clock_->now_us() - start_us_;
  std::fprintf(file_, "%8llu.%01llu ms  ", static_cast<unsigned long long>(t / 1000),
               static_cast<unsigned long long>(t % 1000 / 100));
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
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i > 0 ? " %02x" : "%02x", data[i]);
    s += b;
  }
  return s;
}

}  // namespace korvel
