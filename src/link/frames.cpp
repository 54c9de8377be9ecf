#include "link/frames.h"

#include <algorithm>

#include "lib/crc8.h"

namespace korvel {

Exchange::Exchange() {
  // Before the first read the buffer must not look like a reply: seven zero bytes would
  // pass the CRC-8 test.
  rx_buff[kRepCrc] = 0xFF;
}

void build_command_frame(Exchange& x, int32_t netnum) {
  auto& f = x.tx_buff;
  f[kCmdAddr] = static_cast<uint8_t>(netnum & 0xFF);
  f[kCmdCode] = x.command_tx;
  f[2] = 0;
  for (int i = 0; i < 4; ++i) {
    f[kCmdArg + i] = static_cast<uint8_t>(x.adr_tx >> (8 * i));
  }
  f[kCmdCrc] = dallas_crc8(f.data(), kCmdCrc);
}

bool send_command(SerialPort& port, Exchange& x, int32_t netnum, Clock* quiet) {
  build_command_frame(x, netnum);
  if (quiet != nullptr) {
    const uint64_t now = quiet->now_us();
    const uint64_t free_at = std::max(x.heard ? x.last_rx_us + kQuietUs : 0, x.hold_until_us);
    if (now < free_at)
      quiet->sleep_ms(static_cast<uint32_t>((free_at - now + 999) / 1000));
  }
  port.discard_input();
  x.frame_out = port.write(x.tx_buff.data(), kCommandFrameSize);
  return x.frame_out;
}

bool reply_accepted(const uint8_t* rx, int32_t netnum) {
  return rx[kRepCrc] == dallas_crc8(rx, kRepCrc) && int32_t{rx[kRepAddr]} == netnum;
}

namespace {

constexpr uint32_t kEchoRest = kCommandFrameSize - kReplyFrameSize;

// One read towards the reply, as the pacing has it.
bool read_part(SerialPort& port, Exchange& x, const Pacing& p, uint8_t* buf, uint32_t n,
               uint32_t* got) {
  if (p.clock == nullptr)
    return port.read(buf, n, got);
  const uint64_t now = p.clock->now_us();
  const uint64_t left_us = p.deadline_us > now ? p.deadline_us - now : 0;
  const bool ok = port.read_until(buf, n, got, static_cast<uint32_t>((left_us + 999) / 1000));
  if (*got > 0) {
    x.heard = true;
    x.last_rx_us = p.clock->now_us();
  }
  return ok;
}

// Many RS-485 adapters keep their receiver on while they transmit, so the frame just written
// comes back ahead of the reply. Seven bytes that begin the frame are its echo only when the
// other nine follow: a reply may begin like the frame (a device answering 0 to a command with
// argument 0 whose CRC-8 happens to be 0). Reads the nine; false when the port fails.
bool read_echo_rest(SerialPort& port, Exchange& x, const Pacing& p, bool* echo) {
  std::array<uint8_t, kEchoRest> rest{};
  uint32_t got = 0;
  if (!read_part(port, x, p, rest.data(), kEchoRest, &got))
    return false;
  *echo = got == kEchoRest && std::equal(rest.begin(), rest.end(), &x.tx_buff[kReplyFrameSize]);
  return true;
}

Reply read_and_judge(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker,
                     const Pacing& pacing) {
  Reply r;
  const bool after_frame = x.frame_out;
  x.frame_out = false;
  std::array<uint8_t, kReplyFrameSize> before{};
  std::copy_n(x.rx_buff.begin(), kReplyFrameSize, before.begin());
  uint32_t got = 0;
  if (!read_part(port, x, pacing, x.rx_buff.data(), kReplyFrameSize, &got)) {
    r.status = ReplyStatus::ReadFailed;
    return r;
  }
  if (after_frame && got == kReplyFrameSize &&
      std::equal(x.tx_buff.begin(), x.tx_buff.begin() + kReplyFrameSize, x.rx_buff.begin())) {
    bool echo = false;
    const bool ok = read_echo_rest(port, x, pacing, &echo);
    if (!ok || echo) {
      // Whatever follows is judged as if the echo had never been in the buffer.
      std::copy(before.begin(), before.end(), x.rx_buff.begin());
      x.rx_buff[kRepCode] = marker;
    }
    if (!ok || (echo && !read_part(port, x, pacing, x.rx_buff.data(), kReplyFrameSize, &got))) {
      r.status = ReplyStatus::ReadFailed;
      return r;
    }
  }
  const uint8_t* rx = x.rx_buff.data();
  if (reply_accepted(rx, netnum)) {
    r.status = ReplyStatus::Accepted;
    r.code = rx[kRepCode];
    r.value = uint32_t{rx[kRepValue]} << 24 | uint32_t{rx[kRepValue + 1]} << 16 |
              uint32_t{rx[kRepValue + 2]} << 8 | uint32_t{rx[kRepValue + 3]};
  }
  x.rx_buff[kRepCode] = marker;
  return r;
}

}  // namespace

Reply receive_reply(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker,
                    const Pacing& pacing) {
  const Reply r = read_and_judge(port, x, netnum, marker, pacing);
  if (pacing.clock != nullptr && r.status != ReplyStatus::Accepted)
    x.hold_until_us = pacing.deadline_us;
  return r;
}

}  // namespace korvel
