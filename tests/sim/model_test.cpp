#include "model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frames.h"
#include "lib/crc32.h"
#include "stand_in_cipher.h"

namespace zemlot {
namespace {

using test::command;
using test::Data;
using test::Frame;
using test::parse_reply;
using test::Reply;

constexpr uint8_t ACT = 0x01, UNBLOCK = 0x02, ERASE = 0x03, WRITE = 0x04, CRC = 0x05, GOTO = 0x06,
                  BLID = 0x10, KEYID = 0x11;

// The model with a clock that moves on 50 ms per frame, so that replies never overlap.
struct Device {
  explicit Device(Options o = {}) : m(std::move(o)) {}

  std::vector<Chunk> send(const Frame& f) {
    m.on_bytes(f.data(), f.size(), t);
    last_sent_at = t;
    t += 50000;
    return m.take_output();
  }
  // One frame, one plain reply; reports it sent.
  Reply ask(const Frame& f) {
    auto out = send(f);
    EXPECT_EQ(out.size(), 1u);
    if (out.size() != 1) {
      return {};
    }
    m.chunk_sent(out[0], out[0].at_us);
    Reply r = parse_reply(out[0].bytes);
    EXPECT_TRUE(r.crc_ok);
    return r;
  }
  void ready() {
    ASSERT_EQ(ask(command(ACT)).code, ACT);
    ASSERT_EQ(ask(command(UNBLOCK)).code, UNBLOCK);
  }
  const uint8_t* at(uint32_t address) const { return m.flash().data() + (address - 0x08000000u); }

