// The dialogue in virtual time against the emulator's model, its faults, the arguments, image,
// answers and a failing write drawn from the input. A looping run runs out of time: a throw.
#include <algorithm>
#include <cstring>
#include <vector>

#include "capture_console.h"
#include "container/container.h"
#include "dialogue/dialogue.h"
#include "fuzz_support.h"
#include "in_process.h"
#include "stand_in_cipher.h"
#include "virtual_line.h"
#include "wire/crc32.h"
#include "wire/crc8.h"
#include "wire/endian.h"

using namespace korvel;

namespace {

// What the loader should make of each argument (atoi-like, saturating).
constexpr std::pair<const char*, int64_t> kNetnums[] = {
    {"1", 1},   {"1", 1},      {"1", 1},     {"19", 19},
    {"0", 0},   {"255", 255},  {"256", 256}, {"-1", -1},
    {" +7", 7}, {"12abc", 12}, {"", 0},      {"x", 0},
    {"\t3", 3}, {"257", 257},  {"25", 25},   {"2147483648", 2147483647}};
const char* const kAnswers[] = {"Y\n", "N\n", "", "Y", "Y\r\n", "y\nY\n", "x\n\nN\n", "YES\nY\n"};
// A command drawn from a byte, by its place in the protocol's table.
constexpr uint8_t code_of(uint8_t a) {
  return kCommands[a % std::size(kCommands)].code;
}

// Device faults, each drawn as an operation and two bytes, and what each may cost a run that
// recovers from it, in exchanges. Operation 10 is an echoing adapter.
using Opts = zemlot::Options;
struct Fault {
  void (*apply)(Opts&, uint8_t a, uint8_t b, uint32_t crc);
  uint32_t (*cost)(uint8_t a, uint8_t b);
};
constexpr auto kFew = [](uint8_t, uint8_t) { return 3u; };
constexpr auto kNone = [](uint8_t, uint8_t) { return 0u; };
constexpr Fault kFaults[] = {
    {[](Opts& o, auto a, auto b, auto) {
       o.faults.refuse.push_back({code_of(a), 1u + b % 4, static_cast<uint8_t>(0xE0 | a >> 4)});
     },
     kFew},
    {[](Opts& o, auto a, auto, auto) { o.faults.drop_reply.insert(1u + a % 40); }, kFew},
    {[](Opts& o, auto a, auto b, auto) { o.faults.delay_ms[1u + a % 40] = 2u * b; },
     [](uint8_t, uint8_t b) { return 3u + 2u * b / 100; }},
    {[](Opts& o, auto a, auto, auto) { o.faults.wrong_address.insert(1u + a % 40); }, kFew},
    {[](Opts& o, auto a, auto b, auto) {
       o.faults.noise[1u + a % 40] = std::make_shared<const std::vector<uint8_t>>(1 + b % 3, b);
     },
     kFew},
    {[](Opts& o, auto a, auto b, auto) {
       o.faults.split[1u + a % 40] = {1u + b % 6, a};
     },
     [](uint8_t a, uint8_t) { return 3u + a / 100u; }},
    {[](Opts& o, auto a, auto, auto) { o.faults.silent_first = a % 8; },
     [](uint8_t a, uint8_t) { return 1u + a % 8; }},
    // Never the true value: a device that answers it holds the image.
    {[](Opts& o, auto a, auto, auto crc) { o.faults.crc_answer = crc ^ (1u << a % 32); }, kNone},
    {[](Opts& o, auto a, auto, auto) { o.faults.vanish_after = 1u + a; }, kNone},
    // A device that works up to a second before it answers: far beyond what the protocol allows.
    {[](Opts& o, auto a, auto b, auto) { o.work_ms[code_of(a)] = std::min(1000u, 4u * b); }, kNone},
    {[](Opts&, auto, auto, auto) {}, kNone},
    {[](Opts& o, auto a, auto b, auto) { o.bootloader_version = a | uint32_t{b} << 24; }, kNone},
    // The line: what a busy device does with a frame, a USB adapter's latency, the device's
    // work-time jitter, bytes hit on a long cable; seeded.
    {[](Opts& o, auto a, auto b, auto) {
       o.busy = static_cast<zemlot::Busy>(a % 3);
       o.seed = b;
     },
     kNone},
    {[](Opts& o, auto a, auto, auto) { o.line.latency_ms = a % 2 ? 16 : a % 33; }, kNone},
    {[](Opts& o, auto a, auto b, auto) {
       o.jitter_ms = a % 64;
       o.seed = b;
     },
     kNone},
    {[](Opts& o, auto a, auto b, auto) {
       o.line.byte_errors = 100 + 10u * a;
       o.seed = b;
     },
     kNone},
};

// Whether every reply is whole in the port's queue when the dialogue reads it, on a line
// that garbles nothing of its own accord.
bool inside_window(const Opts& o) {
  const uint32_t late = o.reply_delay_us / 1000 + o.jitter_ms + o.line.latency_ms + 8;
  for (const auto& [code, ms] : o.work_ms)
    if (late + ms > (code == CMD_WRITE_BLOCK ? 69u : 119u))
      return false;
  return late <= 69 && o.line.byte_errors == 0;
}

struct Input {
  std::string netnum_text;
  int64_t netnum = 0;
  bool corrupt = false;
  std::vector<uint8_t> plain, cct;
  std::string answers;
  const char* directive = "P";
  bool by_reply = false, echo = false;
  uint8_t writes = 0, failed_read = 0;
  uint32_t resend = 0;   // KORVEL_RESEND
  bool compare = false;  // KORVEL_COMPARE
  Opts device;
  uint32_t fault_cost = 0;  // what the transient faults may cost, in exchanges
};

Input draw(const uint8_t* data, size_t size) {
  fuzz::Reader in{data, size};
  Input r;
  const uint8_t setup = in.byte(), s1 = in.byte(), s2 = in.byte(), answer_sel = in.byte();
  const uint8_t seed = in.byte();
  r.writes = in.byte();
  r.failed_read = in.byte();
  r.netnum_text = kNetnums[(setup >> 2) & 15].first;
  r.netnum = kNetnums[(setup >> 2) & 15].second;
  r.corrupt = (setup & 0x40) != 0;
  const uint32_t image =
      (setup & 0x80) && (s1 & 0xC0) == 0xC0 ? 60 * 1024 - 16 + s2 % 40 : ((s1 << 8) | s2) % 2100;
  r.answers = kAnswers[answer_sel % std::size(kAnswers)];
  r.answers.resize(answer_sel & 0x80 ? answer_sel & 15 : r.answers.size());
  for (size_t i = 0; answer_sel & 0x80 && i < r.answers.size(); ++i)
    r.answers[i] = static_cast<char>(in.byte());
  r.by_reply = (answer_sel & 0x40) != 0;
  r.directive = setup % 4 == 2 ? "I" : setup % 4 == 3 ? "X" : "P";
  r.plain.resize(image);
  r.cct.assign(sizehead + image, 0);
  for (size_t i = 0; i < image; ++i)
    r.plain[i] = r.cct[sizehead + i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 8));
  cipher::encipher(cipher::kDefaultKey, &r.cct[sizehead], image);
  const uint32_t true_crc = crc32(r.plain.data(), image);
  encode_header({1, true_crc, crc32(&r.cct[sizehead], image) ^ r.corrupt, 0}, r.cct.data());
  r.device.netnum = static_cast<int32_t>(r.netnum);
  for (int i = 0; i < 6 && in.n > 0; ++i) {
    const uint8_t op = in.byte() % std::size(kFaults), a = in.byte(), b = in.byte();
    kFaults[op].apply(r.device, a, b, true_crc);
    r.fault_cost += kFaults[op].cost(a, b);
    r.echo = r.echo || op == 10;
  }
  r.fault_cost += (r.failed_read & 0x80) ? 3 : 0;
  // The device as devices are: what it does after the jump, flash that refuses or takes a
  // rewrite, work after its reply; a bad CRC-8 on one reply; blocks sent again.
  const uint8_t as_is = in.byte(), more = in.byte();
  r.device.after_goto = static_cast<zemlot::AfterGoto>(as_is % 3);
  r.device.rewrite = (as_is & 4) ? zemlot::Rewrite::And : zemlot::Rewrite::Refuse;
  if (as_is & 8)
    r.device.busy_after_reply_ms[code_of(more)] = more >> 3;
  if (as_is & 0x80)
    r.device.faults.bad_crc.insert(1u + more % 40);
  r.resend = (as_is >> 4) % 8 == 7 ? kMaxResend : (as_is >> 4) % 8;
  // KORVEL_COMPARE, against a device that holds the image or not, and answers the query before
  // the flash is unlocked or not.
  const uint8_t compare = in.byte();
  r.compare = (compare & 1) != 0;
  r.device.crc_before_unlock = static_cast<zemlot::CrcBeforeUnlock>((compare >> 1) % 3);
  if (compare & 8)
    r.device.holds = r.plain;
  // A refused comparison is no comparison: the image is written as without it, however little
  // the device held.
  for (const zemlot::Refusal& f : r.device.faults.refuse)
    if (r.compare && f.code == CMD_GET_CRC)
      r.fault_cost += 20000;
  // A device that has jumped answers no more: a lost confirmation costs the bounded jump.
  r.fault_cost += r.device.after_goto != zemlot::AfterGoto::Bootloader ? kGotoAttempts : 0;
  r.fault_cost += r.device.faults.bad_crc.empty() ? 0 : 3;
  return r;
}

