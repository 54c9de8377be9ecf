#include "link/frames.h"

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

bool send_command(SerialPort& port, Exchange& x, int32_t netnum) {
  build_command_frame(x, netnum);
  port.discard_input();
  return port.write(x.tx_buff.data(), kCommandFrameSize);
}

bool reply_accepted(const uint8_t* rx, int32_t netnum) {
  return rx[kRepCrc] == dallas_crc8(rx, kRepCrc) && int32_t{rx[kRepAddr]} == netnum;
}

Reply receive_reply(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker) {
  Reply r;
  uint32_t got = 0;
  if (!port.read(x.rx_buff.data(), kReplyFrameSize, &got)) {
    r.status = ReplyStatus::ReadFailed;
    return r;
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

}  // namespace korvel