  Model m;
  uint64_t t = 1'000'000;
  uint64_t last_sent_at = 0;
};

Data bytes8(uint8_t first) {
  Data d;
  for (int i = 0; i < 8; ++i) {
    d[i] = static_cast<uint8_t>(first + i);
  }
  return d;
}

Data enciphered(Data plain, const korvel::cipher::Key& key = korvel::cipher::kDefaultKey) {
  korvel::cipher::encipher_block(key, plain.data());
  return plain;
}

TEST(Model, ActivateFrameAndReplyOnTheWire) {
  Device d;
  const Frame activate = {0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAC};
  auto out = d.send(activate);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, (std::vector<uint8_t>{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
  EXPECT_EQ(out[0].at_us, d.last_sent_at + 2000);
  EXPECT_TRUE(out[0].reply_end);
  EXPECT_EQ(out[0].frame, 1u);
}

TEST(Model, ValueGoesMostSignificantByteFirst) {
  Options o;
  o.bootloader_version = 0x0A0B0C0D;
  Device d(o);
  d.ask(command(ACT));
  auto out = d.send(command(BLID));
  ASSERT_EQ(out.size(), 1u);
  const std::vector<uint8_t> head(out[0].bytes.begin(), out[0].bytes.begin() + 6);
  EXPECT_EQ(head, (std::vector<uint8_t>{0x01, 0x10, 0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(Model, AnswersOfEveryCommand) {
  std::vector<uint8_t> erased(1024, 0xFF);
  const uint32_t erased_crc = korvel::crc32(erased.data(), 1024);
  struct Case {
    const char* what;
    Frame frame;
    uint8_t code;
    uint32_t value;
  };
  const Case cases[] = {
      {"blid", command(BLID), BLID, 0xA1B2C3D4},
      {"keyid", command(KEYID), KEYID, 0x37},
      {"unblock again", command(UNBLOCK), UNBLOCK, 0},
      {"erase first app page", command(ERASE, 0x08001000), ERASE, 0},
      {"erase last page", command(ERASE, 0x0800FC00), ERASE, 0},
      {"erase bootloader page 3", command(ERASE, 0x08000C00), kErrAddress, 0},
      {"erase page 0", command(ERASE, 0x08000000), kErrAddress, 0},
      {"erase misaligned", command(ERASE, 0x08001200), kErrAddress, 0},
      {"erase past flash", command(ERASE, 0x08010000), kErrAddress, 0},
      {"erase below flash", command(ERASE, 0x07FFFC00), kErrAddress, 0},
      {"write first block", command(WRITE, 0x08001000), WRITE, 0},
      {"write last block", command(WRITE, 0x0800FFF8), WRITE, 0},
      {"write misaligned", command(WRITE, 0x08001004), kErrAddress, 0},
      {"write into bootloader", command(WRITE, 0x08000FF8), kErrAddress, 0},
      {"write past flash", command(WRITE, 0x08010000), kErrAddress, 0},
      {"crc of a page", test::get_crc(0x08001000, 1024), CRC, erased_crc},
      {"crc of nothing", test::get_crc(0x08001000, 0), CRC, 0},
      {"crc of whole flash", test::get_crc(0x08000000, 65536), CRC,
       korvel::crc32(std::vector<uint8_t>(65536, 0xFF).data(), 65536)},
      {"crc one past the end", test::get_crc(0x08000001, 65536), kErrCrcRange, 0},
      {"crc across the end", test::get_crc(0x0800FFFF, 2), kErrCrcRange, 0},
      {"crc below flash", test::get_crc(0x07FFFFFF, 1), kErrCrcRange, 0},
      {"crc huge size", test::get_crc(0x08001000, 0xFFFFFFFF), kErrCrcRange, 0},
      {"goto", command(GOTO), GOTO, 0},
      {"unknown", command(0x42), kErrUnknownCommand, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Options o;
    o.bootloader_version = 0xA1B2C3D4;
    o.key_version = 7;
    Device d(o);
    d.ready();
    const Reply r = d.ask(c.frame);
    EXPECT_EQ(r.addr, 1);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.value, c.value);
  }
}

TEST(Model, EverythingButActivateIsRefusedBeforeActivation) {
  const uint8_t codes[] = {UNBLOCK, ERASE, WRITE, CRC, GOTO, BLID, KEYID, 0x42};
  for (uint8_t code : codes) {
    SCOPED_TRACE(code);
    Device d;
    const uint32_t arg = code == ERASE || code == WRITE || code == CRC ? 0x08001000 : 0;
    EXPECT_EQ(d.ask(command(code, arg, Data{})).code, kErrNotActivated);
    // A refused unblock must not unlock: after activation, erasing is still locked.
    EXPECT_EQ(d.ask(command(ACT)).code, ACT);
    EXPECT_EQ(d.ask(command(ERASE, 0x08001000)).code, kErrLocked);
    EXPECT_FALSE(d.m.summary().app_started);
  }
}

TEST(Model, FlashIsLockedUntilUnblocked) {
  Device d;
  d.ask(command(ACT));
  EXPECT_EQ(d.ask(command(WRITE, 0x08001000, enciphered(Data{}))).code, kErrLocked);
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)).code, kErrLocked);
  EXPECT_EQ(d.at(0x08001000)[0], 0xFF);
  EXPECT_EQ(d.ask(command(UNBLOCK)).code, UNBLOCK);
  EXPECT_EQ(d.ask(command(WRITE, 0x08001000, enciphered(Data{}))).code, WRITE);
  EXPECT_EQ(d.at(0x08001000)[0], 0x00);
  const Summary s = d.m.summary();
  EXPECT_EQ(s.refused, 2u);
  EXPECT_EQ(s.blocks_written, 1u);
}

TEST(Model, WrittenImageChecksToTheCrcOfThePlainImage) {
  // A key other than the default, so that a model deciphering with the wrong key fails.
  const auto key = *korvel::cipher::parse_key("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
  std::vector<uint8_t> plain(3000);
  for (size_t i = 0; i < plain.size(); ++i) {
    plain[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  }
  std::vector<uint8_t> cipher = plain;
  korvel::cipher::encipher(key, cipher.data(), cipher.size());

  Options o;
  o.key = key;
  Device d(o);
  d.ready();
  for (uint32_t page = 0; page < 3; ++page) {
    ASSERT_EQ(d.ask(command(ERASE, 0x08001000 + 1024 * page)).code, ERASE);
  }
  for (uint32_t b = 0; b < plain.size() / 8; ++b) {
    Data block;
    std::memcpy(block.data(), cipher.data() + 8 * b, 8);
    ASSERT_EQ(d.ask(command(WRITE, 0x08001000 + 8 * b, block)).code, WRITE);
  }
  const Reply r = d.ask(test::get_crc(0x08001000, 3000));
  EXPECT_EQ(r.code, CRC);
  EXPECT_EQ(r.value, korvel::crc32(plain.data(), 3000));
  EXPECT_EQ(0, std::memcmp(d.at(0x08001000), plain.data(), plain.size()));
  EXPECT_EQ(d.at(0x08001000)[3000], 0xFF);
}

TEST(Model, WritingOverUnerasedFlashKeepsItsZeros) {
  Device d;
  d.ready();
  const Data a = {0xF0, 0x0F, 0xFF, 0x00, 0xAA, 0x55, 0x81, 0x7E};
  const Data b = {0x3C, 0x3C, 0x0F, 0xFF, 0xFF, 0x00, 0x18, 0xE7};
  d.ask(command(WRITE, 0x08002008, enciphered(a)));
  d.ask(command(WRITE, 0x08002008, enciphered(b)));
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(d.at(0x08002008)[i], a[i] & b[i]) << i;
  }
  d.ask(command(ERASE, 0x08002000));
  d.ask(command(WRITE, 0x08002008, enciphered(b)));
  EXPECT_EQ(0, std::memcmp(d.at(0x08002008), b.data(), 8));
  const Summary s = d.m.summary();
  EXPECT_EQ(s.blocks_written, 3u);
  EXPECT_EQ(s.erase_operations, 1u);
}

TEST(Model, ForcedRefusalHitsOnlyTheNthFrameOfItsCode) {
  Options o;
  o.faults.refuse.push_back({ERASE, 2, 0xE7});
  Device d(o);
  d.ready();
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)).code, ERASE);
  d.ask(command(WRITE, 0x08001000, enciphered(Data{})));
  // The second erase is refused and so must leave the written block alone.
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)).code, 0xE7);
  EXPECT_EQ(d.at(0x08001000)[0], 0x00);
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)).code, ERASE);
  EXPECT_EQ(d.at(0x08001000)[0], 0xFF);
  const Summary s = d.m.summary();
  EXPECT_EQ(s.by_code.at(ERASE), 3u);
  EXPECT_EQ(s.erase_operations, 2u);
  EXPECT_EQ(s.refused, 1u);
}

