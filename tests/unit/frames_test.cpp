// Frames and replies by hand, their CRC-8 worked out apart from the code.
#include "exchange/frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "bytes.h"
#include "process.h"
#include "text/trace.h"
#include "virtual_line.h"

namespace korvel {
namespace {

using testing::Bytes;
using testing::hex;

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

// The framer alone: what bytes heard after a frame are, from the bytes only.
TEST(Framer, JudgesTheBytesHeard) {
  const Bytes frame = hex("01 03 00 00 10 00 08 00 00 00 00 00 00 00 00 4c");
  const Sent sent{frame.data(), CMD_ERASE_PAGE, 1};
  const std::string ok = "01 03 00 00 00 00 79", head = "01 03 00 00 10 00 08";
  struct Case {
    std::string bytes;
    bool echo_open;
    Finding what;
    uint32_t at, need;
  };
  const Case cases[] = {
      {"", true, Finding::None, 0, 7},
      {ok, true, Finding::Reply, 0, 0},
      {"55 " + ok, true, Finding::Reply, 1, 0},
      {"01 03 00", true, Finding::None, 0, 4},  // may be the echo's head or a reply's
      {head, true, Finding::None, 0, 9},        // the echo's head: nine more decide
      {head + " 00 00 00 00 00 00 00 00 4c", true, Finding::Echo, 0, 0},
      {head + " 00 00 00 00 ff 00 00 00 4c", true, Finding::Echo, 0, 0},  // hit on the line
      {head, false, Finding::None, 0, 0},  // seven bytes like the frame: no reply here
      {"01 04 00 00 00 07 ab", true, Finding::None, 0, 0},  // another command's success
      {"01 04 00 00 00 07 ab " + ok, true, Finding::Reply, 7, 0},
      {"01 e7 00 00 00 00 bc", true, Finding::Reply, 0, 0},  // a refusal is an answer
      {"02 03 00 00 00 00 20", true, Finding::None, 0, 0},   // another address
      {"01 03 00 00 00 00 78", true, Finding::None, 0, 0},   // a bad CRC-8
  };
  for (const Case& c : cases) {
    const Bytes b = hex(c.bytes);
    const Judgement j = judge(b.data(), static_cast<uint32_t>(b.size()), c.echo_open, sent);
    EXPECT_EQ(j.what, c.what) << c.bytes;
    EXPECT_EQ(j.at, c.at) << c.bytes;
    EXPECT_EQ(j.need, c.need) << c.bytes;
  }
  // At network number 0 a run of the frame's zero bytes passes for a reply, but only as the
  // first window: further on it is a piece of the frame.
  const Bytes zeros = hex("00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 b2");
  const Sent at0{zeros.data(), CMD_GET_BLID, 0};
  const Bytes garbled = hex("91 00 00 00 00 00 00 00");
  EXPECT_EQ(judge(garbled.data(), 8, false, at0).what, Finding::None);
  EXPECT_EQ(judge(garbled.data() + 1, 7, false, at0).what, Finding::Reply);
}

// A line whose device never answers our frames itself (it has another address): the bytes an
// exchange hears are the test's own, and an erase is the frame every exchange sends.
zemlot::Options at_another_address() {
  zemlot::Options o;
  o.netnum = 9;
  return o;
}
struct Bench {
  testing::VirtualLine line{at_another_address()};
  Exchange x;
  Bench() {
    x.command_tx = CMD_ERASE_PAGE;
    x.adr_tx = 0x08001000u;
  }
};

// The bench's exchange traced to a file of its own.
struct Traced {
  testing::ScratchDir dir;
  Trace trace;
  explicit Traced(Bench& b) {
    std::string why;
    if (!trace.open(dir.file("trace").c_str(), b.line, &why))
      ADD_FAILURE() << why;
    b.x.trace = &trace;
  }
  std::string text() const {
    std::ifstream f(dir.file("trace"));
    return {std::istreambuf_iterator<char>(f), {}};
  }
};

// One exchange on the virtual line: bytes (hex) come in at the given ms after the write, and
// the reply is read as the dialogue reads it, 119 ms after the write. Only bytes of this
// exchange count; a reply cut short is completed; the loader listens on after the read only
// for cause: a reply cut short, silence from a device that has answered before, a device
// heard answering late before, or the caller's own time.
struct Heard1 {
  const char* what;
  std::vector<std::pair<uint32_t, std::string>> in;  // (ms after the write, bytes)
  ReplyStatus status;
  uint8_t code = 0;
  uint64_t by_ms = 147;  // the exchange is over by then, and no sooner than by_ms - 1
  bool found = false;    // a reply was taken earlier in the run
  uint64_t late_ms = 0, min_listen_ms = 0;
  uint64_t fail_ms = 0;  // the port's first read from then on fails
};

void hear_one(const Heard1& c) {
  Bench b;
  auto& [line, x] = b;
  x.line.found = c.found;
  x.line.late_us = c.late_ms * 1000;
  ASSERT_TRUE(send_command(line, x, 1, line));
  const Bytes frame(x.tx_buff.begin(), x.tx_buff.begin() + 16);
  for (const auto& [ms, bytes] : c.in) {
    const std::string b = bytes;
    line.inject_input(b == "echo"    ? frame
                      : b == "echo7" ? Bytes(frame.begin(), frame.begin() + 7)
                                     : hex(b),
                      line.now_us() + ms * 1000ull - (b.starts_with("echo") ? 16000 : 0));
  }
  if (c.fail_ms > 0)
    line.fail_read_from(x.flight.sent_at_us + c.fail_ms * 1000);
  line.sleep_ms(119);
  const Reply r = receive_reply(line, x, line, c.min_listen_ms * 1000);
  const uint64_t took = line.now_us() - x.flight.sent_at_us;
  EXPECT_EQ(r.status, c.status) << c.what;
  EXPECT_EQ(r.code, c.code) << c.what;
  EXPECT_LE(took, c.by_ms * 1000 + 500) << c.what;
  EXPECT_GE(took, c.by_ms * 1000 - 1000) << c.what;
  // A second read brings nothing new, and nothing new is never a reply.
  EXPECT_EQ(receive_reply(line, x, line).status, ReplyStatus::NotAccepted) << c.what;
}

TEST(Hearing, WhatAnExchangeTakes) {
  using enum ReplyStatus;
  const std::string ok = "01 03 00 00 00 00 79", stale = "01 04 00 00 00 07 ab";
  const std::string wrong = "02 03 00 00 00 00 20";
  std::string noise61;
  for (int i = 0; i < 61; ++i)
    noise61 += "55 ";
  const Heard1 cases[] = {
      {"waiting whole", {{20, ok}}, Accepted, 0x03, 119},
      {"cut short by the read", {{116, ok}}, Accepted, 0x03, 122},
      {"a refusal is an answer", {{20, "01 e7 00 00 00 00 bc"}}, Accepted, 0xE7, 119},
      {"a noise byte ahead", {{20, "55 " + ok}}, Accepted, 0x03, 119},
      // The buffer fills as the reply's first bytes come: the oldest noise gives way.
      {"a reply behind more noise than the buffer holds",
       {{20, noise61 + ok}},
       Accepted,
       0x03,
       119},
      {"our own frame's echo, then the reply", {{0, "echo"}, {30, ok}}, Accepted, 0x03, 119},
      // What costs nothing beyond the read: silence while no device has answered, and a whole
      // reply that is none to take, however often.
      {"nothing", {}, NotAccepted, 0, 147},
      {"another command's reply alone", {{20, stale}}, NotAccepted, 0, 119},
      {"a reply from another address", {{20, wrong}}, NotAccepted, 0, 119},
      {"the echo alone", {{0, "echo"}}, NotAccepted, 0, 147},
      {"long after", {{300, ok}}, NotAccepted, 0, 147},
      // Listening for cause.
      {"silence from a device found", {}, NotAccepted, 0, 147 + 25, true},
      {"begun just after the read, device found", {{150, ok}}, Accepted, 0x03, 156, true},
      {"a reply cut short, the rest after the read",
       {{116, "01 03 00"}, {160, "00 00 00 79"}},
       Accepted,
       0x03,
       163},
      {"a reply cut short for good", {{20, "01 03 00"}}, NotAccepted, 0, 147 + 25},
      // The documented read went well: a failing port only ends what the loader added to it.
      {.what = "the port fails while listening",
       .in = {{116, "01 03 00"}, {160, "00 00 00 79"}},
       .status = NotAccepted,
       .by_ms = 162,
       .fail_ms = 162},
      {"the echo cut short is not a reply", {{0, "echo7"}}, NotAccepted, 0, 147},
      {"a device known to be late", {{400, ok}}, Accepted, 0x03, 406, false, 500},
      {"a device known to be late, silent", {}, NotAccepted, 0, 500, false, 500},
      {"the caller's own time", {{400, ok}}, Accepted, 0x03, 406, false, 0, 1500},
      {"the caller's own time, a whole wrong reply",
       {{20, wrong}},
       NotAccepted,
       0,
       119,
       true,
       0,
       1500},
  };
  for (const Heard1& c : cases)
    hear_one(c);
}

// What the line model learns, exchange by exchange: replies that come within the read (prompt)
// teach nothing, whatever they hold; bytes after the read, while frames go unanswered, teach how
// late the device is; a prompt confirmation unlearns it.
TEST(Hearing, LatenessIsLearnedFromArrivalAlone) {
  const std::string ok = "01 03 00 00 00 00 79", wrong = "02 03 00 00 00 00 20";
  const std::string noise = "55 55 55 55 55 55 55 55";
  struct Step {
    std::string bytes;
    uint32_t at_ms;           // after the write
    bool taken;               // a reply is taken
    uint64_t late_ms;         // what the model knows afterwards (ms, rounded down)
    uint64_t took_ms;         // how long the exchange lasted after the write, at most
    bool over_frame = false;  // at_ms after the write began, while the frame is on the wire
  };
  const Step steps[] = {
      {wrong, 20, false, 0, 119},        // prompt and wrong: nothing learned, nothing spent
      {noise, 20, false, 0, 119},        // prompt noise, again
      {"01 03 00", 100, false, 0, 172},  // cut short: listened for, nothing came after
      {"55", 160, false, 0, 147},        // after the read, but no device found: not heard
      {ok, 20, true, 0, 119},            // a prompt confirmation: the device is found
      {"", 0, false, 0, 172},            // silent: listened for, 25 ms after the read
      // Heard after the read: late since the first frame unanswered (172 ms and a write before);
      // listened for 50 ms, since the frame before went unheard.
      {"55 55", 160, false, 172 + 17 + 160, 197},
      // Silence now listens that long after the frame, and beyond it 25 ms and 25 ms more for the
      // frame left unheard before.
      {"", 0, false, 349, 349 + 50},
      {ok, 20, true, 0, 119},  // prompt again: forgotten
      // A confirmation heard only after the read: the device takes that long, then is prompt.
      {ok, 150, true, 157, 158},
      {ok, 20, true, 0, 119},
      {"", 0, false, 0, 172},
      // A whole reply over the next frame, while that one is unanswered: late, not prompt.
      {wrong, 5, false, 172 + 17, 147, true},
      {ok, 20, true, 0, 119},
      // Prompt noise is no answer: its frame is still unanswered when bytes come after the next
      // read, late since then.
      {noise, 20, false, 0, 119},
      {"55 55", 160, false, 119 + 17 + 160, 197},
  };
  Bench b;
  auto& [line, x] = b;
  for (const Step& s : steps) {
    if (s.over_frame)
      line.inject_input(hex(s.bytes), line.now_us() + s.at_ms * 1000ull);
    ASSERT_TRUE(send_command(line, x, 1, line));
    if (!s.bytes.empty() && !s.over_frame)
      line.inject_input(hex(s.bytes), line.now_us() + s.at_ms * 1000ull);
    line.sleep_ms(119);
    const Reply r = receive_reply(line, x, line);
    const uint64_t took = line.now_us() - x.flight.sent_at_us;
    EXPECT_EQ(r.status == ReplyStatus::Accepted, s.taken) << s.bytes << " at " << s.at_ms;
    EXPECT_NEAR(static_cast<double>(x.line.late_us) / 1000, static_cast<double>(s.late_ms), 2)
        << s.bytes << " at " << s.at_ms;
    EXPECT_LE(took, s.took_ms * 1000 + 1000) << s.bytes << " at " << s.at_ms;
  }
}

// Bytes waiting before a frame came after the last exchange ended: they go, however few, and
// the trace says which.
TEST(Hearing, StrayBytesBeforeAFrameGoAndAreTraced) {
  for (const std::string stray : {"55", "55 aa 01"}) {
    Bench b;
    auto& [line, x] = b;
    const Traced traced(b);
    line.inject_input(hex(stray), line.now_us());
    line.sleep_ms(10);  // all of it on the wire
    ASSERT_TRUE(send_command(line, x, 1, line));
    line.sleep_ms(119);
    EXPECT_EQ(receive_reply(line, x, line).status, ReplyStatus::NotAccepted);
    // The same bytes over the next frame, while it is on the wire.
    line.inject_input(hex(stray), line.now_us() + 2000);
    ASSERT_TRUE(send_command(line, x, 1, line));
    line.sleep_ms(119);
    EXPECT_EQ(receive_reply(line, x, line).status, ReplyStatus::NotAccepted);
    const std::string text = traced.text();
    const std::string n = std::to_string(hex(stray).size());
    EXPECT_NE(text.find("discard: " + n + " bytes: " + stray + "\n"), std::string::npos) << text;
    const std::string first = text.substr(0, text.find("-> ", text.find("-> ") + 3));
    EXPECT_EQ(first.find("<- read 0 of 7"), first.rfind("<- read")) << text;  // none of it read
    EXPECT_NE(text.find("<- at the write " + n + " of 64: " + stray + "\n"), std::string::npos)
        << text;
  }
}

// A line full of noise never settles, yet the loader moves on: listening after a read ends 3 s
// after it began, whatever still comes.
TEST(Hearing, ALineFullOfNoiseStillMovesOn) {
  Bench b;
  auto& [line, x] = b;
  x.line.found = true;
  ASSERT_TRUE(send_command(line, x, 1, line));
  for (uint64_t ms = 150; ms < 10000; ms += 10)
    line.inject_input(hex("55"), line.now_us() + ms * 1000);
  line.sleep_ms(119);
  const uint64_t read_at = line.now_us();
  EXPECT_EQ(receive_reply(line, x, line).status, ReplyStatus::NotAccepted);
  EXPECT_GE(line.now_us() - read_at, 28000u + 3000000u);
  EXPECT_LE(line.now_us() - read_at, 28000u + 3000000u + 25000);
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

// After a reply taken following unanswered frames, the next frame waits for a quiet line only
// when bytes kept coming after that reply (a device answering the copies it queued); a device
// that was merely silent gets no wait. A copy that comes while the line is waited on is dropped
// and the wait begins again.
TEST(Hearing, ADrainOnlyOnEvidence) {
  const std::string ok = "01 03 00 00 00 00 79";
  struct Case {
    std::string heard;  // 20 ms after the second frame
    uint32_t copy_ms;   // and one more copy then, when not 0
    uint64_t min_wait_us, max_wait_us;
    const char* drain;  // the drain's trace line from "dropped", when there is one
  };
  const Case cases[] = {
      {ok, 0, 0, 100, nullptr},
      {ok + " " + ok, 0, 25000, 400000, "dropped 0 bytes\n"},
      // The copy ends 288 ms after the reply was taken; then the quiet asked (283 ms).
      {ok + " " + ok, 400, 285000 + 282000, 288000 + 283000 + 20000, "dropped 7 bytes\n"},
  };
  for (const Case& c : cases) {
    Bench b;
    auto& [line, x] = b;
    const Traced traced(b);
    ASSERT_TRUE(send_command(line, x, 1, line));  // unanswered
    line.sleep_ms(119);
    EXPECT_EQ(receive_reply(line, x, line).status, ReplyStatus::NotAccepted);
    ASSERT_TRUE(send_command(line, x, 1, line));
    line.inject_input(hex(c.heard), line.now_us() + 20000);
    if (c.copy_ms > 0)
      line.inject_input(hex(ok), line.now_us() + c.copy_ms * 1000ull);
    line.sleep_ms(119);
    EXPECT_EQ(receive_reply(line, x, line).status, ReplyStatus::Accepted);
    const uint64_t taken_at = line.now_us();
    ASSERT_TRUE(send_command(line, x, 1, line));
    const uint64_t waited = line.write_times().back() - taken_at;
    EXPECT_GE(waited, c.min_wait_us) << c.heard;
    EXPECT_LE(waited, c.max_wait_us) << c.heard;
    const std::string text = traced.text();
    const size_t at = text.find("drain:");
    EXPECT_EQ(at != std::string::npos, c.drain != nullptr) << text;
    if (c.drain != nullptr) {
      EXPECT_EQ(text.substr(text.find("dropped", at), std::strlen(c.drain)), c.drain) << text;
    }
  }
}

}  // namespace
}  // namespace korvel
