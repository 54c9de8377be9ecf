#include "virtual_line.h"

#include <gtest/gtest.h>

#include <tuple>

#include "frames.h"

namespace korvel::testing {
namespace {

using namespace zemlot::test;

constexpr uint64_t B = VirtualLine::kByteUs;
const auto kAct = command(0x01);

Bytes read_n(VirtualLine& line, uint32_t n, bool* ok = nullptr) {
  Bytes buf(n);
  uint32_t got = 99;
  const bool r = line.read(buf.data(), n, &got);
  if (ok != nullptr)
    *ok = r;
  buf.resize(got);
  return buf;
}

// Reads from 3 ms on, with a late byte at 200 ms that no wait may reach: waiting bytes come
// back at once, else the wait ends with the nth byte or after 21 + n ms.
TEST(VirtualLine, ReadContract) {
  // n; bytes and the first one's arrival, the others a byte time apart; what comes back,
  // when, and how many bytes are then still on their way.
  const std::tuple<uint32_t, Bytes, uint64_t, Bytes, uint64_t, size_t> cases[] = {
      {2, {1, 2, 3}, 0, {1, 2}, 3000, 1},
      {16, {1, 2, 3}, 0, {1, 2, 3}, 3000, 1},
      {1, {}, 0, {}, 3000 + 22000, 1},
      {7, {}, 0, {}, 3000 + 28000, 1},
      {64, {}, 0, {}, 3000 + 85000, 1},
      {3, {7, 8, 9, 10}, 5000, {7, 8, 9}, 5000 + 2 * B, 2},
      {7, {7, 8}, 5000, {7, 8}, 3000 + 28000, 1},
  };
  for (const auto& [n, in, in_at, got, ends, in_flight] : cases) {
    SCOPED_TRACE(::testing::Message() << n << " asked, " << in.size() << " coming");
    VirtualLine line{zemlot::Options{}};
    line.inject_input(in, in_at);
    line.inject_input({0xEE}, 200000);
    line.sleep_ms(3);
    bool ok = false;
    EXPECT_EQ(read_n(line, n, &ok), got);
    EXPECT_TRUE(ok);
    EXPECT_EQ(line.now_us(), ends);
    EXPECT_EQ(line.in_flight(), in_flight);
  }
}

// A reply split in two: its gap is silence after the first part.
TEST(VirtualLine, WriteAndReplyTakeTheirLineTime) {
  zemlot::Options o;
  o.reply_delay_us = 5000;
  o.faults.split = {{1, {3, 40}}};
  VirtualLine line(o);
  ASSERT_TRUE(line.write(kAct.data(), 16));
  EXPECT_EQ(line.now_us(), 16 * B);
  EXPECT_EQ(line.frames_written(), (std::vector<Bytes>{Bytes(kAct.begin(), kAct.end())}));
  EXPECT_EQ(read_n(line, 7), (Bytes{0x01, 0x01, 0}));  // the wait of 28 ms ends in the gap
  EXPECT_EQ(line.now_us(), 16 * B + 28000);
  EXPECT_EQ(read_n(line, 4), (Bytes{0, 0, 0, 0xFA}));
  EXPECT_EQ(line.now_us(), 16 * B + 5000 + 3 * B + 40000 + 4 * B);
}

TEST(VirtualLine, DiscardAndFailuresTouchOnlyWhatTheySay) {
  VirtualLine line{zemlot::Options{}};
  line.fail_write_at(2);
  line.fail_read_at(1);
  ASSERT_TRUE(line.write(kAct.data(), 16));
  // The reply starts 2 ms after the frame: 3 of its bytes are in 4 ms later.
  line.sleep_ms(6);
  line.discard_input();
  EXPECT_EQ(line.discards(), 1u);
  const uint64_t t = line.now_us();
  bool ok = true;
  EXPECT_FALSE(line.write(kAct.data(), 16));  // sends nothing, takes no time
  EXPECT_TRUE(read_n(line, 7, &ok).empty() && !ok);
  EXPECT_EQ(line.now_us(), t);
  EXPECT_EQ(line.model().summary().frames, 1u);
  EXPECT_EQ(read_n(line, 7), (Bytes{0, 0, 0, 0xFA}));
}

TEST(VirtualLine, VanishedAdapterFailsReadsAndWrites) {
  zemlot::Options o;
  o.faults.vanish_after = 1;
  o.faults.drop_reply = {1};  // a withheld reply does not count
  VirtualLine line(o);
  ASSERT_TRUE(line.write(kAct.data(), 16));
  ASSERT_TRUE(line.write(kAct.data(), 16));
  bool ok = true;
  // A wait for more than the reply runs into the moment the line goes, and ends there.
  EXPECT_TRUE(read_n(line, 16, &ok).empty() && !ok);
  EXPECT_EQ(line.now_us(), 32 * B + 2000 + 7 * B);
  EXPECT_TRUE(line.vanished());
  EXPECT_TRUE(read_n(line, 7, &ok).size() == 7 && ok);  // the last reply still gets through
  EXPECT_TRUE(read_n(line, 7, &ok).empty() && !ok);
  EXPECT_FALSE(line.write(kAct.data(), 16));
}

}  // namespace
}  // namespace korvel::testing
