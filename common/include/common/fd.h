#pragma once
// A POSIX file descriptor with one owner: closed when it goes, on every path.
#include <unistd.h>

#include <utility>

namespace korvel::common {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes it now and says what close() said: on some file systems a failed write shows up here.
  int reset() {
    const int r = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return r;
  }
  // Hands the descriptor to a new owner.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace korvel::common
