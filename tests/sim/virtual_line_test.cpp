#include "virtual_line.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "frames.h"
#include "lib/crc32.h"
#include "stand_in_cipher.h"

namespace korvel::testing {
namespace {

using zemlot::test::command;
using zemlot::test::parse_reply;

constexpr uint64_t B = VirtualLine::kByteUs;

std::vector<uint8_t> read_n(VirtualLine& line, uint32_t n, bool* ok = nullptr) {
  std::vector<uint8_t> buf(n);
  uint32_t got = 99;
  const bool r = line.read(buf.data(), n, &got);
  if (ok != nullptr) {
    *ok = r;
  }
  buf.resize(got);
  return buf;
}

TEST(VirtualLine, WaitingBytesComeBackAtOnce) {
  VirtualLine line{zemlot::Options{}};
  line.inject_input({1, 2, 3}, 0);
  line.sleep_ms(10);
  EXPECT_EQ(read_n(line, 2), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(line.now_us(), 10000u);
  EXPECT_EQ(read_n(line, 16), (std::vector<uint8_t>{3}));
  EXPECT_EQ(line.now_us(), 10000u);
}

TEST(VirtualLine, EmptyLineWaitsTwentyOnePlusNMilliseconds) {
  for (uint32_t n : {1u, 7u, 16u, 64u}) {
    SCOPED_TRACE(n);
    VirtualLine line{zemlot::Options{}};
    line.sleep_ms(3);
    bool ok = false;
    EXPECT_TRUE(read_n(line, n, &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(line.now_us(), 3000u + (21 + n) * 1000);
  }
}

TEST(VirtualLine, WaitEndsWhenTheNthByteArrives) {
  VirtualLine line{zemlot::Options{}};
  line.inject_input({7, 8, 9, 10}, 5000);  // arrive at 5000, +B, +2B, +3B
  EXPECT_EQ(read_n(line, 3), (std::vector<uint8_t>{7, 8, 9}));
  EXPECT_EQ(line.now_us(), 5000 + 2 * B);
  EXPECT_EQ(line.waiting(), 0u);
  EXPECT_EQ(line.in_flight(), 1u);
}

TEST(VirtualLine, WaitForMoreThanArrivesReturnsWhatCameAtTheDeadline) {
  VirtualLine line{zemlot::Options{}};
  line.inject_input({7, 8}, 5000);
  line.inject_input({9}, 40000);  // after the deadline of 28 ms
  EXPECT_EQ(read_n(line, 7), (std::vector<uint8_t>{7, 8}));
  EXPECT_EQ(line.now_us(), 28000u);
  EXPECT_EQ(line.in_flight(), 1u);
}

TEST(VirtualLine, WriteTakesTheLineTimeOfItsBytes) {
  VirtualLine line{zemlot::Options{}};
  const auto f = command(0x01);
  line.sleep_ms(1);
  ASSERT_TRUE(line.write(f.data(), 16));
  EXPECT_EQ(line.now_us(), 1000 + 16 * B);
  ASSERT_EQ(line.frames_written().size(), 1u);
  EXPECT_EQ(line.frames_written()[0], std::vector<uint8_t>(f.begin(), f.end()));
}

TEST(VirtualLine, FailedWriteSendsNothingAndTakesNoTime) {
  VirtualLine line{zemlot::Options{}};
  line.fail_write_at(2);
  const auto act = command(0x01);
  const auto blid = command(0x10);
  EXPECT_TRUE(line.write(act.data(), 16));
  const uint64_t t = line.now_us();
  EXPECT_FALSE(line.write(blid.data(), 16));
  EXPECT_EQ(line.now_us(), t);
  EXPECT_TRUE(line.write(blid.data(), 16));
  EXPECT_EQ(line.frames_written().size(), 2u);
  EXPECT_EQ(line.model().summary().frames, 2u);
}

TEST(VirtualLine, FullExchange) {
  VirtualLine line{zemlot::Options{}};
  const auto f = command(0x01);
  ASSERT_TRUE(line.write(f.data(), 16));
  line.sleep_ms(98 + 21);
  EXPECT_EQ(read_n(line, 7), (std::vector<uint8_t>{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
  EXPECT_EQ(line.pauses(), (std::vector<uint32_t>{119}));
  EXPECT_EQ(line.now_us(), 16 * B + 119000);
}

TEST(VirtualLine, ReplyArrivesAtTheLineRate) {
  zemlot::Options o;
  o.reply_delay_us = 5000;
  VirtualLine line(o);
  const auto f = command(0x01);
  ASSERT_TRUE(line.write(f.data(), 16));
  // Read as the loader does, right after writing: the wait ends with the 7th byte.
  const auto reply = read_n(line, 7);
  ASSERT_EQ(reply.size(), 7u);
  EXPECT_EQ(line.now_us(), 16 * B + 5000 + 7 * B);
}

TEST(VirtualLine, DiscardDropsOnlyWhatHasArrived) {
  VirtualLine line{zemlot::Options{}};
  const auto f = command(0x01);
  ASSERT_TRUE(line.write(f.data(), 16));
  // The reply starts 2 ms after the frame; 3 of its bytes are in after 2 ms + 3 bytes.
  line.sleep_ms(2);
  line.sleep_ms(4);
  line.discard_input();
  EXPECT_EQ(line.discards(), 1u);
  EXPECT_EQ(line.waiting(), 0u);
  const auto rest = read_n(line, 7);
  EXPECT_EQ(rest, (std::vector<uint8_t>{0, 0, 0, 0xFA}));
}

TEST(VirtualLine, SplitReplyArrivesWithItsGap) {
  zemlot::Options o;
  o.faults.split = {{1, {3, 40}}};
  VirtualLine line(o);
  const auto f = command(0x01);
  ASSERT_TRUE(line.write(f.data(), 16));
  const auto first = read_n(line, 7);
  EXPECT_EQ(first.size(), 3u);  // the wait of 28 ms ends inside the gap
  EXPECT_EQ(line.now_us(), 16 * B + 28000);
  EXPECT_EQ(line.in_flight(), 4u);
  // The gap is silence after the first part, not counted from the start of the reply.
  const uint64_t rest_first_byte = 16 * B + 2000 + 3 * B + 40000 + B;
  line.sleep_ms(static_cast<uint32_t>((rest_first_byte - line.now_us()) / 1000));
  EXPECT_EQ(line.waiting(), 0u);
  line.sleep_ms(1);
  EXPECT_EQ(line.waiting(), 1u);
  line.sleep_ms(10);
  const auto rest = read_n(line, 7);
  ASSERT_EQ(rest.size(), 4u);
  std::vector<uint8_t> whole = first;
  whole.insert(whole.end(), rest.begin(), rest.end());
  const auto r = parse_reply(whole);
  EXPECT_EQ(r.code, 0x01);
  EXPECT_TRUE(r.crc_ok);
}

TEST(VirtualLine, NoiseOnTheLineComesBeforeTheReply) {
  zemlot::Options o;
  o.faults.noise = {{1, {0xEE, 0xEE}}};
  VirtualLine line(o);
  const auto f = command(0x01);
  ASSERT_TRUE(line.write(f.data(), 16));
  line.sleep_ms(40);
  EXPECT_EQ(read_n(line, 16), (std::vector<uint8_t>{0xEE, 0xEE, 0x01, 0x01, 0, 0, 0, 0, 0xFA}));
}

TEST(VirtualLine, PortStepsFailOnlyWhenTold) {
  struct Case {
    const char* what;
    void (VirtualLine::*arm)(bool);
    int failing_step;
  };
  const Case cases[] = {
      {"none", nullptr, -1},
      {"open", &VirtualLine::fail_open, 0},
      {"read_settings", &VirtualLine::fail_read_settings, 1},
      {"apply_line_settings", &VirtualLine::fail_apply_line_settings, 2},
      {"apply_timeouts", &VirtualLine::fail_apply_timeouts, 3},
      {"close", &VirtualLine::fail_close, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    VirtualLine line{zemlot::Options{}};
    if (c.arm != nullptr) {
      (line.*c.arm)(true);
    }
    const bool results[] = {line.open("/dev/ttyUSB0"), line.read_settings(),
                            line.apply_line_settings(9600), line.apply_timeouts(), line.close()};
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(results[i], i != c.failing_step) << i;
    }
  }
  VirtualLine line{zemlot::Options{}};
  ASSERT_TRUE(line.open("/dev/ttyS3"));
  ASSERT_TRUE(line.apply_line_settings(9600));
  EXPECT_EQ(line.opened_name(), "/dev/ttyS3");
  EXPECT_EQ(line.baud(), 9600);
  EXPECT_TRUE(line.is_open());
}

TEST(VirtualLine, FailedReadReturnsNothing) {
  VirtualLine line{zemlot::Options{}};
  line.inject_input({1, 2}, 0);
  line.sleep_ms(2);
  line.fail_read_at(1);
  bool ok = true;
  EXPECT_TRUE(read_n(line, 2, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(read_n(line, 2, &ok).size(), 2u);
  EXPECT_TRUE(ok);
}

TEST(VirtualLine, VanishedAdapterFailsReadsAndWrites) {
  zemlot::Options o;
  o.faults.vanish_after = 1;
  VirtualLine line(o);
  const auto act = command(0x01);
  ASSERT_TRUE(line.write(act.data(), 16));
  bool ok = false;
  EXPECT_EQ(read_n(line, 7, &ok).size(), 7u);  // the last reply still gets through
  EXPECT_TRUE(ok);
  EXPECT_TRUE(line.vanished());
  EXPECT_TRUE(read_n(line, 7, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_FALSE(line.write(act.data(), 16));
}

TEST(VirtualLine, ReadWaitingPastTheVanishFails) {
  zemlot::Options o;
  o.faults.vanish_after = 1;
  VirtualLine line(o);
  const auto act = command(0x01);
  ASSERT_TRUE(line.write(act.data(), 16));
  bool ok = true;
  // Asking for more than the reply holds: the wait runs into the moment the line goes.
  EXPECT_TRUE(read_n(line, 16, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(line.now_us(), 16 * B + 2000 + 7 * B);
}

TEST(VirtualLine, WholeDownloadInVirtualTime) {
  zemlot::Options o;
  VirtualLine line(o);
  std::vector<uint8_t> plain(2048);
  for (size_t i = 0; i < plain.size(); ++i) {
    plain[i] = static_cast<uint8_t>(i ^ (i >> 3));
  }
  std::vector<uint8_t> enc = plain;
  korvel::cipher::encipher(korvel::cipher::kDefaultKey, enc.data(), enc.size());
  auto exchange = [&](const zemlot::test::Frame& f) {
    line.discard_input();
    EXPECT_TRUE(line.write(f.data(), 16));
    return parse_reply(read_n(line, 7));
  };
  EXPECT_EQ(exchange(command(0x01)).code, 0x01);
  EXPECT_EQ(exchange(command(0x02)).code, 0x02);
  EXPECT_EQ(exchange(command(0x03, 0x08001000)).code, 0x03);
  EXPECT_EQ(exchange(command(0x03, 0x08001400)).code, 0x03);
  for (uint32_t b = 0; b < 256; ++b) {
    zemlot::test::Data d;
    std::copy_n(enc.begin() + 8 * b, 8, d.begin());
    ASSERT_EQ(exchange(command(0x04, 0x08001000 + 8 * b, d)).code, 0x04);
  }
  const auto crc = exchange(zemlot::test::get_crc(0x08001000, 2048));
  EXPECT_EQ(crc.value, korvel::crc32(plain.data(), 2048));
  // 261 exchanges of 16 + 7 bytes and 2 ms each, nothing else.
  EXPECT_EQ(line.now_us(), 261 * (23 * B + 2000));
  EXPECT_EQ(line.discards(), 261u);
}

}  // namespace
}  // namespace korvel::testing
