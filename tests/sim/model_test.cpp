#include "model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "frames.h"
#include "lib/crc32.h"
#include "stand_in_cipher.h"

namespace zemlot {
namespace {

using namespace test;

constexpr uint8_t ACT = 0x01, UNBLOCK = 0x02, ERASE = 0x03, WRITE = 0x04, CRC = 0x05, GOTO = 0x06,
                  BLID = 0x10, KEYID = 0x11;

// A reply from address 1.
Bytes answer(uint8_t code, uint32_t value = 0) {
  return reply(1, code, value);
}

// The model with a clock that moves on 50 ms per frame, so that replies never overlap.
struct Device {
  explicit Device(Options o = {}) : m(std::move(o)) {}

  std::vector<Chunk> send(const Frame& f) {
    m.on_bytes(f.data(), f.size(), t);
    t += 50000;
    return m.take_output();
  }
  // One frame, one reply in one piece; reports it sent.
  Bytes ask(const Frame& f) {
    auto out = send(f);
    EXPECT_EQ(out.size(), 1u);
    if (out.size() != 1)
      return {};
    m.chunk_sent(out[0], out[0].at_us);
    return out[0].bytes;
  }
  void ready() {
    ASSERT_EQ(ask(command(ACT)), answer(ACT));
    ASSERT_EQ(ask(command(UNBLOCK)), answer(UNBLOCK));
  }
  const uint8_t* at(uint32_t address) const { return m.flash().data() + (address - 0x08000000u); }