TEST(Model, ForcedRefusalOfActivateLeavesTheDeviceInactive) {
  Options o;
  o.faults.refuse.push_back({ACT, 1, 0xE9});
  Device d(o);
  EXPECT_EQ(d.ask(command(ACT)).code, 0xE9);
  EXPECT_EQ(d.ask(command(BLID)).code, kErrNotActivated);
  EXPECT_EQ(d.ask(command(ACT)).code, ACT);
  EXPECT_EQ(d.ask(command(BLID)).code, BLID);
}

TEST(Model, DroppedReplyStillTakesEffect) {
  Options o;
  o.faults.drop_reply = {1};
  Device d(o);
  EXPECT_TRUE(d.send(command(ACT)).empty());
  EXPECT_EQ(d.ask(command(BLID)).code, BLID);
  EXPECT_EQ(d.m.summary().replies_dropped, 1u);
}

TEST(Model, DelayedReplyComesThatMuchLater) {
  Options o;
  o.faults.delay_ms = {{2, 150}};
  o.reply_delay_us = 3000;
  Device d(o);
  auto first = d.send(command(ACT));
  auto second = d.send(command(BLID));
  auto third = d.send(command(BLID));
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(first[0].at_us, 1'000'000u + 3000);
  EXPECT_EQ(second[0].at_us, 1'050'000u + 3000 + 150'000);
  EXPECT_EQ(third[0].at_us, 1'100'000u + 3000);
}

TEST(Model, WrongAddressReplyCarriesAValidCrc) {
  Options o;
  o.netnum = 0x1FF;  // the low byte is the address: 0xFF, so the wrong one wraps to 0x00
  o.faults.wrong_address = {2};
  Device d(o);
  EXPECT_EQ(d.ask(command(ACT, 0, {}, 0xFF)).addr, 0xFF);
  const Reply r = d.ask(command(BLID, 0, {}, 0xFF));
  EXPECT_EQ(r.addr, 0x00);
  EXPECT_EQ(r.code, BLID);
  EXPECT_TRUE(r.crc_ok);
}

TEST(Model, NoiseGoesOutJustBeforeTheReply) {
  Options o;
  o.faults.noise = {{1, {0xAA, 0x55, 0x00}}};
  Device d(o);
  auto out = d.send(command(ACT));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes, (std::vector<uint8_t>{0xAA, 0x55, 0x00}));
  EXPECT_FALSE(out[0].reply_end);
  EXPECT_EQ(parse_reply(out[1].bytes).code, ACT);
  EXPECT_TRUE(out[1].reply_end);
  EXPECT_EQ(out[0].at_us, out[1].at_us);
}

