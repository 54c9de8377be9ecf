// The dialogue in virtual time against the emulator's model, its faults, the arguments, image,
// answers and a failing write drawn from the input. A looping run runs out of time: a throw.
#include <algorithm>
#include <cstring>
#include <vector>

#include "capture_console.h"
#include "container/container.h"
#include "dialogue.h"
#include "frontend.h"
#include "fuzz_support.h"
#include "lib/crc32.h"
#include "lib/crc8.h"
#include "lib/endian.h"
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

// Device faults, each drawn as an operation and two bytes; operation 10 is an echoing adapter.
// Flash work ends within the 98 ms pause: longer, one split reply locks the erase phase (open).
using Opts = zemlot::Options;
constexpr void (*kFaults[])(Opts&, uint8_t, uint8_t, uint32_t) = {
    [](Opts& o, auto a, auto b, auto) {
      o.faults.refuse.push_back({kCodes[a % 8], 1u + b % 4, static_cast<uint8_t>(0xE0 | a >> 4)});
    },
    [](Opts& o, auto a, auto, auto) { o.faults.drop_reply.insert(1u + a % 40); },
    [](Opts& o, auto a, auto b, auto) { o.faults.delay_ms[1u + a % 40] = 2u * b; },
    [](Opts& o, auto a, auto, auto) { o.faults.wrong_address.insert(1u + a % 40); },
    [](Opts& o, auto a, auto b, auto) {
      o.faults.noise[1u + a % 40] = std::make_shared<const std::vector<uint8_t>>(1 + b % 3, b);
    },
    [](Opts& o, auto a, auto b, auto) {
      o.faults.split[1u + a % 40] = {1u + b % 6, a};
    },
    [](Opts& o, auto a, auto, auto) { o.faults.silent_first = a % 8; },
    // Never the true value: a device that answers it holds the image.
    [](Opts& o, auto a, auto, auto crc) { o.faults.crc_answer = crc ^ (1u << a % 32); },
    [](Opts& o, auto a, auto, auto) { o.faults.vanish_after = 1u + a; },
    [](Opts& o, auto a, auto b, auto) { o.work_ms[kCodes[a % 8]] = b % 98; },
    [](Opts&, auto, auto, auto) {},
    [](Opts& o, auto a, auto b, auto) { o.bootloader_version = a | uint32_t{b} << 24; },
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::ScratchFile file;
  fuzz::Reader in{data, size};
  const uint8_t setup = in.byte(), s1 = in.byte(), s2 = in.byte(), answer_sel = in.byte();
  const uint8_t seed = in.byte(), writes = in.byte(), failed_read = in.byte();
  const auto [netnum_text, netnum] = kNetnums[(setup >> 2) & 15];
  const bool corrupt = (setup & 0x40) != 0;
  const uint32_t image =
      (setup & 0x80) && (s1 & 0xC0) == 0xC0 ? 60 * 1024 - 16 + s2 % 40 : ((s1 << 8) | s2) % 2100;
  std::string answers = kAnswers[answer_sel % std::size(kAnswers)];
  answers.resize(answer_sel & 0x80 ? answer_sel & 15 : answers.size());
  for (size_t i = 0; answer_sel & 0x80 && i < answers.size(); ++i)
    answers[i] = static_cast<char>(in.byte());
  std::vector<uint8_t> plain(image), cct(sizehead + image, 0);
  for (size_t i = 0; i < image; ++i)
    plain[i] = cct[sizehead + i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 8));
  const uint8_t* payload = &cct[sizehead];
  cipher::encipher(cipher::kDefaultKey, &cct[sizehead], image);
  const uint32_t true_crc = crc32(plain.data(), image);
  encode_header({1, true_crc, crc32(payload, image) ^ corrupt, 0}, cct.data());
  file.set(cct.data(), cct.size());
  Opts device;
  device.netnum = static_cast<int32_t>(netnum);
  bool echo = false;
  for (int i = 0; i < 6 && in.n > 0; ++i) {
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
  const char* directive = setup % 4 == 2 ? "I" : setup % 4 == 3 ? "X" : "P";
  const char* argv[] = {"korvel", "FUZZ", netnum_text, file.path.c_str(), directive};
  RunConfig cfg;
  FUZZ_CHECK(parse_arguments(5, argv, cfg) && cfg.netnum == netnum);
  cfg.pacing = answer_sel & 0x40 ? PACING_REPLY : cfg.pacing;
  FUZZ_CHECK(open_port(line, con, cfg) == 0);
  Container c;
  Verdict verdict = Verdict::Bad;
  FUZZ_CHECK(load_container(con, cfg.FileCC, c, verdict) == 0);
  FUZZ_CHECK((verdict == Verdict::Good) == !corrupt && fuzz::read_is_caught(c.buff_BIN + image));
  Dialogue d{con, line, line, cfg, c};
  const int rc = run_dialogue(d, verdict);
  const bool wrote_all = line.write_calls() == line.frames_written().size();
  FUZZ_CHECK((rc == 0 ? wrote_all && close_port(line, con) == 0
                      : rc == 1 && !wrote_all && con.err.ends_with("Write error\n")) &&
             !line.is_open());
  // Past the key exchange only in programming mode after the line "Y", with a sound container
  // and a network number that a reply can match.
  std::string said(answers, 0, con.input_read);
  std::erase(said, '\r');
  const bool may_touch_flash = cfg.direct == PROG &&
                               ("\n" + said + "\n").find("\nY\n") != said.npos && !corrupt &&
                               netnum >= 0 && netnum <= 255;
  const uint32_t blocks = image / 8, pages = pages_needed(image);
  std::vector<bool> erased(pages, false);
  int64_t last_block = -1;
  for (const auto& f : line.frames_written()) {
    FUZZ_CHECK(f.size() == 16 && f[15] == dallas_crc8(&f[0], 15) && f[0] == (netnum & 0xFF));
    const uint8_t code = f[1];
    const uint32_t at = load_le32(&f[3]) - APP_START;
    FUZZ_CHECK(may_touch_flash || code == CMD_ACTIVATE || code == CMD_GET_BLID ||
               code == CMD_GET_KEYID);
    if (code == CMD_ERASE_PAGE) {
      FUZZ_CHECK(pages <= kAppPages && blocks > 0 && at % PAGE_SIZE == 0 && at / PAGE_SIZE < pages);
      erased[at / PAGE_SIZE] = true;
    } else if (code == CMD_WRITE_BLOCK) {
      FUZZ_CHECK(at % 8 == 0 && at / 8 < blocks && std::memcmp(&f[7], &payload[at], 8) == 0);
      FUZZ_CHECK(at / 8 <= last_block + 1u && at / 8 >= last_block &&
                 std::ranges::count(erased, false) == 0);
      last_block = at / 8;
    }
  }
  // "совпала" exactly when the device answered the image's checksum, which it then holds.
  const std::string query = "расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): ";
  const size_t asked = con.out.find(query);
  const bool matched = con.out.find("Контрольная сумма совпала\n", asked) != said.npos;
  FUZZ_CHECK(asked == said.npos ||
             matched == (std::strtoul(&con.out[asked + query.size()], nullptr, 16) == true_crc));
  FUZZ_CHECK(!matched ||
             std::equal(plain.begin(), plain.end(), line.model().flash().begin() + 0x1000));
  const auto s = line.model().summary();
  FUZZ_CHECK(!s.app_started || matched);
  FUZZ_CHECK(con.out.find("Подтверждение получено\n") == said.npos || s.app_started);
  // Each page erased once, the first twice, again only after a reply lost to a fault (every
  // erase when the device is slow).
  const uint32_t slow = device.work_ms.count(CMD_ERASE_PAGE) != 0 ? 3 : 1;
  FUZZ_CHECK(s.erase_operations <= (pages + 1) * slow + 16);
  release_container(con, c);
  return 0;
}