  Model m;
  uint64_t t = 1'000'000;
};

Data enciphered(Data plain) {
  korvel::cipher::encipher_block(korvel::cipher::kDefaultKey, plain.data());
  return plain;
}

TEST(Model, AnswersOfEveryCommand) {
  const uint32_t erased_page = korvel::crc32(Bytes(1024, 0xFF).data(), 1024);
  const uint32_t erased_flash = korvel::crc32(Bytes(65536, 0xFF).data(), 65536);
  const std::tuple<const char*, Frame, uint8_t, uint32_t> cases[] = {
      {"blid", command(BLID), BLID, 0xA1B2C3D4},
      {"keyid", command(KEYID), KEYID, 0x37},
      {"erase first app page", command(ERASE, 0x08001000), ERASE, 0},
      {"erase last page", command(ERASE, 0x0800FC00), ERASE, 0},
      {"erase bootloader page 3", command(ERASE, 0x08000C00), kErrAddress, 0},
      {"erase misaligned", command(ERASE, 0x08001200), kErrAddress, 0},
      {"erase past flash", command(ERASE, 0x08010000), kErrAddress, 0},
      {"write first block", command(WRITE, 0x08001000), WRITE, 0},
      {"write last block", command(WRITE, 0x0800FFF8), WRITE, 0},
      {"write misaligned", command(WRITE, 0x08001004), kErrAddress, 0},
      {"write into bootloader", command(WRITE, 0x08000FF8), kErrAddress, 0},
      {"write past flash", command(WRITE, 0x08010000), kErrAddress, 0},
      {"crc of a page", get_crc(0x08001000, 1024), CRC, erased_page},
      {"crc of nothing", get_crc(0x08001000, 0), CRC, 0},
      {"crc of whole flash", get_crc(0x08000000, 65536), CRC, erased_flash},
      {"crc one past the end", get_crc(0x08000001, 65536), kErrCrcRange, 0},
      {"crc below flash", get_crc(0x07FFFFFF, 1), kErrCrcRange, 0},
      {"crc huge size", get_crc(0x08001000, 0xFFFFFFFF), kErrCrcRange, 0},
      {"goto", command(GOTO), GOTO, 0},
      {"unknown", command(0x42), kErrUnknownCommand, 0},
  };
  for (const auto& [what, frame, code, value] : cases) {
    SCOPED_TRACE(what);
    Options o;
    o.bootloader_version = 0xA1B2C3D4;
    o.key_version = 7;
    Device d(o);
    d.ready();
    EXPECT_EQ(d.ask(frame), answer(code, value));
  }
}

TEST(Model, RefusesAllButActivateUntilActivatedAndFlashUntilUnblocked) {
  for (uint8_t code : {UNBLOCK, ERASE, WRITE, CRC, GOTO, BLID, KEYID, uint8_t{0x42}}) {
    SCOPED_TRACE(code);
    Device d;
    EXPECT_EQ(d.ask(command(code, 0x08001000)), answer(kErrNotActivated));
    EXPECT_EQ(d.ask(command(ACT)), answer(ACT));
    // A refused unblock must not have unlocked anything.
    EXPECT_EQ(d.ask(command(ERASE, 0x08001000)), answer(kErrLocked));
    EXPECT_EQ(d.ask(command(WRITE, 0x08001000, enciphered({}))), answer(kErrLocked));
    EXPECT_EQ(d.at(0x08001000)[0], 0xFF);
    EXPECT_FALSE(d.m.summary().app_started);
  }
}

TEST(Model, WrittenImageChecksToTheCrcOfThePlainImage) {
  // Not the default key, so that a model deciphering with the wrong key fails.
  const auto key = *korvel::cipher::parse_key("0f1e2d3c4b5a69788796a5b4c3d2e1f0");
  Bytes plain(3000);
  for (size_t i = 0; i < plain.size(); ++i)
    plain[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  Bytes cipher = plain;
  korvel::cipher::encipher(key, cipher.data(), cipher.size());
  Options o;
  o.key = key;
  Device d(o);
  d.ready();
  for (uint32_t page = 0; page < 3; ++page)
    ASSERT_EQ(d.ask(command(ERASE, 0x08001000 + 1024 * page)), answer(ERASE));
  for (uint32_t b = 0; b < plain.size() / 8; ++b) {
    Data block;
    std::memcpy(block.data(), cipher.data() + 8 * b, 8);
    ASSERT_EQ(d.ask(command(WRITE, 0x08001000 + 8 * b, block)), answer(WRITE));
  }
  EXPECT_EQ(d.ask(get_crc(0x08001000, 3000)), answer(CRC, korvel::crc32(plain.data(), 3000)));
  EXPECT_EQ(0, std::memcmp(d.at(0x08001000), plain.data(), plain.size()));
  EXPECT_EQ(d.at(0x08001000)[3000], 0xFF);
  // Programming only clears bits: block 1 written over with block 2 keeps the zeros of both.
  Data two;
  std::memcpy(two.data(), cipher.data() + 16, 8);
  d.ask(command(WRITE, 0x08001008, two));
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(d.at(0x08001008)[i], plain[8 + i] & plain[16 + i]) << i;
}

// A forced refusal hits only the nth frame of its code and changes nothing; a forced CRC
// answer replaces only a successful one.
TEST(Model, ForcedAnswers) {
  Options o;
  o.faults.refuse = {{ACT, 1, 0xE9}, {ERASE, 2, 0xE7}};
  o.faults.crc_answer = 0xDEADBEEF;
  Device d(o);
  EXPECT_EQ(d.ask(command(ACT)), answer(0xE9));
  EXPECT_EQ(d.ask(command(BLID)), answer(kErrNotActivated));
  d.ready();
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)), answer(ERASE));
  d.ask(command(WRITE, 0x08001000, enciphered({})));
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)), answer(0xE7));
  EXPECT_EQ(d.at(0x08001000)[0], 0x00);
  EXPECT_EQ(d.ask(command(ERASE, 0x08001000)), answer(ERASE));
  EXPECT_EQ(d.at(0x08001000)[0], 0xFF);
  EXPECT_EQ(d.ask(get_crc(0x08001000, 64)), answer(CRC, 0xDEADBEEF));
  EXPECT_EQ(d.ask(get_crc(0x0800FFF0, 64)), answer(kErrCrcRange));
}

// Activate at 1.000 s, then get_blid at 1.050 s: each fault aimed at one of them.
TEST(Model, LineFaultsShapeWhatGoesOut) {
  // A chunk's time, bytes, gap before it, frame and whether it ends the reply.
  using Want = std::tuple<uint64_t, Bytes, uint64_t, uint32_t, bool>;
  const Want act{1'002'000, reply(1, ACT, 0), 0, 1, true},
      blid{1'052'000, reply(1, BLID, 2), 0, 2, true};
  Faults drop, delay, wrong, noise, split, silent;
  drop.drop_reply = {1};
  delay.delay_ms = {{2, 150}};
  wrong.wrong_address = {2};
  noise.noise = {{1, std::make_shared<const Bytes>(Bytes{0xAA, 0x55})}};
  split.split = {{1, {3, 40}}};
  silent.silent_first = 1;
  silent.wrong_address = {1};  // marks frame 1
  const std::tuple<const char*, Faults, std::vector<Want>> cases[] = {
      {"none", {}, {act, blid}},
      {"dropped reply still activates", drop, {blid}},
      {"delay", delay, {act, {1'202'000, reply(1, BLID, 2), 0, 2, true}}},
      {"wrong address", wrong, {act, {1'052'000, reply(2, BLID, 2), 0, 2, true}}},
      {"noise", noise, {{1'002'000, {0xAA, 0x55}, 0, 1, false}, act, blid}},
      {"split",
       split,
       {{1'002'000, {1, 1, 0}, 0, 1, false}, {1'002'000, {0, 0, 0, 0xFA}, 40000, 1, true}, blid}},
      // A silent frame has no effect and takes no number: get_blid is frame 1.
      {"silent", silent, {{1'052'000, reply(2, kErrNotActivated, 0), 0, 1, true}}},
  };
  for (const auto& [what, faults, want] : cases) {
    SCOPED_TRACE(what);
    Options o;
    o.faults = faults;
    Device d(o);
    std::vector<Want> got;
    for (const Frame& f : {command(ACT), command(BLID)}) {
      for (const Chunk& k : d.send(f))
        got.emplace_back(k.at_us, k.bytes, k.min_gap_us, k.frame, k.reply_end);
    }
    EXPECT_EQ(got, want);
  }
}

