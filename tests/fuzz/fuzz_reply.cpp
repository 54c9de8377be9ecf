// Reply acceptance: arbitrary replies, partial and failed reads and any network number,
// judged against a model of what the loader's buffer holds after each read.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "lib/crc8.h"
#include "lib/endian.h"
#include "link/frames.h"
#include "virtual_line.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in{data, size};
  // A byte's worth, any 32-bit value, or a small negative one.
  const uint8_t mode = in.byte() & 3;
  uint32_t raw = in.byte();
  for (int i = 1; mode == 2 && i < 4; ++i)
    raw |= uint32_t{in.byte()} << (8 * i);
  const int32_t netnum = static_cast<int32_t>(raw) - (mode == 3 ? 128 : 0);
  const uint8_t m = in.byte();  // the dialogue's two markers most of the time
  const uint8_t marker = (m & 0x80) ? m : (m & 1) ? 0x22 : 0x00;
  const auto oracle = [&](const uint8_t* rx) {
    return rx[kRepCrc] == dallas_crc8(rx, kRepCrc) && netnum >= 0 && netnum <= 255 &&
           rx[kRepAddr] == netnum;
  };
  testing::VirtualLine line({});
  Exchange x;
  // What the loader's buffer must hold; seven zero bytes would pass, so it starts otherwise.
  std::array<uint8_t, kReplyFrameSize> shadow{};
  shadow[kRepCrc] = 0xFF;
  for (int call = 0; call < 16 && !in.empty(); ++call) {
    const uint8_t ctl = in.byte();
    const bool fail = (ctl & 0xC0) == 0xC0;
    std::vector<uint8_t> next(ctl & 7);
    for (auto& b : next)
      b = in.byte();
    // Help the mutator to well-formed replies: the device's address and a good CRC-8.
    if ((ctl & 0x10) && !next.empty())
      next[kRepAddr] = static_cast<uint8_t>(netnum);
    if ((ctl & 0x08) && next.size() == kReplyFrameSize)
      next[kRepCrc] = dallas_crc8(next.data(), kRepCrc);
    line.inject_input(next, line.now_us());
    line.sleep_ms(10);
    line.fail_read_at(fail ? line.read_calls() + 1 : 0);
    const Reply r = receive_reply(line, x, netnum, marker);
    FUZZ_CHECK(line.waiting() == (fail ? next.size() : 0));
    line.discard_input();
    if (fail) {
      FUZZ_CHECK(r.status == ReplyStatus::ReadFailed);
    } else {
      std::copy(next.begin(), next.end(), shadow.begin());
      const bool accepted = oracle(shadow.data());
      FUZZ_CHECK((r.status == ReplyStatus::Accepted) == accepted);
      FUZZ_CHECK(r.code == (accepted ? shadow[kRepCode] : 0));
      FUZZ_CHECK(r.value == (accepted ? load_be32(&shadow[kRepValue]) : 0));
      // A read that brought nothing new finds the marker where the code was: never a reply.
      FUZZ_CHECK(!accepted || !next.empty() || r.code == marker);
      shadow[kRepCode] = marker;
    }
    FUZZ_CHECK(std::memcmp(x.rx_buff.data(), shadow.data(), shadow.size()) == 0);
  }
  return 0;
}
