// Reply acceptance: arbitrary 7-byte replies, partial and failed reads and any network number,
// judged against a model of what the loader's buffer holds after each read.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "lib/endian.h"
#include "link/frames.h"

using namespace korvel;

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  bool empty() const { return at >= n; }
  uint8_t byte() { return at < n ? p[at++] : 0; }
};

// Hands out the bytes of one read at a time, as the script says; nothing else may be asked
// of it by reply reading.
class ScriptedPort final : public SerialPort {
 public:
  std::vector<uint8_t> next;  // what the next read delivers
  bool fail_next = false;
  const uint8_t* expected_buf = nullptr;
  int reads = 0;

  bool open(const char*) override { return unexpected(); }
  bool read_settings() override { return unexpected(); }
  bool apply_line_settings(int32_t) override { return unexpected(); }
  bool apply_timeouts() override { return unexpected(); }
  bool write(const uint8_t*, uint32_t) override { return unexpected(); }
  void discard_input() override { unexpected(); }
  bool close() override { return unexpected(); }
  bool read_until(uint8_t*, uint32_t, uint32_t*, uint32_t) override { return unexpected(); }

  bool read(uint8_t* buf, uint32_t n, uint32_t* got) override {
    ++reads;
    FUZZ_CHECK(n == static_cast<uint32_t>(kReplyFrameSize));
    FUZZ_CHECK(buf == expected_buf);
    FUZZ_CHECK(got != nullptr);
    FUZZ_CHECK(next.size() <= n);
    if (fail_next)
      return false;
    std::copy(next.begin(), next.end(), buf);
    *got = static_cast<uint32_t>(next.size());
    return true;
  }

 private:
  static bool unexpected() {
    FUZZ_CHECK(!"reply reading touched the port beyond read()");
    return false;
  }
};

bool oracle_accepts(const uint8_t* rx, int64_t netnum) {
  return rx[kRepCrc] == fuzz::reference_crc8(rx, kRepCrc) && netnum >= 0 && netnum <= 255 &&
         rx[kRepAddr] == netnum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const uint8_t mode = in.byte();
  int32_t netnum = 0;
  switch (mode & 3) {
    case 0:
    case 1:
      netnum = in.byte();
      break;
    case 2: {
      uint32_t v = 0;
      for (int i = 0; i < 4; ++i)
        v |= uint32_t{in.byte()} << (8 * i);
      netnum = static_cast<int32_t>(v);
      break;
    }
    default:
      netnum = int32_t{in.byte()} - 128;
      break;
  }
  // The dialogue's two markers most of the time, any byte now and then.
  const uint8_t m = in.byte();
  const uint8_t marker = (m & 0x80) ? m : (m & 1) ? 0x22 : 0x00;

  ScriptedPort port;
  Exchange x;
  port.expected_buf = x.rx_buff.data();
  // What the loader's buffer must hold, kept apart from the loader's own.
  std::array<uint8_t, kReplyFrameSize> shadow{};
  shadow[kRepCrc] = 0xFF;
  FUZZ_CHECK(std::memcmp(x.rx_buff.data(), shadow.data(), shadow.size()) == 0);
  // Seven zero bytes pass the CRC-8: the fresh buffer must not look like a reply.
  FUZZ_CHECK(!reply_accepted(x.rx_buff.data(), 0));

  for (int call = 0; call < 16 && !in.empty(); ++call) {
    const uint8_t ctl = in.byte();
    port.fail_next = (ctl & 0xC0) == 0xC0;
    port.next.assign(ctl & 7, 0);
    for (auto& b : port.next)
      b = in.byte();
    // Help the mutator to well-formed replies: the device's address and a good CRC-8.
    if ((ctl & 0x10) && !port.next.empty())
      port.next[kRepAddr] = static_cast<uint8_t>(netnum & 0xFF);
    if ((ctl & 0x08) && port.next.size() == static_cast<size_t>(kReplyFrameSize))
      port.next[kRepCrc] = fuzz::reference_crc8(port.next.data(), kRepCrc);

    if (port.next.size() == static_cast<size_t>(kReplyFrameSize)) {
      FUZZ_CHECK(reply_accepted(port.next.data(), netnum) ==
                 oracle_accepts(port.next.data(), netnum));
    }

    const int reads_before = port.reads;
    const Reply r = receive_reply(port, x, netnum, marker);
    FUZZ_CHECK(port.reads == reads_before + 1);

    if (port.fail_next) {
      FUZZ_CHECK(r.status == ReplyStatus::ReadFailed);
    } else {
      std::copy(port.next.begin(), port.next.end(), shadow.begin());
      const bool accepted = oracle_accepts(shadow.data(), netnum);
      FUZZ_CHECK((r.status == ReplyStatus::Accepted) == accepted);
      FUZZ_CHECK(r.status != ReplyStatus::ReadFailed);
      if (accepted) {
        FUZZ_CHECK(r.code == shadow[kRepCode]);
        FUZZ_CHECK(r.value == load_be32(&shadow[kRepValue]));
        // A read that brought nothing new can only find the buffer as the last call left it,
        // with the marker in place of the code: never a command's confirmation.
        if (port.next.empty())
          FUZZ_CHECK(r.code == marker);
      } else {
        FUZZ_CHECK(r.code == 0 && r.value == 0);
      }
      shadow[kRepCode] = marker;
    }
    FUZZ_CHECK(std::memcmp(x.rx_buff.data(), shadow.data(), shadow.size()) == 0);
    // Bytes past the reply are not the reader's to touch.
    for (size_t i = kReplyFrameSize; i < x.rx_buff.size(); ++i)
      FUZZ_CHECK(x.rx_buff[i] == 0);
  }
  return 0;
}
