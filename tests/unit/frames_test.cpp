// Frames and replies by hand, their CRC-8 worked out apart from the code.
#include "link/frames.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "virtual_line.h"

namespace korvel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text) {
  Bytes b;
  for (size_t i = 0; i < text.size(); i += 3)
    b.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return b;
}

// Address, code, 0, the argument LSB first, the data bytes left there (A7 to AE), CRC-8.
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
    EXPECT_EQ(Bytes(x.tx_buff.begin(), x.tx_buff.begin() + 16), hex(bytes)) << bytes;
  }
}

// A reply: address, code, value MSB first, CRC-8; a netnum outside 0 to 255 never matches.
TEST(ReplyAcceptance, AddressAndChecksum) {
  const std::string zeros = "00 00 00 00 00 00 00";
  const std::tuple<std::string, int32_t, bool> cases[] = {
      {"01 01 00 00 00 00 fa", 1, true},    {zeros, 0, true},
      {"ff 01 00 00 00 00 9b", 255, true},  {"02 01 00 00 00 00 a3", 1, false},
      {"01 01 00 00 00 00 fb", 1, false},   {zeros, 1, false},
      {"00 01 00 00 00 00 cd", 256, false}, {"ff 01 00 00 00 00 9b", -1, false}};
  for (const auto& [rx, netnum, accepted] : cases)
    EXPECT_EQ(reply_accepted(hex(rx).data(), netnum), accepted) << rx << " for " << netnum;
}

// After a reply byte 1 holds the marker, so that a read bringing nothing new, or only part of
// the next reply, does not pass the same reply again; a code equal to the marker survives it
// (the known limit of the scheme). Nothing read at all is no reply, even for netnum 0.
TEST(ReplyAcceptance, NothingNewPassesAsAReply) {
  using enum ReplyStatus;
  // The bytes on the line, the netnum, the first and the second read's verdicts.
  const std::tuple<const char*, int32_t, ReplyStatus, ReplyStatus> cases[] = {
      {"01 04 00 00 00 07 ab", 1, Accepted, NotAccepted},
      {"01 10 00 00 00 07 c8 01 11 00 00", 1, Accepted, NotAccepted},
      {"01 22 00 00 00 07 cf", 1, Accepted, Accepted},
      {"", 0, NotAccepted, NotAccepted}};
  for (const auto& [bytes, netnum, first, second] : cases) {
    testing::VirtualLine line({});
    line.inject_input(hex(bytes), 0);
    line.sleep_ms(20);  // all of it has arrived
    Exchange x;
    EXPECT_EQ(receive_reply(line, x, netnum, 0x22).status, first) << bytes;
    EXPECT_EQ(receive_reply(line, x, netnum, 0x22).status, second) << bytes;
  }
}

}  // namespace
}  // namespace korvel
