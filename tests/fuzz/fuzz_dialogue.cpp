// The whole dialogue in virtual time. The port and the clock are this target's own: every
// command frame the loader writes takes one byte of the input, which decides what the device
// puts on the line in answer (a good reply, a refusal, another address, a broken CRC, raw
// bytes, silence, a split or doubled reply, noise before it, when it comes, an echo of the
// frame ahead of it) and whether the next read fails. The operator's answers, the container
// and the pacing (documented or reply-driven) come from the first bytes.
//
// Termination: a write that finds the input used up fails, as a pulled adapter would, and
// the loader must then end with "Write error". A silent port instead would keep the
// activation search going for ever, which is what that search is meant to do on a real
// line, so silence cannot be what ends a run here. Since every pass of the dialogue either
// writes a frame or reads an answer of the operator, both finite, the number of pauses is
// bounded by the input; going past that bound means a pass that does neither, a real hang.
#include <algorithm>
#include <bitset>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "container/container.h"
#include "container/container_format.h"
#include "dialogue.h"
#include "frontend.h"
#include "fuzz_support.h"
#include "lib/endian.h"
#include "line_rate.h"
#include "link/protocol.h"
#include "port_stage.h"

using namespace korvel;

namespace {

using zemlot::kByteUs;

struct Reader {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  bool empty() const { return at >= n; }
  uint8_t byte() { return at < n ? p[at++] : 0; }
};

struct NetnumCase {
  const char* text;
  int64_t value;
};
// What the loader should make of each argument (atoi-like, saturating).
constexpr NetnumCase kNetnums[] = {
    {"1", 1},
    {"1", 1},
    {"1", 1},
    {"1", 1},
    {"0", 0},
    {"255", 255},
    {"256", 256},
    {"-1", -1},
    {" +7", 7},
    {"12abc", 12},
    {"2147483648", 2147483647},
    {"-2147483649", -2147483648LL},
    {"", 0},
    {"x", 0},
    {"\t3", 3},
    {"257", 257},
};

const char* const kAnswers[] = {"Y\n", "N\n", "", "Y", "Y\r\n", "y\nY\n", "x\n\nN\n", "YES\nY\n"};

// Whether the operator's input read so far holds a line that is exactly "Y".
bool operator_said_yes(std::string_view consumed) {
  size_t start = 0;
  while (start < consumed.size()) {
    size_t end = consumed.find('\n', start);
    if (end == std::string_view::npos)
      end = consumed.size();
    std::string_view line = consumed.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line == "Y")
      return true;
    start = end + 1;
  }
  return false;
}

struct Run {
  // The container.
  std::vector<uint8_t> payload;
  uint32_t crc_decrypted = 0;
  uint32_t blocks = 0;
  uint32_t pages = 0;
  bool programming = false;
  int64_t netnum = 0;
};

class FuzzLine final : public SerialPort, public Clock {
 public:
  FuzzLine(Reader& in, const Run& run, fuzz::RecordingConsole& con)
      : in_(in), run_(run), con_(con), block_ok_(run.blocks, false) {}

  // --- the clock ---
  void sleep_ms(uint32_t ms) override {
    ++sleeps_;
    FUZZ_CHECK(sleeps_ <= 4 * (writes_ + con_.input_read + 8));
    now_us_ += uint64_t{ms} * 1000;
  }
  uint64_t now_us() const override { return now_us_; }

  // --- the port ---
  bool open(const char*) override {
    FUZZ_CHECK(!open_);
    open_ = true;
    return true;
  }
  bool read_settings() override { return open_; }
  bool apply_line_settings(int32_t baud) override {
    FUZZ_CHECK(baud == 9600);
    return open_;
  }
  bool apply_timeouts() override { return open_; }
  bool close() override {
    FUZZ_CHECK(open_ && !closed_);
    closed_ = true;
    return true;
  }
  void discard_input() override {
    FUZZ_CHECK(open_ && !closed_);
    while (!arrivals_.empty() && arrivals_.front().first <= now_us_)
      arrivals_.pop_front();
  }

