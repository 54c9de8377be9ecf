// Frames and replies by hand, and the checksums they rest on.
#include "link/frames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "lib/crc32.h"
#include "lib/crc8.h"
#include "virtual_line.h"

namespace korvel {
namespace {

TEST(Checksums, CheckValues) {
  const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(crc32(digits, 9), 0xCBF43926u);
  EXPECT_EQ(dallas_crc8(digits, 9), 0xA1);
  EXPECT_EQ(dallas_crc8(digits, -5), 0);  // a size below 1 is nothing
}

// Address, code, 0, the argument least significant byte first, the data bytes the dialogue
// left there (A7 to AE), CRC-8.
TEST(CommandFrame, HandComputedBytes) {
  const std::tuple<int32_t, uint8_t, uint32_t, const char*> cases[] = {
      {1, 0x03, 0x08001000u, "01 03 00 00 10 00 08 a7 a8 a9 aa ab ac ad ae cc"},
      {256, 0x01, 0, "00 01 00 00 00 00 00 a7 a8 a9 aa ab ac ad ae ac"},
      {-1, 0x10, 0x12345678u, "ff 10 00 78 56 34 12 a7 a8 a9 aa ab ac ad ae 20"},
  };
  for (const auto& [netnum, command, adr, bytes] : cases) {
    Exchange x;
    for (int i = 7; i < 15; ++i)
      x.tx_buff[i] = static_cast<uint8_t>(0xA0 + i);
    x.command_tx = command;
    x.adr_tx = adr;
    build_command_frame(x, netnum);
    char text[48];
    for (int i = 0; i < 16; ++i)
      std::snprintf(text + 3 * i, 4, i < 15 ? "%02x " : "%02x", x.tx_buff[i]);
    EXPECT_STREQ(text, bytes);
  }
}

// A reply: address, code, value most significant byte first, CRC-8.
std::vector<uint8_t> reply(uint8_t addr, uint8_t code, uint32_t value, uint8_t crc_flip = 0) {
  std::vector<uint8_t> r = {addr, code};
  for (int shift = 24; shift >= 0; shift -= 8)
    r.push_back(static_cast<uint8_t>(value >> shift));
  r.push_back(dallas_crc8(r.data(), 6) ^ crc_flip);
  return r;
}

TEST(ReplyAcceptance, AddressAndChecksum) {
  const std::vector<uint8_t> zeros(7, 0);
  // A netnum outside 0 to 255 never matches.
  const std::tuple<std::vector<uint8_t>, int32_t, bool> cases[] = {
      {reply(1, 1, 0), 1, true},      {zeros, 0, true},
      {reply(0xFF, 1, 0), 255, true}, {reply(2, 1, 0), 1, false},
      {reply(1, 1, 0, 1), 1, false},  {zeros, 1, false},
      {reply(0, 1, 0), 256, false},   {reply(0xFF, 1, 0), -1, false}};
  for (const auto& [rx, netnum, accepted] : cases)
    EXPECT_EQ(reply_accepted(rx.data(), netnum), accepted) << netnum;
}

// After a reply byte 1 holds the marker, so that a read bringing nothing new, or only part of
// the next reply, does not pass the same reply again; a code equal to the marker survives it
// (the known limit of the scheme).
TEST(ReplyAcceptance, MarkerStopsOneReplyBeingTakenTwice) {
  // The first reply's code, the bytes of the next reply that follow it, the second read.
  const std::tuple<uint8_t, long, ReplyStatus> cases[] = {{0x04, 0, ReplyStatus::NotAccepted},
                                                          {0x10, 4, ReplyStatus::NotAccepted},
                                                          {0x22, 0, ReplyStatus::Accepted}};
  for (const auto& [code, next, second] : cases) {
    testing::VirtualLine line({});
    auto bytes = reply(1, code, 7);
    const auto following = reply(1, 0x11, 0x33);
    bytes.insert(bytes.end(), following.begin(), following.begin() + next);
    line.inject_input(bytes, 0);
    line.sleep_ms(20);  // all of it has arrived
    Exchange x;
    EXPECT_EQ(receive_reply(line, x, 1, 0x22).status, ReplyStatus::Accepted);
    EXPECT_EQ(x.rx_buff[1], 0x22);
    EXPECT_EQ(receive_reply(line, x, 1, 0x22).status, second) << int{code};
  }
}

TEST(ReplyAcceptance, ReadFailureLeavesTheBufferAloneAndNothingReadIsNoReply) {
  testing::VirtualLine line({});
  line.fail_read_at(1);
  Exchange x;
  EXPECT_EQ(receive_reply(line, x, 0, 0x22).status, ReplyStatus::ReadFailed);
  EXPECT_EQ(x.rx_buff[1], 0);
  // Seven zero bytes would pass for netnum 0: the buffer must not start as one.
  EXPECT_EQ(receive_reply(line, x, 0, 0).status, ReplyStatus::NotAccepted);
}

}  // namespace
}  // namespace korvel