struct Run {
  int rc = 0;
  testing::CaptureConsole con;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint64_t> times;  // when each frame's write began
  zemlot::Summary device;
  std::vector<uint8_t> app;  // the device's application area afterwards
  bool wrote_all = false, closed = false;
};

// The whole run, as the program runs it.
void play(const Input& r, const Opts& device, bool failures, Run& out) {
  static fuzz::ScratchFile file;
  file.set(r.cct.data(), r.cct.size());
  testing::VirtualLine line(device);
  line.echo(r.echo);
  line.fail_write_at(failures ? 8u + r.writes : 0);
  line.fail_read_after(failures && (r.failed_read & 0x80) ? r.failed_read & 0x7F : 0);
  out.con.input = r.answers;
  const std::string resend = std::to_string(r.resend);
  const testing::Ran ran = testing::run_in_process(
      line, out.con, {"korvel", "FUZZ", r.netnum_text, file.path, r.directive},
      {.pacing = r.by_reply ? "reply" : "",
       .resend = resend.c_str(),
       .compare = r.compare ? "1" : "0"});
  out.rc = ran.status;
  out.wrote_all = line.write_calls() == line.frames_written().size();
  out.closed = !ran.port_left_open && out.con.err == "Закрываю СОМ порт... OK\n";
  out.frames = line.frames_written();
  out.times = line.write_times();
  out.device = line.model().summary();
  out.app.assign(line.model().flash().begin() + (APP_START - FLASH_BASE),
                 line.model().flash().end());
}

