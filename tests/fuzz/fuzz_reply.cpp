// Reply acceptance: arbitrary 7-byte replies, partial and failed reads and any network number,
// judged against a model of what the loader's buffer holds after each read.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "lib/endian.h"
#include "link/frames.h"
#include "virtual_line.h"

using namespace korvel;

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  bool empty() const { return at >= n; }
  uint8_t byte() { return at < n ? p[at++] : 0; }
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

  // Each call's bytes have all arrived when it reads, and nothing else is on the line.
  testing::VirtualLine line({});
  Exchange x;
  // What the loader's buffer must hold, kept apart from the loader's own.
  std::array<uint8_t, kReplyFrameSize> shadow{};
  shadow[kRepCrc] = 0xFF;
  FUZZ_CHECK(std::memcmp(x.rx_buff.data(), shadow.data(), shadow.size()) == 0);
  // Seven zero bytes pass the CRC-8: the fresh buffer must not look like a reply.
  FUZZ_CHECK(!reply_accepted(x.rx_buff.data(), 0));

  for (int call = 0; call < 16 && !in.empty(); ++call) {
    const uint8_t ctl = in.byte();
    const bool fail = (ctl & 0xC0) == 0xC0;
    std::vector<uint8_t> next(ctl & 7);
    for (auto& b : next)
      b = in.byte();
    // Help the mutator to well-formed replies: the device's address and a good CRC-8.
    if ((ctl & 0x10) && !next.empty())
      next[kRepAddr] = static_cast<uint8_t>(netnum & 0xFF);
    if ((ctl & 0x08) && next.size() == static_cast<size_t>(kReplyFrameSize))
      next[kRepCrc] = fuzz::reference_crc8(next.data(), kRepCrc);

    if (next.size() == static_cast<size_t>(kReplyFrameSize)) {
      FUZZ_CHECK(reply_accepted(next.data(), netnum) == oracle_accepts(next.data(), netnum));
    }

    line.inject_input(next, line.now_us());
    line.sleep_ms(10);
    const size_t reads_before = line.read_calls();
    line.fail_read_at(fail ? reads_before + 1 : 0);
    const Reply r = receive_reply(line, x, netnum, marker);
    FUZZ_CHECK(line.read_calls() == reads_before + 1);
    FUZZ_CHECK(line.waiting() == (fail ? next.size() : 0));
    FUZZ_CHECK(line.write_calls() == 0 && line.discards() == static_cast<size_t>(call));
    line.discard_input();

    if (fail) {
      FUZZ_CHECK(r.status == ReplyStatus::ReadFailed);
    } else {
      std::copy(next.begin(), next.end(), shadow.begin());
      const bool accepted = oracle_accepts(shadow.data(), netnum);
      FUZZ_CHECK((r.status == ReplyStatus::Accepted) == accepted);
      FUZZ_CHECK(r.status != ReplyStatus::ReadFailed);
      if (accepted) {
        FUZZ_CHECK(r.code == shadow[kRepCode]);
        FUZZ_CHECK(r.value == load_be32(&shadow[kRepValue]));
        // A read that brought nothing new can only find the buffer as the last call left it,
        // with the marker in place of the code: never a command's confirmation.
        if (next.empty())
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