  bool write(const uint8_t* f, uint32_t n) override {
    FUZZ_CHECK(open_ && !closed_);
    FUZZ_CHECK(!write_failed_);
    FUZZ_CHECK(n == static_cast<uint32_t>(kCommandFrameSize));
    ++writes_;
    judge_frame(f);
    last_ = Sent{f[kCmdCode], load_le32(f + kCmdArg)};

    if (in_.empty()) {
      write_failed_ = true;
      return false;
    }
    const uint8_t op = in_.byte();
    if ((op & 0x0F) == 0x0F) {
      write_failed_ = true;
      return false;
    }
    // An adapter that hears its own transmission hands the frame back as it goes out.
    if ((op & 0x0F) == 5)
      put({f, f + kCommandFrameSize}, now_us_);
    frame_.assign(f, f + kCommandFrameSize);
    now_us_ += kCommandFrameSize * kByteUs;
    answer(f, op);
    return true;
  }

  bool read(uint8_t* buf, uint32_t n, uint32_t* got) override {
    return take(buf, n, got, std::nullopt);
  }
  bool read_until(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) override {
    return take(buf, n, got, wait_ms);
  }

  // A read of the port's own time limit, or (with wait_ms) one that waits for all n bytes.
  bool take(uint8_t* buf, uint32_t n, uint32_t* got, std::optional<uint32_t> wait_ms) {
    FUZZ_CHECK(open_ && !closed_);
    // A reply, or the rest of what may be the echo of the frame just sent.
    const bool rest = n == static_cast<uint32_t>(kCommandFrameSize - kReplyFrameSize);
    FUZZ_CHECK(n == static_cast<uint32_t>(kReplyFrameSize) || (rest && echo_head_));
    FUZZ_CHECK(got != nullptr);
    *got = 0;
    if (fail_next_read_) {
      fail_next_read_ = false;
      last_.reset();
      echo_head_.reset();
      return false;
    }
    size_t ready = arrived();
    if (ready == 0 || (wait_ms && ready < n)) {
      // Wait for n bytes or the time limit (21 + n ms when nothing is waiting), whichever is
      // first.
      const uint64_t deadline = now_us_ + uint64_t{wait_ms ? *wait_ms : 21 + n} * 1000;
      now_us_ = arrivals_.size() >= n && arrivals_[n - 1].first <= deadline ? arrivals_[n - 1].first
                                                                            : deadline;
      ready = arrived();
    }
    const size_t k = std::min<size_t>(ready, n);
    for (size_t i = 0; i < k; ++i) {
      buf[i] = arrivals_.front().second;
      arrivals_.pop_front();
    }
    *got = static_cast<uint32_t>(k);
    if (rest) {
      // The whole frame came back: the loader drops it unjudged and reads the reply next.
      if (k == n && std::equal(buf, buf + n, frame_.begin() + kReplyFrameSize)) {
        echo_head_->undo(*this);
      }
      echo_head_.reset();
      return true;
    }
    echo_head_.reset();
    if (k == n && last_ && std::equal(buf, buf + n, frame_.begin()))
      echo_head_ = Judged(*this);
    // The loader judges all seven bytes of its buffer, whatever this read brought.
    judge_reply(buf);
    return true;
  }

  // --- what the console says, against what happened on the line ---
  void on_text(std::string_view t) {
    if (t.find("Контрольная сумма совпала") != std::string_view::npos && crc_sent_) {
      FUZZ_CHECK(crc_answer_ && *crc_answer_ == run_.crc_decrypted);
      crc_matched_ = true;
    }
    if (t.find("Контрольная сумма не совпала") != std::string_view::npos && crc_sent_) {
      FUZZ_CHECK(crc_answer_ && *crc_answer_ != run_.crc_decrypted);
    }
    if (t.find("Все блоки записаны") != std::string_view::npos) {
      FUZZ_CHECK(std::all_of(block_ok_.begin(), block_ok_.end(), [](bool b) { return b; }));
    }
    if (t.find("Подтверждение получено") != std::string_view::npos) {
      FUZZ_CHECK(goto_ok_);
    }
  }

  bool write_failed() const { return write_failed_; }
  bool closed() const { return closed_; }
  size_t writes() const { return writes_; }

 private:
  struct Sent {
    uint8_t code;
    uint32_t arg;
  };

  // What judging a reply may change, kept so that a judgement of bytes the loader then finds
  // to be an echo can be taken back.
  struct Judged {
    explicit Judged(const FuzzLine& l)
        : last(l.last_),
          erased(l.erased_),
          block_ok(l.block_ok_),
          block_refused(l.block_refused_),
          crc_answer(l.crc_answer_),
          goto_ok(l.goto_ok_) {}
    void undo(FuzzLine& l) const {
      l.last_ = last;
      l.erased_ = erased;
      l.block_ok_ = block_ok;
      l.block_refused_ = block_refused;
      l.crc_answer_ = crc_answer;
      l.goto_ok_ = goto_ok;
    }
    std::optional<Sent> last;
    std::bitset<kFlashPages> erased;
    std::vector<bool> block_ok;
    bool block_refused;
    std::optional<uint32_t> crc_answer;
    bool goto_ok;
  };