// Whether every frame the device gets is answered within the read, the documented way: prompt.
// (A device that has jumped to its application answers nothing more.)
bool prompt_device(const Opts& o) {
  return inside_window(o) && o.faults.delay_ms.empty() && o.faults.split.empty() &&
         o.faults.drop_reply.empty() && o.busy_after_reply_ms.empty() &&
         o.after_goto == zemlot::AfterGoto::Bootloader &&
         o.crc_before_unlock != zemlot::CrcBeforeUnlock::Ignore;
}

// Every gap between two frames is the documented one: the frame on the wire, the pauses and
// at most the read's 28 ms; under reply pacing no more than the documented deadline and the
// 4 ms the device takes to let go of the line. The gap after the last query before the prompt
// (the key's, or the comparison's) may hold the operator's answers, and a failed write ends
// the run.
bool documented_spacing(const Run& run, bool by_reply, bool compare) {
  constexpr uint64_t kFrame = 16667, kSlack = 200;
  for (size_t i = 1; i < run.times.size(); ++i) {
    const uint8_t code = run.frames[i - 1][1];
    if (code == CMD_GET_KEYID || (compare && code == CMD_GET_CRC))
      continue;
    const uint64_t pauses = code == CMD_WRITE_BLOCK ? 69000 : 119000;
    const uint64_t gap = run.times[i] - run.times[i - 1];
    const uint64_t most = kFrame + pauses + 28000 + (by_reply ? 4000 : 0) + kSlack;
    if (gap > most || (!by_reply && gap + kSlack < kFrame + pauses)) {
      std::fprintf(stderr, "frame %zu (%02x) went out %llu us after the one before\n", i, code,
                   static_cast<unsigned long long>(gap));
      return false;
    }
  }
  return true;
}

uint32_t count_of(const zemlot::Summary& s, uint8_t code) {
  const auto it = s.by_code.find(code);
  return it == s.by_code.end() ? 0 : it->second;
}

// How many block frames went out right after the same one.
uint32_t blocks_sent_again(const std::vector<std::vector<uint8_t>>& frames) {
  uint32_t n = 0;
  for (size_t i = 1; i < frames.size(); ++i)
    n += frames[i][1] == CMD_WRITE_BLOCK && frames[i] == frames[i - 1];
  return n;
}

