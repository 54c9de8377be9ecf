// The whole dialogue in virtual time on the tests' virtual line, against the emulator's model
// with faults drawn from the input; the directive, the network number, the image, a damaged
// container and the operator's answers come from the first bytes. The adapter fails a write
// after a number of them that the input picks, as a pulled adapter would, and the loader
// must then end with "Write error"; a run that loops runs out of the line's virtual time.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "capture_console.h"
#include "container/container.h"
#include "container/container_format.h"
#include "dialogue.h"
#include "frontend.h"
#include "fuzz_support.h"
#include "lib/crc32.h"
#include "lib/crc8.h"
#include "lib/endian.h"
#include "link/protocol.h"
#include "port_stage.h"
#include "stand_in_cipher.h"
#include "virtual_line.h"

using namespace korvel;

namespace {

// What the loader should make of each argument (atoi-like, saturating).
constexpr std::pair<const char*, int64_t> kNetnums[] = {
    {"1", 1},   {"1", 1},      {"1", 1},     {"19", 19},
    {"0", 0},   {"255", 255},  {"256", 256}, {"-1", -1},
    {" +7", 7}, {"12abc", 12}, {"", 0},      {"x", 0},
    {"\t3", 3}, {"257", 257},  {"25", 25},   {"2147483648", 2147483647}};
const char* const kAnswers[] = {"Y\n", "N\n", "", "Y", "Y\r\n", "y\nY\n", "x\n\nN\n", "YES\nY\n"};
constexpr uint8_t kCodes[] = {CMD_ACTIVATE,   CMD_GET_BLID,    CMD_GET_KEYID, CMD_UNBLOCK_FLASH,
                              CMD_ERASE_PAGE, CMD_WRITE_BLOCK, CMD_GET_CRC,   CMD_GOTO_APPLICATION};

// Whether the operator's input read so far holds a line that is exactly "Y" (CR LF too).
bool operator_said_yes(std::string consumed) {
  for (size_t at = 0; (at = consumed.find("\r\n", at)) != std::string::npos;)
    consumed.erase(at, 1);
  return ("\n" + consumed + "\n").find("\nY\n") != std::string::npos;
}

// Device faults, each drawn as an operation and two bytes a, b.
using Opts = zemlot::Options;
constexpr void (*kFaults[])(Opts&, uint8_t, uint8_t, uint32_t) = {
    [](Opts& o, uint8_t a, uint8_t b, uint32_t) {
      o.faults.refuse.push_back({kCodes[a % 8], 1u + b % 4, static_cast<uint8_t>(0xE0 | a >> 4)});
    },
    [](Opts& o, uint8_t a, uint8_t, uint32_t) { o.faults.drop_reply.insert(1u + a % 40); },
    [](Opts& o, uint8_t a, uint8_t b, uint32_t) { o.faults.delay_ms[1u + a % 40] = 2u * b; },
    [](Opts& o, uint8_t a, uint8_t, uint32_t) { o.faults.wrong_address.insert(1u + a % 40); },
    [](Opts& o, uint8_t a, uint8_t b, uint32_t) {
      o.faults.noise[1u + a % 40] = std::make_shared<const std::vector<uint8_t>>(1 + b % 3, b);
    },
    [](Opts& o, uint8_t a, uint8_t b, uint32_t) {
      o.faults.split[1u + a % 40] = {1u + b % 6, a};
    },
    [](Opts& o, uint8_t a, uint8_t, uint32_t) { o.faults.silent_first = a % 8; },
    // Never the true value: a device that answers it holds the image.
    [](Opts& o, uint8_t a, uint8_t, uint32_t crc) { o.faults.crc_answer = crc ^ (1u << a % 32); },
    [](Opts& o, uint8_t a, uint8_t, uint32_t) { o.faults.vanish_after = 1u + a; },
    [](Opts& o, uint8_t a, uint8_t b, uint32_t) { o.work_ms[kCodes[a % 8]] = b; },
    [](Opts&, uint8_t, uint8_t, uint32_t) {},  // an echoing adapter: the line's, not the device's
    [](Opts& o, uint8_t a, uint8_t b, uint32_t) { o.bootloader_version = a | uint32_t{b} << 24; },
};

// Every frame the loader wrote, against what the run allowed.
void judge_frames(const testing::VirtualLine& line, const std::vector<uint8_t>& payload,
                  int64_t netnum, bool may_touch_flash) {
  const auto blocks = static_cast<int64_t>(payload.size() / BLOCK_SIZE);
  const uint32_t pages = pages_needed(static_cast<uint32_t>(payload.size()));
  int64_t last_block = -1;
  std::vector<bool> erased(pages, false);
  for (const auto& f : line.frames_written()) {
    FUZZ_CHECK(f.size() == kCommandFrameSize && f[kCmdCrc] == dallas_crc8(&f[0], kCmdCrc));
    FUZZ_CHECK(f[kCmdAddr] == static_cast<uint8_t>(netnum & 0xFF));
    const uint8_t code = f[kCmdCode];
    const uint32_t arg = load_le32(&f[kCmdArg]);
    FUZZ_CHECK(std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes));
    if (code == CMD_ACTIVATE || code == CMD_GET_BLID || code == CMD_GET_KEYID)
      continue;
    // Past the key exchange only in programming mode after the operator's "Y", and with a
    // network number that a reply can match.
    FUZZ_CHECK(may_touch_flash && netnum >= 0 && netnum <= 255);
    if (code == CMD_ERASE_PAGE) {
      // Only the pages the image lands in; none for an image too large or without a block.
      FUZZ_CHECK(pages <= kAppPages && blocks > 0);
      FUZZ_CHECK(arg >= APP_START && (arg - APP_START) % PAGE_SIZE == 0);
      FUZZ_CHECK((arg - APP_START) / PAGE_SIZE < pages);
      erased[(arg - APP_START) / PAGE_SIZE] = true;
    } else if (code == CMD_WRITE_BLOCK) {
      FUZZ_CHECK(arg >= APP_START && (arg - APP_START) % BLOCK_SIZE == 0);
      const int64_t block = (arg - APP_START) / BLOCK_SIZE;
      FUZZ_CHECK(block < blocks);
      FUZZ_CHECK(std::memcmp(&f[kCmdData], &payload[block * BLOCK_SIZE], BLOCK_SIZE) == 0);
      // Only after every page the image lands in was erased; in order, or the same again.
      FUZZ_CHECK(std::find(erased.begin(), erased.end(), false) == erased.end());
      FUZZ_CHECK(block == last_block || block == last_block + 1);
      last_block = block;
    } else if (code == CMD_GET_CRC) {
      FUZZ_CHECK(arg == APP_START && load_le32(&f[kCmdData + 4]) == payload.size());
      FUZZ_CHECK(last_block + 1 == blocks);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::ScratchFile file;
  fuzz::Reader in{data, size};
  const uint8_t setup = in.byte(), s1 = in.byte(), s2 = in.byte(), answer_sel = in.byte();
  const uint8_t seed = in.byte(), writes = in.byte(), failed_read = in.byte();
  static const char* const kDirectives[] = {"P", "P", "I", "X"};
  const auto [netnum_text, netnum] = kNetnums[(setup >> 2) & 15];
  const bool corrupt = (setup & 0x40) != 0;
  // Up to three pages most of the time; now and then around the whole application area.
  const bool whole_area = (setup & 0x80) && (s1 & 0xC0) == 0xC0;
  const size_t image = whole_area ? 60 * 1024 - 16 + s2 % 40 : ((s1 << 8) | s2) % 2100;
  std::string answers = kAnswers[answer_sel % std::size(kAnswers)];
  if (answer_sel & 0x80) {
    answers.resize(answer_sel & 15);
    for (auto& c : answers)
      c = static_cast<char>(in.byte());
  }
  // The container as the container tool makes it, enciphered with the device's key.
  std::vector<uint8_t> plain(image), cct(sizehead + image, 0);
  for (size_t i = 0; i < image; ++i)
    plain[i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 8));
  std::vector<uint8_t> payload = plain;
  cipher::encipher(cipher::kDefaultKey, payload.data(), payload.size());
  const auto n = static_cast<uint32_t>(image);
  const uint32_t true_crc = crc32(plain.data(), n);
  encode_header({1, true_crc, crc32(payload.data(), n) ^ (corrupt ? 1u : 0u), 0}, cct.data());
  std::copy(payload.begin(), payload.end(), cct.begin() + sizehead);
  file.set(cct.data(), cct.size());

  Opts device;
  device.netnum = static_cast<int32_t>(netnum);
  bool echo = false;
  for (int i = 0; i < 6 && !in.empty(); ++i) {
    const uint8_t op = in.byte() % std::size(kFaults), a = in.byte(), b = in.byte();
    kFaults[op](device, a, b, true_crc);
    echo = echo || op == 10;
  }
  testing::VirtualLine line(device);
  line.echo(echo);
  line.fail_write_at(8u + writes);
  line.fail_read_at((failed_read & 0x80) ? failed_read & 0x7F : 0);
  testing::CaptureConsole con(Encoder::utf8(), answers);

  // The run as the front end drives it, but with the container released on every path.
  const char* argv[] = {"korvel", "FUZZ", netnum_text, file.path.c_str(), kDirectives[setup & 3]};
  RunConfig cfg;
  FUZZ_CHECK(parse_arguments(5, argv, cfg) && cfg.netnum == netnum);
  if (answer_sel & 0x40)
    cfg.pacing = PACING_REPLY;
  FUZZ_CHECK(open_port(line, con, cfg) == 0);
  print_banner(con, cfg);
  Container c;
  Verdict verdict = Verdict::Bad;
  FUZZ_CHECK(load_container(con, cfg.FileCC, c, verdict) == 0);
  FUZZ_CHECK((verdict == Verdict::Good) == !corrupt && c.sizefile_bin == image);
  // The payload buffer ends where the payload does, so a block read past it is caught.
  FUZZ_CHECK(fuzz::read_is_caught(c.buff_BIN + image));
  Dialogue d{con, line, line, cfg, c};
  const int rc = run_dialogue(d, verdict);  // a run that never ends throws from the line
  // Only a failed write ends the dialogue early, and it says so; the port is let go.
  const bool wrote_all = line.write_calls() == line.frames_written().size();
  FUZZ_CHECK(rc == 0 ? wrote_all && close_port(line, con) == 0
                     : rc == 1 && !wrote_all && con.err.ends_with("Write error\n"));
  FUZZ_CHECK(!line.is_open() && (!corrupt || line.frames_written().empty()));
  const std::string consumed = answers.substr(0, con.input_read);
  judge_frames(line, payload, netnum, cfg.direct == PROG && operator_said_yes(consumed));

  // What the loader told the operator, against what the device holds.
  const std::string said = "расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): ";
  const size_t asked = con.out.find(said);
  const bool matched = asked != std::string::npos &&
                       con.out.find("Контрольная сумма совпала\n", asked) != std::string::npos;
  // "совпала" exactly when the device answered the image's checksum, and it holds the image.
  if (asked != std::string::npos)
    FUZZ_CHECK(matched == (std::strtoul(&con.out[asked + said.size()], nullptr, 16) == true_crc));
  if (matched)
    FUZZ_CHECK(std::equal(plain.begin(), plain.end(), line.model().flash().begin() + 0x1000));
  // Each page erased once, the first twice, again only after a reply that did not arrive in
  // time or whole: a few faults' worth, or every erase when the device is slow.
  const auto s = line.model().summary();
  const uint32_t slow = device.work_ms.count(CMD_ERASE_PAGE) != 0 ? 3 : 1;
  FUZZ_CHECK(s.erase_operations <= (pages_needed(n) + 1) * slow + 16);
  FUZZ_CHECK(!s.app_started || matched);
  FUZZ_CHECK(con.out.find("Подтверждение получено\n") == std::string::npos || s.app_started);
  release_container(con, c);
  return 0;
}