TEST(Model, SplitReplyHasTwoPartsWithAGap) {
  Options o;
  o.faults.split = {{1, {3, 40}}};
  Device d(o);
  auto out = d.send(command(ACT));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes.size(), 3u);
  EXPECT_FALSE(out[0].reply_end);
  EXPECT_EQ(out[1].min_gap_us, 40000u);
  EXPECT_TRUE(out[1].reply_end);
  std::vector<uint8_t> whole = out[0].bytes;
  whole.insert(whole.end(), out[1].bytes.begin(), out[1].bytes.end());
  EXPECT_EQ(whole, (std::vector<uint8_t>{0x01, 0x01, 0, 0, 0, 0, 0xFA}));
}

TEST(Model, SilentFramesHaveNoEffectAndNoNumber) {
  Options o;
  o.faults.silent_first = 2;
  o.faults.wrong_address = {1};  // marks which frame gets number 1
  Device d(o);
  Frame bad = command(ACT);
  bad[15] ^= 1;
  EXPECT_TRUE(d.send(bad).empty());  // not counted towards the silence
  EXPECT_TRUE(d.send(command(ACT)).empty());
  EXPECT_TRUE(d.send(command(ACT)).empty());
  const Reply r = d.ask(command(BLID));
  EXPECT_EQ(r.code, kErrNotActivated);
  EXPECT_EQ(r.addr, 2);
  const Summary s = d.m.summary();
  EXPECT_EQ(s.frames, 4u);
  EXPECT_EQ(s.silent, 2u);
  EXPECT_EQ(s.bad_crc, 1u);
  EXPECT_EQ(s.accepted, 1u);
}

TEST(Model, CrcAnswerOverridesOnlyASuccessfulGetCrc) {
  Options o;
  o.faults.crc_answer = 0xDEADBEEF;
  Device d(o);
  d.ask(command(ACT));
  EXPECT_EQ(d.ask(test::get_crc(0x08001000, 64)).value, 0xDEADBEEFu);
  const Reply refused = d.ask(test::get_crc(0x0800FFF0, 64));
  EXPECT_EQ(refused.code, kErrCrcRange);
  EXPECT_EQ(refused.value, 0u);
}

TEST(Model, VanishesAfterTheGivenNumberOfRepliesAreSent) {
  Options o;
  o.faults.vanish_after = 2;
  o.faults.drop_reply = {2};  // a withheld reply is not an answer
  Device d(o);
  d.ask(command(ACT));
  EXPECT_TRUE(d.send(command(BLID)).empty());
  EXPECT_FALSE(d.m.want_vanish());
  auto out = d.send(command(KEYID));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(d.m.want_vanish());  // not before the reply is out
  d.m.chunk_sent(out[0], out[0].at_us + 7300);
  EXPECT_TRUE(d.m.want_vanish());
  EXPECT_TRUE(d.send(command(BLID)).empty());
  EXPECT_EQ(d.m.summary().frames, 3u);
}

TEST(Model, WantsExitOnceTheGotoReplyIsOut) {
  Device d;
  EXPECT_EQ(d.ask(command(GOTO)).code, kErrNotActivated);
  EXPECT_FALSE(d.m.want_exit());
  d.ask(command(ACT));
  auto out = d.send(command(GOTO));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(d.m.summary().app_started);
  EXPECT_FALSE(d.m.want_exit());
  d.m.chunk_sent(out[0], out[0].at_us);
  EXPECT_TRUE(d.m.want_exit());

  Options o;
  o.faults.drop_reply = {2};
  Device dropped(o);
  dropped.ask(command(ACT));
  EXPECT_TRUE(dropped.send(command(GOTO)).empty());
  EXPECT_TRUE(dropped.m.want_exit());
}

