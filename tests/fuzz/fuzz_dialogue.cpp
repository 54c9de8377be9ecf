// The whole dialogue in virtual time on the tests' virtual line, against the emulator's model
// with faults drawn from the input: refusals, lost, late, split, misaddressed or noisy
// replies, a device silent for a while, a wrong checksum answer, slow flash work, an echoing
// adapter, a failed read, a line that goes away. The directive, the network number, the
// image, a damaged container and the operator's answers come from the first bytes.
//
// Termination: the adapter fails a write after a number of them that the input picks, as a
// pulled adapter would, and the loader must then end with "Write error". A silent device keeps
// the activation search going for ever, which is what it is for, so silence cannot end a run.
// A run that neither writes nor ends runs out of the line's virtual time and breaks the
// invariant that every run ends.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "capture_console.h"
#include "container/container.h"
#include "container/container_format.h"
#include "dialogue.h"
#include "frontend.h"
#include "fuzz_support.h"
#include "lib/endian.h"
#include "link/protocol.h"
#include "port_stage.h"
#include "stand_in_cipher.h"
#include "virtual_line.h"

using namespace korvel;

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  bool empty() const { return at >= n; }
  uint8_t byte() { return at < n ? p[at++] : 0; }
};

// What the loader should make of each argument (atoi-like, saturating).
constexpr std::pair<const char*, int64_t> kNetnums[] = {
    {"1", 1},   {"1", 1},      {"1", 1},     {"19", 19},
    {"0", 0},   {"255", 255},  {"256", 256}, {"-1", -1},
    {" +7", 7}, {"12abc", 12}, {"", 0},      {"x", 0},
    {"\t3", 3}, {"257", 257},  {"25", 25},   {"2147483648", 2147483647}};

const char* const kAnswers[] = {"Y\n", "N\n", "", "Y", "Y\r\n", "y\nY\n", "x\n\nN\n", "YES\nY\n"};
constexpr uint8_t kCodes[] = {CMD_ACTIVATE,   CMD_GET_BLID,    CMD_GET_KEYID, CMD_UNBLOCK_FLASH,
                              CMD_ERASE_PAGE, CMD_WRITE_BLOCK, CMD_GET_CRC,   CMD_GOTO_APPLICATION};

// Whether the operator's input read so far holds a line that is exactly "Y".
bool operator_said_yes(std::string_view consumed) {
  for (size_t start = 0; start < consumed.size();) {
    const size_t end = std::min(consumed.find('\n', start), consumed.size());
    std::string_view line = consumed.substr(start, end - start);
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    if (line == "Y")
      return true;
    start = end + 1;
  }
  return false;
}

zemlot::Options device_faults(Reader& in, int64_t netnum, uint32_t true_crc, bool* echo) {
  zemlot::Options o;
  o.netnum = static_cast<int32_t>(netnum);
  auto& f = o.faults;
  for (int i = 0; i < 6 && !in.empty(); ++i) {
    const uint8_t op = in.byte(), a = in.byte(), b = in.byte();
    switch (op % 12) {
      case 0:
        f.refuse.push_back({kCodes[a % 8], 1u + b % 4, static_cast<uint8_t>(0xE0 | (a >> 4))});
        break;
      case 1:
        f.drop_reply.insert(1u + a % 40);
        break;
      case 2:
        f.delay_ms[1u + a % 40] = 2u * b;
        break;
      case 3:
        f.wrong_address.insert(1u + a % 40);
        break;
      case 4:
        f.noise[1u + a % 40] = std::make_shared<const std::vector<uint8_t>>(1 + b % 3, b);
        break;
      case 5:
        f.split[1u + a % 40] = {1u + b % 6, a};
        break;
      case 6:
        f.silent_first = a % 8;
        break;
      case 7:  // never the true value: a device that answers it holds the image
        f.crc_answer = true_crc ^ (1u << (a % 32));
        break;
      case 8:
        f.vanish_after = 1u + a;
        break;
      case 9:
        o.work_ms[kCodes[a % 8]] = b;
        break;
      case 10:
        *echo = true;
        break;
      default:
        o.key_version = a;
        o.bootloader_version = uint32_t{b} << 24;
        break;
    }
  }
  return o;
}