  size_t arrived() const {
    size_t k = 0;
    while (k < arrivals_.size() && arrivals_[k].first <= now_us_)
      ++k;
    return k;
  }

  // Puts bytes on the line from the device's side, after whatever it is still sending and
  // gap_us of silence.
  void put(const std::vector<uint8_t>& bytes, uint64_t at_us, uint64_t gap_us = 0) {
    const uint64_t start = device_side_.place(at_us, gap_us, bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
      arrivals_.emplace_back(device_side_.byte_arrival(start, i), bytes[i]);
  }

  std::vector<uint8_t> reply(uint8_t addr, uint8_t code, uint32_t value) const {
    std::vector<uint8_t> r(kReplyFrameSize);
    r[kRepAddr] = addr;
    r[kRepCode] = code;
    store_be32(&r[kRepValue], value);
    r[kRepCrc] = fuzz::reference_crc8(r.data(), kRepCrc);
    return r;
  }

  uint32_t good_value(uint8_t code) const {
    switch (code) {
      case CMD_GET_BLID:
        return 2;
      case CMD_GET_KEYID:
        return 0x33;
      case CMD_GET_CRC:
        return run_.crc_decrypted;
      default:
        return 0;
    }
  }

  void answer(const uint8_t* f, uint8_t op) {
    const uint8_t addr = f[kCmdAddr];
    const uint8_t code = f[kCmdCode];
    const int kind = op & 0x0F;
    const int timing = (op >> 4) & 3;
    static constexpr uint32_t kPrompt = 2;
    uint32_t delay_ms = kPrompt;
    if (timing == 2)
      delay_ms = 60 + in_.byte() % 80;  // about when the read looks: may come in pieces
    else if (timing == 3)
      delay_ms = 100 + 2u * in_.byte();  // after the read has given up, or much later
    const uint64_t at = now_us_ + uint64_t{delay_ms} * 1000;
    if (op & 0x40) {
      std::vector<uint8_t> noise(1 + in_.byte() % 3);
      for (auto& b : noise)
        b = in_.byte();
      put(noise, at);
    }
    fail_next_read_ = (op & 0x80) != 0;

    std::vector<uint8_t> r = reply(addr, code, good_value(code));
    switch (kind) {
      case 6: {
        uint8_t v[4];
        for (auto& b : v)
          b = in_.byte();
        r = reply(addr, code, load_be32(v));
        break;
      }
      case 7:
        r = reply(addr, in_.byte(), 0);
        break;
      case 8:
        r = reply(static_cast<uint8_t>(addr + 1), code, good_value(code));
        break;
      case 9:
        r[kRepCrc] = static_cast<uint8_t>(r[kRepCrc] ^ (1 + in_.byte() % 255));
        break;
      case 10:
        for (auto& b : r)
          b = in_.byte();
        break;
      case 11:
        return;
      case 12: {
        const size_t first = 1 + in_.byte() % 6;
        const uint64_t gap_ms = in_.byte() % 200;
        put({r.begin(), r.begin() + static_cast<std::ptrdiff_t>(first)}, at);
        put({r.begin() + static_cast<std::ptrdiff_t>(first), r.end()}, at, gap_ms * 1000);
        return;
      }
      case 13:
        put(r, at);
        break;
      case 14:
        if (code == CMD_GET_CRC)
          r = reply(addr, code, run_.crc_decrypted ^ (1u << (in_.byte() % 32)));
        break;
      default:
        break;
    }
    put(r, at);
  }

  // Every frame the loader tries to send, before the port has a say.
  void judge_frame(const uint8_t* f) {
    FUZZ_CHECK(f[kCmdCrc] == fuzz::reference_crc8(f, kCmdCrc));
    FUZZ_CHECK(f[kCmdAddr] == static_cast<uint8_t>(run_.netnum & 0xFF));
    FUZZ_CHECK(f[2] == 0);
    // Nothing goes out after the device refused a block.
    FUZZ_CHECK(!block_refused_);
    const uint8_t code = f[kCmdCode];
    const uint32_t arg = load_le32(f + kCmdArg);
    switch (code) {
      case CMD_ACTIVATE:
      case CMD_GET_BLID:
      case CMD_GET_KEYID:
        FUZZ_CHECK(arg == 0);
        return;
      case CMD_UNBLOCK_FLASH:
      case CMD_ERASE_PAGE:
      case CMD_WRITE_BLOCK:
      case CMD_GET_CRC:
      case CMD_GOTO_APPLICATION:
        break;
      default:
        FUZZ_CHECK(!"unknown command code");
    }
    // Touching the flash takes programming mode and the operator's "Y".
    FUZZ_CHECK(run_.programming);
    const std::string_view consumed(con_.input().data(), con_.input_read);
    FUZZ_CHECK(operator_said_yes(consumed));

    if (code == CMD_ERASE_PAGE) {
      FUZZ_CHECK(arg >= FLASH_BASE && (arg - FLASH_BASE) % PAGE_SIZE == 0);
      const uint32_t page = (arg - FLASH_BASE) / PAGE_SIZE;
      FUZZ_CHECK(page >= kBootloaderPages && page < kFlashPages);
      // Only the pages the image lands in, and none at all for an image that cannot fit or
      // holds no whole block.
      FUZZ_CHECK(run_.pages <= kAppPages && run_.blocks > 0);
      FUZZ_CHECK(page < kBootloaderPages + run_.pages);
    } else if (code == CMD_WRITE_BLOCK) {
      FUZZ_CHECK(arg >= APP_START && (arg - APP_START) % BLOCK_SIZE == 0);
      FUZZ_CHECK(arg <= FLASH_BASE + kFlashPages * PAGE_SIZE - BLOCK_SIZE);
      const uint32_t block = (arg - APP_START) / BLOCK_SIZE;
      FUZZ_CHECK(block < run_.blocks);
      const uint32_t page = (arg - FLASH_BASE) / PAGE_SIZE;
      FUZZ_CHECK(erased_.test(page));
      FUZZ_CHECK(std::memcmp(f + kCmdData, run_.payload.data() + size_t{block} * BLOCK_SIZE,
                             BLOCK_SIZE) == 0);
      // In order: the same block again, or the next once this one was confirmed.
      if (!highest_block_) {
        FUZZ_CHECK(block == 0);
      } else {
        FUZZ_CHECK(block == *highest_block_ ||
                   (block == *highest_block_ + 1 && block_ok_[*highest_block_]));
      }
      highest_block_ = block;
    } else if (code == CMD_GET_CRC) {
      FUZZ_CHECK(arg == APP_START);
      FUZZ_CHECK(load_le32(f + kCmdData + 4) == run_.payload.size());
      FUZZ_CHECK(std::all_of(block_ok_.begin(), block_ok_.end(), [](bool b) { return b; }));
      crc_sent_ = true;
    } else if (code == CMD_GOTO_APPLICATION) {
      FUZZ_CHECK(arg == 0);
      FUZZ_CHECK(crc_matched_);
    }
  }

  // The loader's buffer right after a read, as the loader is about to judge it.
  void judge_reply(const uint8_t* rx) {
    if (!last_)
      return;
    const Sent s = *last_;
    last_.reset();
    const bool accepted = rx[kRepCrc] == fuzz::reference_crc8(rx, kRepCrc) && run_.netnum >= 0 &&
                          run_.netnum <= 255 && rx[kRepAddr] == run_.netnum;
    const uint8_t code = rx[kRepCode];
    switch (s.code) {
      case CMD_ERASE_PAGE:
        if (accepted && code == CMD_ERASE_PAGE)
          erased_.set((s.arg - FLASH_BASE) / PAGE_SIZE);
        break;
      case CMD_WRITE_BLOCK: {
        const uint32_t block = (s.arg - APP_START) / BLOCK_SIZE;
        if (accepted && code == CMD_WRITE_BLOCK)
          block_ok_[block] = true;
        else if (accepted)
          block_refused_ = true;
        break;
      }
      case CMD_GET_CRC:
        crc_answer_.reset();
        if (accepted && code == CMD_GET_CRC)
          crc_answer_ = load_be32(rx + kRepValue);
        break;
      case CMD_GOTO_APPLICATION:
        goto_ok_ = accepted && code == CMD_GOTO_APPLICATION;
        break;
      default:
        break;
    }
  }

  Reader& in_;
  const Run& run_;
  fuzz::RecordingConsole& con_;

  uint64_t now_us_ = 0;
  zemlot::LineRate device_side_{kByteUs};
  std::deque<std::pair<uint64_t, uint8_t>> arrivals_;
  bool fail_next_read_ = false;
  bool open_ = false;
  bool closed_ = false;
  bool write_failed_ = false;
  size_t writes_ = 0;
  size_t sleeps_ = 0;

  std::optional<Sent> last_;
  std::vector<uint8_t> frame_;       // the last frame written
  std::optional<Judged> echo_head_;  // the last read brought the frame's first seven bytes
  std::bitset<kFlashPages> erased_;
  std::vector<bool> block_ok_;
  std::optional<uint32_t> highest_block_;
  bool block_refused_ = false;
  bool crc_sent_ = false;
  std::optional<uint32_t> crc_answer_;
  bool crc_matched_ = false;
  bool goto_ok_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::ScratchFile file;
  Reader in{data, size};

  const uint8_t setup = in.byte();
  const uint8_t s1 = in.byte();
  const uint8_t s2 = in.byte();
  const uint8_t answer_sel = in.byte();
  const uint8_t seed = in.byte();

  static const char* const kDirectives[] = {"P", "P", "I", "X"};
  const char* directive = kDirectives[setup & 3];
  const NetnumCase& nn = kNetnums[(setup >> 2) & 15];
  const bool corrupt = (setup & 0x40) != 0;
  // Up to three pages most of the time; now and then around the whole application area, on
  // both sides of 60 pages.
  const bool whole_area = (setup & 0x80) && (s1 & 0xC0) == 0xC0;
  const size_t image = whole_area ? 60 * 1024 - 16 + s2 % 40 : ((s1 << 8) | s2) % 2100;

  std::string answers;
  if (answer_sel & 0x80) {
    answers.resize(answer_sel & 15);
    for (auto& c : answers)
      c = static_cast<char>(in.byte());
  } else {
    answers = kAnswers[answer_sel % std::size(kAnswers)];
  }

  Run run;
  run.netnum = nn.value;
  run.programming = directive == std::string_view("P");
  run.payload.resize(image);
  for (size_t i = 0; i < image; ++i)
    run.payload[i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 8));
  run.crc_decrypted = 0x5EED0000u ^ (uint32_t{seed} * 0x01010101u) ^ static_cast<uint32_t>(image);
  run.blocks = static_cast<uint32_t>(image / 8);
  run.pages = static_cast<uint32_t>((image + 1023) / 1024);

