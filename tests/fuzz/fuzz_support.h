#pragma once
// What the fuzz targets share. A broken invariant aborts with a line saying which, so that
// libFuzzer (or the replay runner in the ordinary build) keeps the input that broke it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

#if defined(__SANITIZE_ADDRESS__)
#define KORVEL_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVEL_FUZZ_ASAN 1
#endif
#endif

#ifdef KORVEL_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace korvel::fuzz {

// Whether a read of *p would stop the run: AddressSanitizer has it poisoned, or (for the last
// chunk of the allocator's space, which has no redzone after it) the memory there cannot be
// read at all and the read faults. Without the sanitizer nothing is stopped, and the checks
// that rely on it have nothing to say.
inline bool read_is_caught(const uint8_t* p) {
#ifdef KORVEL_FUZZ_ASAN
  if (__asan_address_is_poisoned(p) != 0)
    return true;
  // The kernel reads it for us, into a pipe, and says EFAULT where we would have faulted.
  static int pipe_fds[2] = {-1, -1};
  if (pipe_fds[0] < 0)
    FUZZ_CHECK(pipe2(pipe_fds, O_CLOEXEC) == 0);
  if (::write(pipe_fds[1], p, 1) < 0)
    return errno == EFAULT;
  uint8_t drained = 0;
  FUZZ_CHECK(::read(pipe_fds[0], &drained, 1) == 1);
  return false;
#else
  (void)p;
  return true;
#endif
}

// Reference checksums, bit by bit, written apart from the loader's table-driven ones so that
// a fault in either shows up as a disagreement.
inline uint32_t reference_crc32(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Dallas/Maxim CRC-8: polynomial x^8 + x^5 + x^4 + 1, reflected, starting from 0.
inline uint8_t reference_crc8(const uint8_t* p, size_t n) {
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint8_t>((crc & 1u) ? (crc >> 1) ^ 0x8Cu : crc >> 1);
  }
  return crc;
}

// A regular file the loader opens by name, rewritten for each input: an in-memory file
// reached through /proc/self/fd where the system has them (no disk traffic at thousands of
// runs a second), a temporary file otherwise.
class ScratchFile {
 public:
  ScratchFile() {
    fd_ = memfd_create("korvel-fuzz.cct", MFD_CLOEXEC);
    if (fd_ >= 0) {
      path_ = "/proc/self/fd/" + std::to_string(fd_);
      if (::access(path_.c_str(), R_OK) == 0)
        return;
      ::close(fd_);
    }
    char tmpl[] = "/tmp/korvel-fuzz-XXXXXX";
    fd_ = mkstemp(tmpl);
    FUZZ_CHECK(fd_ >= 0);
    path_ = tmpl;
    temporary_ = true;
  }
  ~ScratchFile() {
    ::close(fd_);
    if (temporary_)
      ::unlink(path_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const char* path() const { return path_.c_str(); }

  void set(const uint8_t* data, size_t n) {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::pwrite(fd_, data + done, n - done, static_cast<off_t>(done));
      FUZZ_CHECK(w > 0);
      done += static_cast<size_t>(w);
    }
  }

 private:
  int fd_ = -1;
  std::string path_;
  bool temporary_ = false;
};

}  // namespace korvel::fuzz