// Every frame the loader wrote, against what the run allowed.
void judge_frames(const testing::VirtualLine& line, const std::vector<uint8_t>& payload,
                  int64_t netnum, bool may_touch_flash) {
  const uint32_t blocks = static_cast<uint32_t>(payload.size() / BLOCK_SIZE);
  const uint32_t pages = pages_needed(static_cast<uint32_t>(payload.size()));
  int64_t last_block = -1;
  std::vector<bool> erase_sent(pages, false);
  for (const auto& f : line.frames_written()) {
    FUZZ_CHECK(f.size() == kCommandFrameSize);
    FUZZ_CHECK(f[kCmdCrc] == fuzz::reference_crc8(f.data(), kCmdCrc));
    FUZZ_CHECK(f[kCmdAddr] == static_cast<uint8_t>(netnum & 0xFF));
    FUZZ_CHECK(f[2] == 0);
    const uint8_t code = f[kCmdCode];
    const uint32_t arg = load_le32(&f[kCmdArg]);
    FUZZ_CHECK(std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes));
    if (code == CMD_ACTIVATE || code == CMD_GET_BLID || code == CMD_GET_KEYID ||
        code == CMD_GOTO_APPLICATION) {
      FUZZ_CHECK(arg == 0);
    }
    if (code == CMD_ACTIVATE || code == CMD_GET_BLID || code == CMD_GET_KEYID)
      continue;
    // Touching the flash takes programming mode and the operator's "Y".
    FUZZ_CHECK(may_touch_flash);
    if (code == CMD_ERASE_PAGE) {
      // Only the pages the image lands in, and none for an image that cannot fit or holds
      // no whole block.
      FUZZ_CHECK(pages <= kAppPages && blocks > 0);
      FUZZ_CHECK(arg >= APP_START && (arg - FLASH_BASE) % PAGE_SIZE == 0);
      FUZZ_CHECK((arg - APP_START) / PAGE_SIZE < pages);
      erase_sent[(arg - APP_START) / PAGE_SIZE] = true;
    } else if (code == CMD_WRITE_BLOCK) {
      FUZZ_CHECK(arg >= APP_START && (arg - APP_START) % BLOCK_SIZE == 0);
      const int64_t block = (arg - APP_START) / BLOCK_SIZE;
      FUZZ_CHECK(block < blocks);
      FUZZ_CHECK(std::memcmp(&f[kCmdData], payload.data() + block * BLOCK_SIZE, BLOCK_SIZE) == 0);
      // None before every page the image lands in was erased; then in order, the same block
      // again or the next one.
      FUZZ_CHECK(std::find(erase_sent.begin(), erase_sent.end(), false) == erase_sent.end());
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
  Reader in{data, size};
  const uint8_t setup = in.byte(), s1 = in.byte(), s2 = in.byte(), answer_sel = in.byte();
  const uint8_t seed = in.byte(), writes = in.byte(), failed_read = in.byte();

  static const char* const kDirectives[] = {"P", "P", "I", "X"};
  const char* directive = kDirectives[setup & 3];
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
  std::vector<uint8_t> plain(image);
  for (size_t i = 0; i < image; ++i)
    plain[i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 8));
  std::vector<uint8_t> payload = plain;
  cipher::encipher(cipher::kDefaultKey, payload.data(), payload.size());
  const uint32_t true_crc = fuzz::reference_crc32(plain.data(), image);
  std::vector<uint8_t> cct(sizehead + image, 0);
  encode_header(
      {1, true_crc, fuzz::reference_crc32(payload.data(), image) ^ (corrupt ? 1u : 0u), 1765051182},
      cct.data());
  std::copy(payload.begin(), payload.end(), cct.begin() + sizehead);
  file.set(cct.data(), cct.size());

  bool echo = false;
  const zemlot::Options device = device_faults(in, netnum, true_crc, &echo);
  const bool slow_erase = device.work_ms.count(CMD_ERASE_PAGE) != 0;
  testing::VirtualLine line(device);
  line.echo(echo);
  line.fail_write_at(8u + writes);
  if (failed_read & 0x80)
    line.fail_read_at(failed_read & 0x7F);
  testing::CaptureConsole con(Encoder::utf8(), answers);

  // The run as the loader's front end drives it, but with the container released on every
  // path: the front end leaves it to the process's end after a failed write.
  const char* argv[] = {"korvel", "FUZZ", netnum_text, file.path(), directive};
  RunConfig cfg;
  FUZZ_CHECK(parse_arguments(5, argv, cfg));
  if (answer_sel & 0x40)
    cfg.pacing = PACING_REPLY;
  FUZZ_CHECK(cfg.netnum == netnum);
  FUZZ_CHECK(open_port(line, con, cfg) == 0);
  print_banner(con, cfg);
  Container c;
  Verdict verdict = Verdict::Bad;
  FUZZ_CHECK(load_container(con, cfg.FileCC, c, verdict) == 0);
  FUZZ_CHECK((verdict == Verdict::Good) == !corrupt);
  FUZZ_CHECK(c.sizefile_bin == image);
  // The payload buffer ends where the payload does, so a block read past it is caught.
  FUZZ_CHECK(fuzz::read_is_caught(c.buff_BIN + image));

  Dialogue d{con, line, line, cfg, c};
  int rc = -1;
  try {
    rc = run_dialogue(d, verdict);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    FUZZ_CHECK(!"the run ends");
  }
  const bool wrote_all = line.write_calls() == line.frames_written().size();
  if (rc == 0) {
    FUZZ_CHECK(wrote_all);
    FUZZ_CHECK(close_port(line, con) == 0);
  } else {
    // Only a failed write ends the dialogue early, and it says so and lets the port go.
    FUZZ_CHECK(rc == 1 && !wrote_all);
    FUZZ_CHECK(con.err.ends_with("Write error\n"));
  }
  FUZZ_CHECK(!line.is_open());
  if (corrupt)
    FUZZ_CHECK(line.frames_written().empty());
  const std::string_view consumed(answers.data(), con.input_read);
  judge_frames(line, payload, netnum,
               cfg.direct == PROG && operator_said_yes(consumed) && !corrupt);

  // What the loader told the operator, against what the device holds.
  const auto s = line.model().summary();
  const std::string said = "расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): ";
  const size_t asked = con.out.find(said);
  const bool matched = asked != std::string::npos &&
                       con.out.find("Контрольная сумма совпала\n", asked) != std::string::npos;
  if (asked != std::string::npos) {
    // "совпала" exactly when the device answered the image's checksum.
    const uint32_t answered = std::strtoul(con.out.c_str() + asked + said.size(), nullptr, 16);
    FUZZ_CHECK(matched == (answered == true_crc));
  }
  const bool confirmed = con.out.find("Подтверждение получено\n") != std::string::npos;
  if (matched)
    FUZZ_CHECK(std::equal(plain.begin(), plain.end(), line.model().flash().begin() + 0x1000));
  // Each page is erased once, the first twice, and again only after a reply that did not
  // arrive in time or whole: a few faults, or every erase when the device is slow.
  const uint32_t pages = pages_needed(static_cast<uint32_t>(image));
  FUZZ_CHECK(s.erase_operations <= (pages + 1) * (slow_erase ? 3 : 1) + 16);
  FUZZ_CHECK(!s.app_started || matched);
  FUZZ_CHECK(!confirmed || s.app_started);
  release_container(con, c);
  // For a person replaying one input: what the loader printed.
  if (std::getenv("KORVEL_FUZZ_SHOW") != nullptr)
    std::fprintf(stderr, "%s\n[stderr]\n%s\n[%zu frames, status %d]\n", con.out.c_str(),
                 con.err.c_str(), line.frames_written().size(), rc);
  return 0;
}
