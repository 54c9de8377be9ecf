// The line between the loader and the device's model, in exact virtual time: pacing, half duplex,
// echo, a busy device, the adapter's latency, jitter, byte errors; and the device's own refusal.
#include "wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "bytes.h"
#include "wire/crc8.h"
#include "wire/endian.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace zemlot {
namespace {

using korvel::CMD_ACTIVATE, korvel::CMD_GET_BLID;
using korvel::testing::Bytes;
using korvel::testing::command_frame;
using korvel::testing::hex;

Bytes received(Wire& w, uint64_t by) {
  Bytes b(w.available(by));
  w.take(b.data(), b.size(), by);
  return b;
}

std::string trace(Wire& w) {
  std::string all;
  for (const auto& t : w.model().take_trace())
    all += t + "\n";
  return all;
}

const Bytes kActivate = command_frame(CMD_ACTIVATE);
const std::string kFrame = "01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 ac ";  // as echoed

// The activate frame leaves the line at 16.667 ms; its reply 01 01 00 00 00 00 fa starts 2 ms
// later, byte i over [18667 + T(i), 18667 + T(i + 1)). A loader byte 81 sent into it garbles
// both: the loader reads 01 ^ 81 = 80, the device (and the echo) 81 ^ 81 = 00.
TEST(Wire, BytesSentIntoTheReplyGarbleBothSides) {
  const struct {
    uint64_t at;
    bool echo;
    std::string got, collision;
  } rows[] = {
      {18667, false, "80 01 00 00 00 00 fa", "loader bytes 0-0 and device bytes 0-0"},
      {18668, false, "80 80 00 00 00 00 fa", "loader bytes 0-0 and device bytes 0-1"},
      {17625, false, "01 01 00 00 00 00 fa", ""},  // ends as the reply starts
      {18667, true, kFrame + "80 00 01 00 00 00 00 fa", "device bytes 0-0"},
      {30000, true, kFrame + "01 01 00 00 00 00 fa 81", ""},
  };
  for (const auto& r : rows) {
    Wire w({.trace = true});
    w.set_echo(r.echo);
    EXPECT_EQ(w.host_write(kActivate.data(), 16, 0), 16667u);
    const uint8_t b = 0x81;
    w.host_write(&b, 1, r.at);
    EXPECT_EQ(received(w, 40000), hex(r.got)) << r.at;
    const std::string t = trace(w);
    EXPECT_EQ(t.find("!! collision: ") != std::string::npos, !r.collision.empty()) << t;
    EXPECT_TRUE(r.collision.empty() || t.find(r.collision + " garbled\n") != std::string::npos);
  }
}

// Activate takes 50 ms of work: its reply starts at 68.667 ms, after its last byte came in.
// A blid frame written at 10 ms follows the first on the line and comes while the device works;
// another at 100 ms finds it free.
TEST(Wire, ABusyDeviceLosesGarblesOrQueuesWhatComesMeanwhile) {
  const struct {
    Busy busy;
    bool withheld;  // the activate reply withheld: busy all the same till its work is done
    size_t replies;
    uint32_t frames, bad_crc;
    const char* line;
  } rows[] = {
      {Busy::Lost, false, 2, 2, 0, "-> lost (device busy): 01 10 00"},
      {Busy::Lost, true, 1, 2, 0, "-> lost (device busy): 01 10 00"},
      {Busy::Garbled, false, 2, 3, 1, "-> garbled (device busy): 01 10 00"},
      {Busy::Queued, false, 3, 3, 0, "#2 CMD_GET_BLID"},
  };
  for (const auto& r : rows) {
    Options o{.work_ms = {{CMD_ACTIVATE, 50}}, .busy = r.busy, .trace = true};
    if (r.withheld)
      o.faults.drop_reply = {1};
    Wire w(o);
    w.host_write(kActivate.data(), 16, 0);
    EXPECT_EQ(w.host_write(command_frame(CMD_GET_BLID).data(), 16, 10000), 2 * 16667u);
    EXPECT_EQ(w.available(68667 + 1041), 0u);
    EXPECT_EQ(w.available(68667 + 1042), r.withheld ? 0u : 1u);
    w.host_write(command_frame(CMD_GET_BLID).data(), 16, 100000);
    const Bytes got = received(w, 200000);
    ASSERT_EQ(got.size(), 7 * r.replies);
    EXPECT_EQ(Bytes(got.end() - 7, got.end()), hex("01 10 00 00 00 02 f7"));
    const Summary s = w.model().summary();
    EXPECT_EQ(std::pair(s.frames, s.bad_crc), std::pair(r.frames, r.bad_crc));
    EXPECT_NE(trace(w).find(r.line), std::string::npos) << r.line;
  }
}

// A device that works after its reply (--busy-after-reply) does so only for a command it carried
// out: after the activation's reply (out by 25.959 ms) it loses a frame at 30 ms for 50 ms more,
// but not after a refusal.
TEST(Wire, BusyAfterAReplyOnlyForACommandCarriedOut) {
  for (const bool refused : {false, true}) {
    Options o{.busy_after_reply_ms = {{CMD_ACTIVATE, 50}}};
    if (refused)
      o.faults.refuse = {{CMD_ACTIVATE, 1, 0xE7}};
    Wire w(o);
    w.host_write(kActivate.data(), 16, 0);
    w.host_write(command_frame(CMD_GET_BLID).data(), 16, 30000);
    received(w, 200000);
    EXPECT_EQ(w.model().summary().accepted, refused ? 2u : 1u) << refused;
  }
}

// The reply's bytes reach the adapter from 19.709 to 25.959 ms; it hands them over on its grid.
// A discard drops only what it has handed over.
TEST(Wire, TheAdapterHandsBytesOverOnItsLatencyGrid) {
  const struct {
    uint32_t latency_ms;
    uint64_t discard_at, at;
    size_t available;
  } rows[] = {
      {0, 0, 19708, 0},  {0, 0, 19709, 1},      {0, 0, 25959, 7},
      {16, 0, 31999, 0}, {16, 0, 32000, 7},     {1, 0, 25999, 6},
      {1, 0, 26000, 7},  {16, 31999, 32000, 7}, {0, 31999, 32000, 0},
  };
  for (const auto& r : rows) {
    Wire w({.line = {.latency_ms = r.latency_ms}});
    w.host_write(kActivate.data(), 16, 0);
    if (r.discard_at)
      w.discard(r.discard_at);
    EXPECT_EQ(w.available(r.at), r.available) << r.latency_ms << " ms at " << r.at;
  }
  Wire w({.line = {.latency_ms = 16}});
  w.host_write(kActivate.data(), 16, 0);
  EXPECT_EQ(w.next_event_after(25959), 32000u);
  // Handed over and not taken: due now, whenever the clock was last read.
  EXPECT_EQ(w.next_event_after(32001), 32001u);
  uint8_t got[16];
  EXPECT_EQ(w.take(got, sizeof got, 32001), 7u);
  EXPECT_EQ(w.next_event_after(32001), std::nullopt);
}

// Reply delay 2 ms, jitter 5 ms: the reply starts 0 to 7 ms after the frame, whole ms.
TEST(Model, JitterStaysWithinItsRangeAndFollowsTheSeed) {
  auto offsets = [](uint64_t seed, uint32_t jitter) {
    Model m({.busy = Busy::Queued, .jitter_ms = jitter, .seed = seed});
    std::vector<uint64_t> v;
    for (uint64_t t = 0; t < 300 * 100000; t += 100000) {
      m.on_bytes(kActivate.data(), 16, t);
      v.push_back(m.take_output().at(0).at_us - t);
    }
    return v;
  };
  const auto v = offsets(1, 5);
  EXPECT_EQ(v, offsets(1, 5));
  EXPECT_NE(v, offsets(2, 5));
  EXPECT_EQ(offsets(1, 0), std::vector<uint64_t>(300, 2000));
  EXPECT_EQ(*std::ranges::min_element(v), 0u);
  EXPECT_EQ(*std::ranges::max_element(v), 7000u);
  EXPECT_TRUE(std::ranges::all_of(v, [](uint64_t d) { return d % 1000 == 0; }));
}

// One byte in 50 hit, one bit each, the same bytes for the same seed: the echo shows them.
TEST(Wire, ByteErrorsComeAtTheirRateAndFollowTheSeed) {
  auto echo = [](uint64_t seed) {
    Wire w({.seed = seed, .line = {.echo = true, .byte_errors = 50}});
    const Bytes zeros(20000, 0);
    w.host_write(zeros.data(), zeros.size(), 0);
    return received(w, 30'000'000);
  };
  const Bytes got = echo(1);
  ASSERT_EQ(got.size(), 20000u);
  const auto hit = std::ranges::count_if(got, [](uint8_t b) { return b != 0; });
  EXPECT_TRUE(hit > 300 && hit < 500) << hit;  // 400 expected, 20 the standard deviation
  EXPECT_TRUE(std::ranges::all_of(got, [](uint8_t b) { return std::popcount(b) <= 1; }));
  EXPECT_EQ(got, echo(1));
  EXPECT_NE(got, echo(2));
}

// Erases and blocks go only where the application lives, a block only into a page erased since
// the last unlock; the summary tells the device's own refusals from forced ones.
TEST(Model, WritesOnlyIntoPagesErasedSinceTheUnlock) {
  using namespace korvel;
  const struct {
    uint8_t code;
    uint32_t arg;
    uint8_t reply;
  } rows[] = {
      {CMD_ACTIVATE, 0, CMD_ACTIVATE},
      {CMD_WRITE_BLOCK, APP_START, kErrLocked},
      {CMD_UNBLOCK_FLASH, 0, CMD_UNBLOCK_FLASH},
      {CMD_WRITE_BLOCK, APP_START, kErrNotErased},
      {CMD_ERASE_PAGE, APP_START, CMD_ERASE_PAGE},
      // The bootloader's pages, the end of the flash and a page's middle are no page to erase,
      // and a block goes only into the application area, 8-byte aligned.
      {CMD_ERASE_PAGE, APP_START - 1024, kErrAddress},
      {CMD_ERASE_PAGE, kFlashEnd, kErrAddress},
      {CMD_ERASE_PAGE, APP_START + 8, kErrAddress},
      {CMD_ERASE_PAGE, kFlashEnd - 1024, CMD_ERASE_PAGE},
      {CMD_WRITE_BLOCK, kFlashEnd - 8, CMD_WRITE_BLOCK},
      {CMD_WRITE_BLOCK, kFlashEnd, kErrAddress},
      {CMD_WRITE_BLOCK, APP_START + 4, kErrAddress},
      {CMD_WRITE_BLOCK, APP_START + 1016, CMD_WRITE_BLOCK},
      {CMD_WRITE_BLOCK, APP_START + 1016, kErrNotBlank},  // flash that refuses a rewrite
      {CMD_WRITE_BLOCK, APP_START + 1024, kErrNotErased},
      {CMD_GET_CRC, FLASH_BASE, CMD_GET_CRC},  // the whole flash may be summed
      {CMD_UNBLOCK_FLASH, 0, 0xE7},
      {CMD_UNBLOCK_FLASH, 0, CMD_UNBLOCK_FLASH},
      {CMD_WRITE_BLOCK, APP_START, kErrNotErased},
  };
  // Erasing takes 30 ms of work; a refusal comes after the 2 ms turnaround alone.
  Model m({.work_ms = {{korvel::CMD_ERASE_PAGE, 30}},
           .busy = Busy::Queued,
           .faults = {.refuse = {{CMD_UNBLOCK_FLASH, 2, 0xE7}}}});
  uint64_t t = 0;
  for (const auto& r : rows) {
    m.on_bytes(command_frame(r.code, r.arg).data(), 16, t += 100000);
    const Chunk reply = m.take_output().at(0);
    EXPECT_EQ(reply.bytes.at(1), r.reply) << int{r.code} << " " << r.arg;
    EXPECT_EQ(reply.at_us - t, r.reply == korvel::CMD_ERASE_PAGE ? 32000u : 2000u) << r.arg;
  }
  EXPECT_NE(format_summary(m.summary()).find("\nrefused: 11 (own 10)\nreplies dropped: 0\n"),
            std::string::npos);
  EXPECT_NE(format_summary(m.summary()).find("\nrewrites refused: 1\n"), std::string::npos);
  EXPECT_EQ(std::string(error_name(kErrNotErased)), "page not erased");
}

}  // namespace
}  // namespace zemlot
