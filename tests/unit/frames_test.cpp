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

// What one exchange takes as the reply to a frame just sent: bytes (hex, one space apart) come
// in at the given milliseconds after the write, and the reply is read as the dialogue reads
// it, 119 ms after the write. Only bytes of this exchange count, a reply cut short is completed,
// a reply for another command is not taken, and listening goes on after a reply not taken.
TEST(Hearing, WhatAnExchangeTakes) {
  using enum ReplyStatus;
  const std::string ok = "01 03 00 00 00 00 79", stale = "01 04 00 00 00 07 ab";
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, std::string>> in;  // (ms after the write, bytes)
    ReplyStatus status;
    uint8_t code = 0;
    uint64_t min_listen_ms = 0;
    uint64_t by_ms = 3000;  // the exchange is over by then (ms after the write)
  };
  const Case cases[] = {
      {"waiting whole", {{20, ok}}, Accepted, 0x03, 0, 119},
      {"cut short by the read", {{116, ok}}, Accepted, 0x03, 0, 124},
      {"begun only after the read's time", {{140, ok}}, Accepted, 0x03},
      {"a refusal is an answer", {{20, "01 e7 00 00 00 00 bc"}}, Accepted, 0xE7},
      {"another command's reply, then ours", {{20, stale}, {130, ok}}, Accepted, 0x03},
      {"another command's reply alone", {{20, stale}}, NotAccepted},
      {"a noise byte ahead", {{20, "55 " + ok}}, Accepted, 0x03},
      {"long after, nothing else heard", {{400, ok}}, NotAccepted},
      {"long after, while listened for", {{400, ok}}, Accepted, 0x03, 1500},
      {"our own frame's echo, then the reply", {{0, "echo"}, {30, ok}}, Accepted, 0x03},
      {"the echo alone", {{0, "echo"}}, NotAccepted},
      {"the echo cut short is not a reply", {{0, "echo7"}}, NotAccepted},
      {"nothing", {}, NotAccepted},
  };
  for (const auto& c : cases) {
    zemlot::Options device;
    device.netnum = 9;  // the device never answers our frames itself
    testing::VirtualLine line(device);
    Exchange x;
    x.command_tx = CMD_ERASE_PAGE;
    x.adr_tx = 0x08001000u;
    ASSERT_TRUE(send_command(line, x, 1, line, false));
    const Bytes frame(x.tx_buff.begin(), x.tx_buff.begin() + 16);
    for (const auto& [ms, bytes] : c.in) {
      const std::string b = bytes;
      line.inject_input(b == "echo"    ? frame
                        : b == "echo7" ? Bytes(frame.begin(), frame.begin() + 7)
                                       : hex(b),
                        line.now_us() + ms * 1000ull - (b.starts_with("echo") ? 16000 : 0));
    }
    line.sleep_ms(119);
    const Reply r = receive_reply(line, x, 1, 0x00, line, {}, c.min_listen_ms * 1000);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.code, c.code) << c.what;
    EXPECT_LE(line.now_us() - x.sent_at_us, c.by_ms * 1000) << c.what;
    // A second read brings nothing new, and nothing new is never a reply.
    EXPECT_EQ(receive_reply(line, x, 1, 0x00, line).status, NotAccepted) << c.what;
  }
}

// Each exchange that heard only garbage lengthens the listening after the next reply not
// taken, so that a device answering in step with our frames falls out of step; a reply taken
// ends that, or every exchange after a burst of noise would stay slow.
TEST(Hearing, GarbageLengthensTheListeningUntilAReplyIsTaken) {
  const std::string ok = "01 03 00 00 00 00 79";
  // Bytes heard, and the longest and shortest the exchange may then last after its read began.
  const std::tuple<std::string, uint64_t, uint64_t> exchanges[] = {{"55 55", 28 + 50, 28 + 75},
                                                                   {"55 55", 28 + 100, 28 + 125},
                                                                   {ok, 0, 28},
                                                                   {"", 28 + 25, 28 + 26}};
  zemlot::Options device;
  device.netnum = 9;
  testing::VirtualLine line(device);
  Exchange x;
  x.command_tx = CMD_ERASE_PAGE;
  for (const auto& [bytes, at_least, at_most] : exchanges) {
    ASSERT_TRUE(send_command(line, x, 1, line, false));
    if (!bytes.empty())
      line.inject_input(hex(bytes), line.now_us() + 20000);
    line.sleep_ms(119);
    const uint64_t read_at = line.now_us();
    const Reply r = receive_reply(line, x, 1, 0x00, line);
    EXPECT_EQ(r.status == ReplyStatus::Accepted, bytes == ok) << bytes;
    EXPECT_GE(line.now_us() - read_at, at_least * 1000) << bytes;
    EXPECT_LE(line.now_us() - read_at, at_most * 1000) << bytes;
  }
}

// A line full of noise never settles, yet the loader moves on: the listening after a read ends
// 3 s after it began, whatever still comes.
TEST(Hearing, ALineFullOfNoiseStillMovesOn) {
  zemlot::Options device;
  device.netnum = 9;
  testing::VirtualLine line(device);
  Exchange x;
  x.command_tx = CMD_ERASE_PAGE;
  ASSERT_TRUE(send_command(line, x, 1, line, false));
  for (uint64_t ms = 10; ms < 10000; ms += 10)
    line.inject_input(hex("55"), line.now_us() + ms * 1000);
  line.sleep_ms(119);
  const uint64_t read_at = line.now_us();
  EXPECT_EQ(receive_reply(line, x, 1, 0x00, line).status, ReplyStatus::NotAccepted);
  EXPECT_GE(line.now_us() - read_at, 3000000u);
  EXPECT_LE(line.now_us() - read_at, 3000000u + 28000 + 25000);
}

}  // namespace
}  // namespace korvel
