#pragma once
// What the fuzz targets share. A broken invariant aborts with a line saying which, so that
// libFuzzer (or the replay runner in the ordinary build) keeps the input that broke it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#if defined(__has_feature)  // clang's way of saying __SANITIZE_ADDRESS__
#if __has_feature(address_sanitizer)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(cond)                                                                       \
  ((cond) ? void()                                                                             \
          : (std::fprintf(stderr, "invariant broken: %s:%d: %s\n", __FILE__, __LINE__, #cond), \
             std::abort()))

namespace korvel::fuzz {

// Whether a read of *p would stop the run: poisoned, or unmapped (the allocator's last chunk
// has no redzone after it), which a copy into a pipe tells. Without the sanitizer: not judged.
inline bool read_is_caught([[maybe_unused]] const uint8_t* p) {
#ifdef __SANITIZE_ADDRESS__
  static int fds[2] = {-1, -1};
  uint8_t drained = 0;
  FUZZ_CHECK(fds[0] >= 0 || pipe2(fds, O_CLOEXEC) == 0);
  return __asan_address_is_poisoned(p) != 0 || ::write(fds[1], p, 1) < 0 ||
         ::read(fds[0], &drained, 1) != 1;
#else
  return true;
#endif
}

// The input a byte at a time, zeros once it runs out.
struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t byte() { return n > 0 ? (--n, *p++) : 0; }
};

// A file the loader opens by name, in memory: no disk traffic at thousands of runs a second.
struct ScratchFile {
  int fd = memfd_create("korvel-fuzz.cct", MFD_CLOEXEC);
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  void set(const uint8_t* data, size_t n) {
    FUZZ_CHECK(::ftruncate(fd, 0) == 0 && ::pwrite(fd, data, n, 0) == static_cast<ssize_t>(n));
  }
};

}  // namespace korvel::fuzz
