#include "cct.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/fd.h"
#include "common/files.h"
#include "common/text.h"
#include "wire/crc32.h"

namespace korvel::cct {

namespace {

std::string errno_text(int err) {
  return std::strerror(err);
}

void fail(std::string* why, std::string text) {
  if (why != nullptr)
    *why = std::move(text);
}

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIx32, v);
  return buf;
}

using common::Fd;

// Opening a FIFO or a terminal for reading would otherwise wait for a writer or a carrier.
int open_for_reading(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Checks that fd, fresh from open_for_reading, is a regular file and returns its size. A
// negative fd is a failed open, whose errno is still the open's.
std::optional<uint64_t> regular_file_size(int fd, std::string* why) {
  if (fd < 0) {
    fail(why, "cannot open: " + errno_text(errno));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    fail(why, "cannot examine: " + errno_text(errno));
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {
    fail(why, "is a directory");
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    fail(why, std::string("not a regular file (") + common::file_kind(st.st_mode) + ")");
    return std::nullopt;
  }
  return st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
}

// One read, tried again when a signal interrupts it; a failure is reported and returns -1.
ssize_t read_some(int fd, uint8_t* data, size_t n, std::string* why) {
  for (;;) {
    const ssize_t got = ::read(fd, data, n);
    if (got >= 0)
      return got;
    if (errno != EINTR) {
      fail(why, "cannot read: " + errno_text(errno));
      return -1;
    }
  }
}

std::optional<std::vector<uint8_t>> read_image(const std::string& path, std::string* why) {
  Fd fd(open_for_reading(path));
  const auto size = regular_file_size(fd.get(), why);
  if (!size)
    return std::nullopt;
  const std::string too_large = " bytes; the application area holds " +
                                std::to_string(kAppAreaBytes) + " bytes (" +
                                std::to_string(kAppPages) + " pages)";
  if (*size > kAppAreaBytes) {
    fail(why, "image too large: " + std::to_string(*size) + too_large);
    return std::nullopt;
  }
  // The size fstat gave is only a hint (the file may grow, some files report 0), so read
  // until end of file but never more than one byte past what the device can take.
  std::vector<uint8_t> buf(kAppAreaBytes + 1);
  size_t got = 0;
  while (got < buf.size()) {
    const ssize_t n = read_some(fd.get(), buf.data() + got, buf.size() - got, why);
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      break;
    got += static_cast<size_t>(n);
  }
  if (got > kAppAreaBytes) {
    fail(why, "image too large: more than " + std::to_string(kAppAreaBytes) + too_large);
    return std::nullopt;
  }
  buf.resize(got);
  return buf;
}

bool write_all(int fd, const uint8_t* data, size_t n, std::string* why) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      fail(why, "cannot write: " + errno_text(errno));
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

// Removes the temporary file unless it has been moved into place.
class TempFile {
 public:
  explicit TempFile(std::string name) : name_(std::move(name)) {}
  ~TempFile() {
    if (!name_.empty())
      ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& name() const { return name_; }
  void release() { name_.clear(); }

 private:
  std::string name_;
};

// Fills the temporary file and closes it; what goes wrong is reported now, before it has a
// name anybody sees.
bool fill_temporary(Fd& fd, const std::vector<uint8_t>& bytes, std::string* why) {
  if (!write_all(fd.get(), bytes.data(), bytes.size(), why))
    return false;
  // mkstemp makes the file private; the container should get the permissions any new
  // file would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd.get(), 0666 & ~mask) != 0) {
    fail(why, "cannot set permissions: " + errno_text(errno));
    return false;
  }
  if (::fsync(fd.get()) != 0) {
    fail(why, "cannot flush to disk: " + errno_text(errno));
    return false;
  }
  if (fd.reset() != 0) {
    fail(why, "cannot write: " + errno_text(errno));
    return false;
  }
  return true;
}

bool rename_into_place(TempFile& tmp, const std::string& out, std::string* why) {
  if (::rename(tmp.name().c_str(), out.c_str()) != 0) {
    fail(why, "cannot move into place: " + errno_text(errno));
    return false;
  }
  tmp.release();
  return true;
}

// Gives the temporary file the output's name, replacing an existing file only with force.
bool put_in_place(TempFile& tmp, const std::string& out, bool force, std::string* why) {
  if (force)
    return rename_into_place(tmp, out, why);
  if (::link(tmp.name().c_str(), out.c_str()) == 0) {
    // link() refuses to replace, which closes the gap between the early existence check
    // and now; the temporary name goes away with the guard.
    return true;
  }
  if (errno == EEXIST) {
    fail(why, "already exists (use --force to replace it)");
    return false;
  }
  // Some file systems have no hard links; the early check is all we can do there.
  struct stat st {};
  if (::lstat(out.c_str(), &st) == 0) {
    fail(why, "already exists (use --force to replace it)");
    return false;
  }
  return rename_into_place(tmp, out, why);
}

bool write_atomically(const std::string& out, const std::vector<uint8_t>& bytes, bool force,
                      std::string* why) {
  std::string pattern = out + ".tmp.XXXXXX";
  const int raw_fd = ::mkstemp(pattern.data());
  if (raw_fd < 0) {
    fail(why, "cannot create a temporary file next to it: " + errno_text(errno));
    return false;
  }
  Fd fd(raw_fd);
  TempFile tmp(pattern);
  if (!fill_temporary(fd, bytes, why) || !put_in_place(tmp, out, force, why))
    return false;
  // Make the new name itself durable; failing that is not worth reporting the run as failed.
  if (const Fd dir(::open(directory_of(out).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      dir.valid())
    ::fsync(dir.get());
  return true;
}

// One pass over a container file of `size` bytes (as opened): its header, how many bytes it
// really held, and the CRC-32 of its payload.
struct Scan {
  uint8_t head[sizehead] = {};
  uint64_t got = 0;
  uint32_t payload_crc = 0;
};

std::optional<Scan> scan_container(int fd, uint64_t size, std::string* why) {
  // Read in pieces rather than mapped: a mapped file that shrinks under us kills the process
  // with SIGBUS, while a read just comes back short. A bogus multi-gigabyte file costs time,
  // not memory.
  std::vector<uint8_t> buf(1 << 16);
  Scan scan;
  // One byte more than expected is asked for at the end, so that growth shows too.
  while (scan.got <= size) {
    const ssize_t n =
        read_some(fd, buf.data(),
                  static_cast<size_t>(std::min<uint64_t>(buf.size(), size - scan.got + 1)), why);
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      break;
    size_t at = 0;
    for (; at < static_cast<size_t>(n) && scan.got < sizehead; ++at, ++scan.got)
      scan.head[scan.got] = buf[at];
    // Bytes past the size as opened are only counted, for the check that the size held.
    const size_t rest = static_cast<size_t>(n) - at;
    const uint64_t payload = std::min<uint64_t>(rest, size - scan.got);
    scan.payload_crc =
        crc32_update(scan.payload_crc, buf.data() + at, static_cast<size_t>(payload));
    scan.got += rest;
  }
  return scan;
}

}  // namespace

std::string iso8601_utc(int32_t unix_time) {
  using namespace std::chrono;
  const sys_seconds at{seconds{unix_time}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char buf[80];  // room for any int, which keeps -Wformat-truncation quiet
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buf;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<Facts> examine_file(const std::string& path, std::string* why) {
  Fd fd(open_for_reading(path));
  const auto size = regular_file_size(fd.get(), why);
  if (!size)
    return std::nullopt;
  if (*size < sizehead) {
    fail(why, "too short for a container: " + std::to_string(*size) +
                  " bytes, the header alone is " + std::to_string(sizehead));
    return std::nullopt;
  }
  if (*size >= kTooLargeFileBytes) {
    fail(why,
         "too large: " + std::to_string(*size) + " bytes; a container must be smaller than 4 GiB");
    return std::nullopt;
  }
  const auto scan = scan_container(fd.get(), *size, why);
  if (!scan)
    return std::nullopt;
  if (scan->got != *size) {
    fail(why, "changed size while being read: " + std::to_string(*size) + " bytes when opened, " +
                  (scan->got > *size ? "more" : std::to_string(scan->got)) + " read");
    return std::nullopt;
  }
  Facts in;
  in.header = decode_header(scan->head);
  in.file_size = *size;
  in.payload_size = static_cast<uint32_t>(*size - sizehead);
  in.payload_crc = scan->payload_crc;
  return in;
}

std::string format_report(std::string_view name, const Facts& in) {
  std::string r;
  r += "file: " + printable(name) + "\n";
  r += "size: " + std::to_string(in.file_size) + " bytes (payload " +
       std::to_string(in.payload_size) + " bytes)\n";
  r += "creator version: " + std::to_string(in.header.creator_version) + "\n";
  r += "crc_decrypted: " + hex32(in.header.crc_decrypted) + "\n";
  r += "crc_BIN: " + hex32(in.header.crc_BIN);
  r += in.crc_matches() ? " (payload matches)\n"
                        : " (mismatch: the payload computes to " + hex32(in.payload_crc) + ")\n";
  r += "created: " + iso8601_utc(in.header.UNIXtimestamp) + "\n";
  r += "blocks: " + std::to_string(in.blocks()) + (in.blocks() == 1 ? " block" : " blocks") +
       " of 8 bytes\n";
  if (in.tail_bytes() != 0) {
    r += "warning: the payload is not a multiple of 8 bytes; its last " +
         std::to_string(in.tail_bytes()) + " bytes would never reach the device\n";
  }
  r += "pages: " + std::to_string(in.pages()) + " of " + std::to_string(kAppPages) + "\n";
  r += "fits application area: ";
  r +=
      in.fits() ? "yes\n" : "no (at most " + std::to_string(kAppAreaBytes) + " bytes of payload)\n";
  if (in.sound() && in.tail_bytes() != 0) {
    // The device checks the tail it never received, so its checksum will not match.
    r += "result: sound, with a warning (the last " + std::to_string(in.tail_bytes()) +
         " bytes never reach the device)\n";
  } else if (in.sound()) {
    r += "result: sound\n";
  } else {
    std::string reasons;
    if (!in.crc_matches())
      reasons = "crc_BIN mismatch";
    if (!in.fits())
      reasons += std::string(reasons.empty() ? "" : "; ") + "too large for the application area";
    if (in.payload_size == 0)
      reasons += std::string(reasons.empty() ? "" : "; ") + "empty payload, nothing to program";
    r += "result: not sound (" + reasons + ")\n";
  }
  return r;
}

BuiltContainer build_container(std::vector<uint8_t> image, const cipher::Key& key,
                               uint32_t creator_version, int32_t timestamp) {
  if (image.size() > kAppAreaBytes)
    throw std::length_error("image larger than the application area");
  BuiltContainer b;
  b.image_size = static_cast<uint32_t>(image.size());
  b.padding = (BLOCK_SIZE - b.image_size % BLOCK_SIZE) % BLOCK_SIZE;
  // Erased flash reads 0xFF, so padding with it leaves the tail of the last page as if
  // never written.
  image.resize(b.image_size + b.padding, 0xFF);
  const auto n = static_cast<uint32_t>(image.size());
  b.header.creator_version = creator_version;
  b.header.UNIXtimestamp = timestamp;
  b.header.crc_decrypted = crc32(image.data(), n);
  cipher::encipher(key, image.data(), image.size());
  b.header.crc_BIN = crc32(image.data(), n);
  b.bytes.assign(sizehead + image.size(), 0);
  encode_header(b.header, b.bytes.data());
  std::copy(image.begin(), image.end(), b.bytes.begin() + sizehead);
  return b;
}

std::optional<BuiltContainer> make_container(const MakeRequest& req, std::string* why) {
  // Checked before any work so the common mistake gets a clear answer; write_atomically
  // checks existence again without a race. Only a regular file is ever replaced: renaming
  // onto a link or a device node would swap out the node itself (a port under /dev, for
  // root), so that is refused with or without --force.
  if (const auto refusal = common::why_not_replaceable(req.out, req.force)) {
    fail(why, printable(req.out) + ": " + *refusal);
    return std::nullopt;
  }
  std::string reason;
  auto image = read_image(req.in, &reason);
  if (!image) {
    fail(why, printable(req.in) + ": " + reason);
    return std::nullopt;
  }
  // The loader would report success for an empty image while programming nothing.
  if (image->empty()) {
    fail(why, printable(req.in) + ": empty image, nothing to program");
    return std::nullopt;
  }
  const size_t tail = image->size() % BLOCK_SIZE;
  if (tail != 0 && !req.allow_tail) {
    fail(why, printable(req.in) + ": " + std::to_string(image->size()) +
                  " bytes, not a multiple of 8: the last " + std::to_string(tail) +
                  " do not fill a block (pad the image, or give --allow-tail to pad it with 0xFF)");
    return std::nullopt;
  }
  BuiltContainer built =
      build_container(std::move(*image), req.key, req.creator_version, req.timestamp);
  if (!write_atomically(req.out, built.bytes, req.force, &reason)) {
    fail(why, printable(req.out) + ": " + reason);
    return std::nullopt;
  }
  return built;
}

std::string format_summary(const MakeRequest& req, const BuiltContainer& b) {
  std::string s;
  if (b.padding != 0) {
    s += "padded " + std::to_string(b.padding) + (b.padding == 1 ? " byte" : " bytes") +
         " with 0xFF to a multiple of 8\n";
  }
  const uint32_t payload = b.image_size + b.padding;
  s += "output: " + printable(req.out) + "\n";
  s += "payload: " + std::to_string(payload) + " bytes (image " + std::to_string(b.image_size) +
       " bytes)\n";
  s += "blocks: " + std::to_string(whole_blocks(payload)) + "\n";
  s +=
      "pages: " + std::to_string(pages_needed(payload)) + " of " + std::to_string(kAppPages) + "\n";
  s += "crc_decrypted: " + hex32(b.header.crc_decrypted) + "\n";
  s += "crc_BIN: " + hex32(b.header.crc_BIN) + "\n";
  s += "creator version: " + std::to_string(b.header.creator_version) + "\n";
  s += "created: " + iso8601_utc(b.header.UNIXtimestamp) + "\n";
  s += std::string("cipher: stand-in XTEA, ") + (req.default_key ? "default key" : "given key") +
       " (not the device's cipher)\n";
  return s;
}

std::optional<uint32_t> parse_u32(std::string_view text) {
  const auto v = common::parse_number(text, UINT32_MAX);
  return v ? std::optional<uint32_t>(static_cast<uint32_t>(*v)) : std::nullopt;
}

std::optional<int32_t> parse_i32(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  int32_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 10);
  if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return v;
}

}  // namespace korvel::cct