// The longest run of one frame sent again and again, the search for the device aside.
size_t longest_repeat(const std::vector<std::vector<uint8_t>>& frames) {
  size_t longest = 0, run = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    run = i > 0 && frames[i] == frames[i - 1] && frames[i][1] != CMD_ACTIVATE ? run + 1 : 1;
    longest = std::max(longest, run);
  }
  return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input r = draw(data, size);
  Run run;
  play(r, r.device, true, run);
  const std::string& out = run.con.out;
  FUZZ_CHECK(run.rc == 0 ? run.wrote_all && run.closed
                         : run.rc == 1 && !run.wrote_all && run.con.err.ends_with("Write error\n"));
  FUZZ_CHECK((out.find("Проверьте целостность файла") != out.npos) == r.corrupt);
  // Past the key exchange only in programming mode after the line "Y", with a sound container
  // and a network number that a reply can match.
  std::string said(r.answers, 0, run.con.input_read);
  std::erase(said, '\r');
  const bool may_touch_flash = std::string(r.directive) == "P" &&
                               ("\n" + said + "\n").find("\nY\n") != said.npos && !r.corrupt &&
                               r.netnum >= 0 && r.netnum <= 255;
  const uint32_t image = static_cast<uint32_t>(r.plain.size());
  const uint32_t blocks = image / 8, pages = pages_needed(image);
  const uint8_t* payload = &r.cct[sizehead];
  int64_t last_block = -1;
  std::vector<bool> erased(pages, false);
  for (const auto& f : run.frames) {
    FUZZ_CHECK(f.size() == 16 && f[15] == dallas_crc8(&f[0], 15) && f[0] == (r.netnum & 0xFF));
    const uint8_t code = f[1];
    const uint32_t at = load_le32(&f[3]) - APP_START;
    // The comparison only reads, and a device that holds the image is only started.
    const bool unchanged = out.find("запись не нужна\n") != out.npos;
    FUZZ_CHECK(may_touch_flash || code == CMD_ACTIVATE || code == CMD_GET_BLID ||
               code == CMD_GET_KEYID || (r.compare && code == CMD_GET_CRC) ||
               (unchanged && code == CMD_GOTO_APPLICATION));
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
  // The device refuses nothing of its own accord (a write to a page not erased, an erase
  // outside the application area): the loader never asks for what it must not, unless a frame
  // hit on the line still passed its CRC-8.
  // Flash that refuses a rewrite refuses only a block sent again.
  const zemlot::Summary& s = run.device;
  // and a checksum query before the unlock, the comparison's, a device may refuse.
  const uint32_t queries_refused =
      r.compare && r.device.crc_before_unlock != zemlot::CrcBeforeUnlock::Answer
          ? count_of(s, CMD_GET_CRC)
          : 0;
  FUZZ_CHECK(s.own_refusals <= s.rewrites_refused + queries_refused ||
             r.device.line.byte_errors != 0);
  FUZZ_CHECK(s.own_refusals >= s.rewrites_refused);
  FUZZ_CHECK(s.rewrites_refused <= blocks_sent_again(run.frames));
  FUZZ_CHECK(s.erase_operations <= (pages + 1) * 16 + 64);
  // What the report says is what the device said: a refusal was made, the checksum shown last
  // is the one the device sent for the last query (a comparison may have asked before), and
  // "совпала" or "совпадает" exactly when that is the image's.
  const bool write_refused = out.find("Ошибка записи") != out.npos;
  FUZZ_CHECK(!write_refused || s.refused > 0);
  const std::string query = "расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): ";
  const size_t asked = out.rfind(query);
  const uint32_t shown =
      asked == out.npos ? 0 : std::strtoul(&out[asked + query.size()], nullptr, 16);
  const uint32_t true_crc = crc32(r.plain.data(), image);
  FUZZ_CHECK(asked == out.npos || shown == r.device.faults.crc_answer.value_or(s.checked_crc));
  // The last query's verdict: the checksum's (programming) or the comparison's.
  const bool matched = out.find("Контрольная сумма совпала\n", asked) != out.npos;
  const bool same = out.find("Образ в приборе совпадает", asked) != out.npos;
  const bool other = out.find("Образ в приборе отличается", asked) != out.npos;
  FUZZ_CHECK(asked == out.npos || (matched || same) == (shown == true_crc));
  FUZZ_CHECK(!other || shown != true_crc);
  FUZZ_CHECK(!matched || std::equal(r.plain.begin(), r.plain.end(), run.app.begin()));
  FUZZ_CHECK(!s.app_started || matched);
  FUZZ_CHECK(out.find("Подтверждение получено\n") == out.npos || s.app_started);
  FUZZ_CHECK(out.find("Подтверждение не получено\n") == out.npos || matched);
  // A device said to hold the container's image holds it, and is not written.
  const bool held = out.find("Образ в приборе совпадает с криптоконтейнером") != out.npos;
  FUZZ_CHECK(!held || (std::equal(r.plain.begin(), r.plain.end(), run.app.begin()) &&
                       s.blocks_written == 0 && s.erase_operations == 0));
  // Alive: no frame goes out again and again but in the search for the device; and a device
  // that answers within its window costs a transient fault a few exchanges, no more.
  FUZZ_CHECK(longest_repeat(run.frames) <= 24);
  // A device that is always prompt, whatever it answers, is spoken to at the documented pace.
  FUZZ_CHECK(!prompt_device(r.device) || documented_spacing(run, r.by_reply, r.compare));
  if (inside_window(r.device) && r.netnum >= 0 && r.netnum <= 255) {
    Opts steady = r.device;
    steady.faults = {};
    steady.faults.crc_answer = r.device.faults.crc_answer;
    Run twin;
    play(r, steady, false, twin);
    FUZZ_CHECK(run.frames.size() <= twin.frames.size() + r.fault_cost);
  }
  return 0;
}