  std::vector<uint8_t> cct(sizehead, 0);
  ContainerHeader h;
  h.creator_version = 1;
  h.crc_decrypted = run.crc_decrypted;
  h.crc_BIN = fuzz::reference_crc32(run.payload.data(), image) ^ (corrupt ? 1u : 0u);
  h.UNIXtimestamp = 1765051182;
  encode_header(h, cct.data());
  cct.insert(cct.end(), run.payload.begin(), run.payload.end());
  file.set(cct.data(), cct.size());

  fuzz::RecordingConsole con(answers);
  FuzzLine line(in, run, con);
  con.on_text = [&line](Stream s, std::string_view t) {
    if (s == Stream::Out)
      line.on_text(t);
  };

  // The run as the loader's front end drives it, but with the container released on every
  // path: the front end leaves it to the process's end after a failed write.
  const char* argv[] = {"korvel", "FUZZ", nn.text, file.path(), directive};
  RunConfig cfg;
  FUZZ_CHECK(parse_arguments(5, argv, cfg));
  if (answer_sel & 0x40)
    cfg.pacing = PACING_REPLY;
  FUZZ_CHECK(cfg.netnum == run.netnum);
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
  const int rc = run_dialogue(d, verdict);
  if (rc == 0) {
    FUZZ_CHECK(!line.write_failed());
    FUZZ_CHECK(close_port(line, con) == 0);
  } else {
    // Only a failed write ends the dialogue early, and it says so and lets the port go.
    FUZZ_CHECK(rc == 1);
    FUZZ_CHECK(line.write_failed());
    FUZZ_CHECK(con.err.size() >= 12 &&
               con.err.compare(con.err.size() - 12, 12, "Write error\n") == 0);
  }
  FUZZ_CHECK(line.closed());
  if (corrupt)
    FUZZ_CHECK(line.writes() == 0);
  release_container(con, c);
  // For a person replaying one input: what the loader printed.
  if (std::getenv("KORVEL_FUZZ_SHOW") != nullptr)
    std::fprintf(stderr, "%s\n[stderr]\n%s\n[%zu frames, status %d]\n", con.out.c_str(),
                 con.err.c_str(), line.writes(), rc);
  return 0;
}