TEST(Model, WantsExitWhenTheGotoReplyIsWithheld) {
  Options o;
  o.faults.drop_reply = {2};
  Device d(o);
  d.ask(command(ACT));
  EXPECT_TRUE(d.send(command(GOTO)).empty());
  EXPECT_TRUE(d.m.want_exit());
}

TEST(Model, FramesAreSplitByTime) {
  // Silence after the first 8 bytes, and whether the frame is still whole.
  for (const auto& [gap_us, answered] :
       {std::pair<uint64_t, bool>{0, true}, {10000, true}, {10001, false}, {500000, false}}) {
    SCOPED_TRACE(gap_us);
    Model m{Options{}};
    const Frame f = command(ACT);
    m.on_bytes(f.data(), 8, 0);
    m.on_bytes(f.data() + 8, 8, gap_us);
    EXPECT_EQ(m.take_output().size(), answered ? 1u : 0u);
    EXPECT_EQ(m.summary().partial_dropped, answered ? 0u : 1u);
    // The tail left behind is itself a partial frame; whole frames after a pause still work,
    // two in one read as well.
    Bytes two(f.begin(), f.end());
    const Frame blid = command(BLID);
    two.insert(two.end(), blid.begin(), blid.end());
    m.on_bytes(two.data(), two.size(), gap_us + 20000);
    const auto next = m.take_output();
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[1].bytes, answer(BLID, 2));
  }
}

TEST(Model, SummaryCountsAndText) {
  Options o;
  o.netnum = 0x101;  // only the low byte is the address
  Device d(o);
  Frame bad_crc = command(ACT);
  bad_crc[15] ^= 0x80;
  EXPECT_TRUE(d.send(bad_crc).empty());
  d.ready();
  d.ask(command(BLID));
  d.ask(command(KEYID));
  for (uint32_t page : {0x08001000u, 0x08001400u, 0x08001000u, 0x08000000u})
    d.ask(command(ERASE, page));  // the last refused
  for (uint8_t b = 0; b < 4; ++b)
    d.ask(command(WRITE, 0x08001000 + 8 * b, enciphered({b, 1, 2, 3, 4, 5, 6, 7})));
  d.ask(get_crc(0x08001000, 32));
  d.ask(command(0x77));
  d.ask(command(GOTO));
  EXPECT_TRUE(d.send(command(BLID, 0, {}, 9)).empty());

  char crc[16], checked[16];
  std::snprintf(crc, sizeof crc, "%08x", korvel::crc32(d.at(0x08001000), 0xF000));
  std::snprintf(checked, sizeof checked, "%08x", korvel::crc32(d.at(0x08001000), 32));
  EXPECT_EQ(format_summary(d.m.summary()),
            "zemlot-sim summary\n"
            "frames: 17 (ignored: 1 bad CRC, 1 other address, 0 silent)\n"
            "partial frames dropped: 0\n"
            "commands: activate 1, get_blid 1, get_keyid 1, unblock_flash 1, erase_page 4, "
            "write_block 4, get_crc 1, goto_application 1, unknown 1\n"
            "refused: 2\n"
            "replies dropped: 0\n"
            "pages erased: 2 (erase commands: 3)\n"
            "blocks written: 4\n"
            "application area CRC-32: " +
                std::string(crc) + "\nchecked image CRC-32: 0x" + checked +
                " (last checksum query: 32 bytes at 0x08001000)\napplication started: yes\n");
}

}  // namespace
}  // namespace zemlot