TEST(Model, FramesAreSplitByTime) {
  struct Case {
    const char* what;
    uint64_t gap_us;  // silence after the first 8 bytes
    bool answered;
  };
  const Case cases[] = {
      {"no gap", 0, true},
      {"gap of exactly 10 ms", 10000, true},
      {"gap just over 10 ms", 10001, false},
      {"long gap", 500000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Model m{Options{}};
    const Frame f = command(ACT);
    m.on_bytes(f.data(), 8, 0);
    m.on_bytes(f.data() + 8, 8, c.gap_us);
    const auto out = m.take_output();
    EXPECT_EQ(out.size(), c.answered ? 1u : 0u);
    EXPECT_EQ(m.summary().partial_dropped, c.answered ? 0u : 1u);
    // The tail left behind is itself a partial frame; a whole frame after a pause still works.
    m.on_bytes(f.data(), f.size(), c.gap_us + 20000);
    const auto next = m.take_output();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(parse_reply(next[0].bytes).code, ACT);
  }
}

TEST(Model, IgnoresBadCrcAndOtherAddresses) {
  Options o;
  o.netnum = 0x1234;  // only the low byte is the address
  Model m(o);
  Frame bad_crc = command(ACT, 0, {}, 0x34);
  bad_crc[15] ^= 0x80;
  const Frame other = command(ACT, 0, {}, 0x35);
  const Frame high_byte = command(ACT, 0, {}, 0x12);
  const Frame good = command(ACT, 0, {}, 0x34);
  uint64_t t = 0;
  for (const Frame* f : std::initializer_list<const Frame*>{&bad_crc, &other, &high_byte, &good}) {
    m.on_bytes(f->data(), f->size(), t += 100000);
  }
  const auto out = m.take_output();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes[0], 0x34);
  const Summary s = m.summary();
  EXPECT_EQ(s.frames, 4u);
  EXPECT_EQ(s.bad_crc, 1u);
  EXPECT_EQ(s.other_address, 2u);
  EXPECT_EQ(s.accepted, 1u);
}

TEST(Model, TwoFramesInOneReadAreTwoFrames) {
  Model m{Options{}};
  const Frame a = command(ACT);
  const Frame b = command(BLID);
  std::vector<uint8_t> both(a.begin(), a.end());
  both.insert(both.end(), b.begin(), b.end());
  m.on_bytes(both.data(), both.size(), 5000);
  const auto out = m.take_output();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(parse_reply(out[1].bytes).code, BLID);
  EXPECT_EQ(out[1].frame, 2u);
}

TEST(Model, SummaryCountsAndText) {
  Device d;
  d.ready();
  d.ask(command(BLID));
  d.ask(command(KEYID));
  d.ask(command(ERASE, 0x08001000));
  d.ask(command(ERASE, 0x08001400));
  d.ask(command(ERASE, 0x08001000));
  d.ask(command(ERASE, 0x08000000));  // refused
  for (uint32_t b = 0; b < 4; ++b) {
    d.ask(command(WRITE, 0x08001000 + 8 * b, enciphered(bytes8(static_cast<uint8_t>(b)))));
  }
  d.ask(test::get_crc(0x08001000, 32));
  d.ask(command(0x77));
  d.ask(command(GOTO));
  Frame other = command(BLID, 0, {}, 9);
  d.send(other);

  const Summary s = d.m.summary();
  std::vector<uint8_t> app(d.at(0x08001000), d.at(0x08001000) + 0xF000);
  EXPECT_EQ(s.app_crc, korvel::crc32(app.data(), 0xF000));
  EXPECT_NE(s.app_crc, korvel::crc32(std::vector<uint8_t>(0xF000, 0xFF).data(), 0xF000));

  const std::string text = format_summary(s);
  const std::string want =
      "zemlot-sim summary\n"
      "frames: 16 (ignored: 0 bad CRC, 1 other address, 0 silent)\n"
      "partial frames dropped: 0\n"
      "commands: activate 1, get_blid 1, get_keyid 1, unblock_flash 1, erase_page 4, "
      "write_block 4, get_crc 1, goto_application 1, unknown 1\n"
      "refused: 2\n"
      "replies dropped: 0\n"
      "pages erased: 2 (erase commands: 3)\n"
      "blocks written: 4\n"
      "application area CRC-32: " +
      [&] {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", s.app_crc);
        return std::string(buf);
      }() +
      "\n"
      "application started: yes\n";
  EXPECT_EQ(text, want);
}

TEST(Model, TraceDescribesEachFrame) {
  Options o;
  o.trace = true;
  Model m(o);
  Frame bad = command(ACT);
  bad[15] ^= 1;
  const Frame act = command(ACT);
  const Frame erase = command(ERASE, 0x08001400);
  m.on_bytes(bad.data(), 16, 0);
  m.on_bytes(act.data(), 16, 100000);
  m.on_bytes(erase.data(), 16, 200000);
  m.on_bytes(act.data(), 3, 300000);
  m.on_bytes(act.data(), 1, 400000);
  const auto lines = m.take_trace();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("ignored: bad CRC"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("-> 01 01 00", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find("#1 CMD_ACTIVATE"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("CMD_ERASE_PAGE page 5 (0x08001400)"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("dropped: partial frame of 3 bytes"), std::string::npos) << lines[3];
  const auto out = m.take_output();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_NE(out[1].note.find("refused: e1 flash locked"), std::string::npos) << out[1].note;
}

}  // namespace
}  // namespace zemlot
