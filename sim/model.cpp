#include "model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "wire/crc32.h"
#include "wire/crc8.h"
#include "wire/endian.h"

namespace zemlot {

using namespace korvel;

namespace {

std::string format(const char* fmt, auto... args) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// The decoded meaning of an accepted frame, for traces.
std::string describe(const uint8_t* f) {
  const uint8_t code = f[kCmdCode];
  const uint32_t arg = load_le32(f + kCmdArg);
  const char* name = command_name(code);
  switch (code) {
    case CMD_ERASE_PAGE:
      if (arg >= FLASH_BASE && arg < kFlashEnd && (arg - FLASH_BASE) % PAGE_SIZE == 0) {
        return format("%s page %u (0x%08x)", name, (arg - FLASH_BASE) / PAGE_SIZE, arg);
      }
      return format("%s 0x%08x (not a page start)", name, arg);
    case CMD_WRITE_BLOCK:
      if (arg >= APP_START && arg < kFlashEnd && arg % BLOCK_SIZE == 0) {
        return format("%s block %u (0x%08x)", name, (arg - APP_START) / BLOCK_SIZE, arg);
      }
      return format("%s 0x%08x (not a block of the application area)", name, arg);
    case CMD_GET_CRC:
      return format("%s 0x%08x size %u", name, arg, load_le32(f + kCmdData + 4));
    default:
      if (name == nullptr) {
        return format("unknown command 0x%02x", code);
      }
      return name;
  }
}

// What a reply is, for traces: "#3 ok", "#4 refused: e1 flash locked (wrong address)".
std::string reply_note(uint32_t n, uint8_t code, uint8_t answered, bool wrong_address) {
  std::string what;
  if (answered == code) {
    what = "ok";
  } else {
    const char* why = error_name(answered);
    what = format("refused: %02x %s", answered, why != nullptr ? why : "(forced)");
  }
  if (wrong_address) {
    what += " (wrong address)";
  }
  return format("#%u %s", n, what.c_str());
}

}  // namespace

const char* error_name(uint8_t code) {
  switch (code) {
    case kErrLocked:
      return "flash locked";
    case kErrAddress:
      return "address outside the application area or misaligned";
    case kErrNotActivated:
      return "not activated";
    case kErrUnknownCommand:
      return "unknown command";
    case kErrCrcRange:
      return "CRC range outside the flash";
    case kErrNotErased:
      return "page not erased";
    case kErrNotBlank:
      return "flash programmed already";
    default:
      return nullptr;
  }
}

std::string format_summary(const Summary& s) {
  auto count = [&s](uint8_t code) {
    auto it = s.by_code.find(code);
    return it == s.by_code.end() ? 0u : it->second;
  };
  uint32_t unknown = 0;
  for (const auto& [code, n] : s.by_code) {
    if (!is_command_code(code)) {
      unknown += n;
    }
  }
  std::string out = "zemlot-sim summary\n";
  out += format("frames: %u (ignored: %u bad CRC, %u other address, %u silent)\n", s.frames,
                s.bad_crc, s.other_address, s.silent);
  out += format("partial frames dropped: %u\n", s.partial_dropped);
  out += "commands: ";
  for (const CommandInfo& c : kCommands) {
    out += format("%s %u, ", c.summary, count(c.code));
  }
  out += format("unknown %u\n", unknown);
  out += format("refused: %u (own %u)\n", s.refused, s.own_refusals);
  out += format("replies dropped: %u\n", s.replies_dropped);
  out += format("pages erased: %u (erase commands: %u)\n", s.pages_erased, s.erase_operations);
  out += format("blocks written: %u\n", s.blocks_written);
  out += format("rewrites refused: %u\n", s.rewrites_refused);
  out += format("application area CRC-32: %08x\n", s.app_crc);
  if (s.checked_size) {
    out += format("checked image CRC-32: 0x%08x (last checksum query: %u bytes at 0x%08x)\n",
                  s.checked_crc, *s.checked_size, s.checked_from);
  } else {
    out += "checked image CRC-32: none (no checksum query)\n";
  }
  out += format("application started: %s\n", s.app_started ? "yes" : "no");
  out += format("bootloader left: %s\n", s.app_running ? "yes" : "no");
  return out;
}

Model::Model(Options options)
    : opts_(std::move(options)), silent_left_(opts_.faults.silent_first), rng_(opts_.seed) {
  flash_.fill(0xFF);
  const size_t app = APP_START - FLASH_BASE;
  std::copy_n(opts_.holds.begin(), std::min(opts_.holds.size(), flash_.size() - app),
              flash_.begin() + app);
}

void Model::note(std::string line) {
  if (opts_.trace) {
    trace_.push_back(std::move(line));
  }
}

void Model::on_bytes(const uint8_t* data, size_t n, uint64_t now_us) {
  if (app_running_) {
    return;  // the application does not speak the bootloader's protocol
  }
  for (size_t i = 0; i < n && !vanished_; ++i) {
    uint8_t byte = data[i];
    if (reaches_assembler(byte, now_us)) {
      assemble(byte, now_us);
    }
  }
}

bool Model::reaches_assembler(uint8_t& byte, uint64_t now_us) {
  const bool busy = opts_.busy != Busy::Queued && busy_at(now_us);
  if (!busy_run_.empty() && (!busy || now_us - busy_run_us_ > kFrameGapUs)) {
    note_busy_run();
  }
  if (!busy) {
    return true;
  }
  busy_run_.push_back(byte);
  busy_run_us_ = now_us;
  if (busy_run_.size() == static_cast<size_t>(kCommandFrameSize)) {
    note_busy_run();
  }
  if (opts_.busy == Busy::Lost) {
    return false;
  }
  // Inverting a whole frame changes its CRC-8 byte by 0xFF but the CRC-8 of the rest by 0x88
  // (that of fifteen 0xFF bytes): it never passes.
  byte = static_cast<uint8_t>(~byte);
  return true;
}

void Model::note_busy_run() {
  note(format("-> %s (device busy): %s", opts_.busy == Busy::Lost ? "lost" : "garbled",
              hex_bytes(busy_run_.data(), busy_run_.size()).c_str()));
  busy_run_.clear();
}

void Model::assemble(uint8_t byte, uint64_t now_us) {
  if (!partial_.empty() && now_us - last_byte_us_ > kFrameGapUs) {
    ++counts_.partial_dropped;
    note(format("-> %s  dropped: partial frame of %zu bytes, then %.1f ms of silence",
                hex_bytes(partial_.data(), partial_.size()).c_str(), partial_.size(),
                static_cast<double>(now_us - last_byte_us_) / 1000.0));
    partial_.clear();
  }
  partial_.push_back(byte);
  last_byte_us_ = now_us;
  if (partial_.size() == static_cast<size_t>(kCommandFrameSize)) {
    handle_frame(partial_.data(), now_us);
    partial_.clear();
  }
}

void Model::handle_frame(const uint8_t* f, uint64_t now_us) {
  ++counts_.frames;
  const std::string hex = hex_bytes(f, kCommandFrameSize);
  if (!admitted(f, hex)) {
    return;
  }
  const uint32_t n = ++counts_.accepted;
  const uint8_t code = f[kCmdCode];
  const uint32_t nth = ++counts_.by_code[code];
  note(format("-> %s  #%u %s", hex.c_str(), n, describe(f).c_str()));

  const Outcome out = outcome(f, nth);
  if (out.code != code) {
    ++counts_.refused;
  } else if (code == CMD_GOTO_APPLICATION) {
    goto_frames_.insert(n);
  }
  const uint64_t at = reply_time(now_us, code, out, n);
  work_until_us_ = std::max(work_until_us_, at);
  const size_t queued_before = out_.size();
  const Faults& faults = opts_.faults;
  if (auto it = faults.noise.find(n); it != faults.noise.end() && !it->second->empty()) {
    out_.push_back(Chunk{at, *it->second, 0, n, false, "noise"});
  }
  // A checksum the device computes only once unlocked, and until then does not answer.
  const bool ignored = code == CMD_GET_CRC && out.code == kErrLocked && !unlocked_ &&
                       opts_.crc_before_unlock == CrcBeforeUnlock::Ignore;
  if (faults.drop_reply.count(n) || ignored) {
    withhold_reply(n);
  } else {
    queue_reply(n, code, out, at);
  }
  chunks_out_ += static_cast<uint32_t>(out_.size() - queued_before);
}

bool Model::admitted(const uint8_t* f, const std::string& hex) {
  const uint8_t want_crc = dallas_crc8(f, kCmdCrc);
  if (f[kCmdCrc] != want_crc) {
    ++counts_.bad_crc;
    note(format("-> %s  ignored: bad CRC (%02x expected)", hex.c_str(), want_crc));
    return false;
  }
  if (f[kCmdAddr] != address()) {
    ++counts_.other_address;
    note(
        format("-> %s  ignored: address %u is not ours (%u)", hex.c_str(), f[kCmdAddr], address()));
    return false;
  }
  if (silent_left_ > 0) {
    --silent_left_;
    ++counts_.silent;
    note(format("-> %s  ignored: silent (%s)", hex.c_str(), describe(f).c_str()));
    return false;
  }
  return true;
}

Model::Outcome Model::outcome(const uint8_t* f, uint32_t nth) {
  const uint8_t code = f[kCmdCode];
  const std::vector<Refusal>& refuse = opts_.faults.refuse;
  auto forced = std::find_if(refuse.begin(), refuse.end(),
                             [&](const Refusal& r) { return r.code == code && r.nth == nth; });
  if (forced != refuse.end()) {
    return {forced->error, 0};
  }
  const Outcome own = execute(f);
  counts_.own_refusals += own.code != code;
  return own;
}

uint64_t Model::reply_time(uint64_t now_us, uint8_t code, const Outcome& out, uint32_t n) {
  int64_t work = opts_.reply_delay_us;
  if (auto it = opts_.work_ms.find(code); it != opts_.work_ms.end() && out.code == code) {
    work += int64_t{it->second} * 1000;
  }
  if (const int64_t j = opts_.jitter_ms; j > 0) {
    work = std::max<int64_t>(0, work + (static_cast<int64_t>(rng_.below(2 * j + 1)) - j) * 1000);
  }
  uint64_t at = now_us + static_cast<uint64_t>(work);
  if (auto it = opts_.faults.delay_ms.find(n); it != opts_.faults.delay_ms.end()) {
    at += uint64_t{it->second} * 1000;
  }
  return at;
}

void Model::withhold_reply(uint32_t n) {
  ++counts_.replies_dropped;
  note(format("   #%u reply withheld", n));
  if (goto_frames_.erase(n)) {
    want_exit_ = true;
    start_application(work_until_us_);
  }
}

void Model::start_application(uint64_t now_us) {
  if (opts_.after_goto == AfterGoto::Bootloader || app_running_) {
    return;
  }
  app_running_ = true;
  partial_.clear();
  note("   the application runs: no frame is answered from now on");
  if (opts_.after_goto == AfterGoto::Chatter) {
    queue_chatter(now_us);
  }
}

// A few bytes every few hundred ms. Application traffic is no reply frame: at most six bytes,
// and a gap of more than a reply's length between two bursts.
void Model::queue_chatter(uint64_t now_us) {
  std::vector<uint8_t> bytes(1 + rng_.below(6));
  for (uint8_t& b : bytes) {
    b = static_cast<uint8_t>(rng_.next());
  }
  Chunk c{now_us + 200000 + rng_.below(400000), std::move(bytes), 0, 0, false, "application"};
  c.application = true;
  out_.push_back(std::move(c));
}

void Model::queue_reply(uint32_t n, uint8_t code, const Outcome& out, uint64_t at) {
  const Faults& faults = opts_.faults;
  const bool wrong_address = faults.wrong_address.count(n) != 0;
  std::vector<uint8_t> reply(kReplyFrameSize);
  reply[kRepAddr] = wrong_address ? static_cast<uint8_t>(address() + 1) : address();
  reply[kRepCode] = out.code;
  store_be32(&reply[kRepValue], out.value);
  reply[kRepCrc] = dallas_crc8(reply.data(), kRepCrc);
  std::string what = reply_note(n, code, out.code, wrong_address);
  uint64_t busy_after_us = 0;
  if (auto it = opts_.busy_after_reply_ms.find(code);
      it != opts_.busy_after_reply_ms.end() && out.code == code) {
    busy_after_us = uint64_t{it->second} * 1000;
  }
  if (faults.bad_crc.count(n)) {
    reply[kRepCrc] ^= 0x5A;
    what += " (bad CRC-8)";
  }

  auto split = faults.split.find(n);
  if (split != faults.split.end() && split->second.first > 0 &&
      split->second.first < static_cast<uint32_t>(kReplyFrameSize)) {
    const auto first = static_cast<std::ptrdiff_t>(split->second.first);
    out_.push_back(
        Chunk{at, {reply.begin(), reply.begin() + first}, 0, n, false, what + " (first part)"});
    out_.push_back(Chunk{at,
                         {reply.begin() + first, reply.end()},
                         uint64_t{split->second.second} * 1000,
                         n,
                         true,
                         what + " (rest)",
                         busy_after_us});
  } else {
    out_.push_back(Chunk{at, std::move(reply), 0, n, true, std::move(what), busy_after_us});
  }
}

Model::Outcome Model::execute(const uint8_t* f) {
  const uint8_t code = f[kCmdCode];
  const uint32_t arg = load_le32(f + kCmdArg);
  if (code == CMD_ACTIVATE) {
    activated_ = true;
    return {code, 0};
  }
  if (!activated_) {
    return {kErrNotActivated, 0};
  }
  switch (code) {
    case CMD_GET_BLID:
      return {code, opts_.bootloader_version};
    case CMD_GET_KEYID:
      return {code, static_cast<uint8_t>(0x30 + opts_.key_version)};
    case CMD_UNBLOCK_FLASH:
      unlocked_ = true;
      erased_since_unlock_.clear();
      return {code, 0};
    case CMD_ERASE_PAGE:
      return erase_page(arg);
    case CMD_WRITE_BLOCK:
      return write_block(arg, f + kCmdData);
    case CMD_GET_CRC:
      if (!unlocked_ && opts_.crc_before_unlock != CrcBeforeUnlock::Answer) {
        return {kErrLocked, 0};
      }
      return check_crc(arg, load_le32(f + kCmdData + 4));
    case CMD_GOTO_APPLICATION:
      // Once its reply is out the device stays in the bootloader, so that one emulator
      // process can serve several loader runs, or runs the application (Options::after_goto).
      app_started_ = true;
      return {code, 0};
    default:
      return {kErrUnknownCommand, 0};
  }
}

Model::Outcome Model::erase_page(uint32_t addr) {
  if (!unlocked_) {
    return {kErrLocked, 0};
  }
  if (addr < APP_START || addr >= kFlashEnd || (addr - FLASH_BASE) % PAGE_SIZE != 0) {
    return {kErrAddress, 0};
  }
  const uint32_t offset = addr - FLASH_BASE;
  std::fill_n(flash_.begin() + offset, PAGE_SIZE, uint8_t{0xFF});
  erased_pages_.insert(offset / PAGE_SIZE);
  erased_since_unlock_.insert(offset / PAGE_SIZE);
  ++counts_.erase_operations;
  return {CMD_ERASE_PAGE, 0};
}

Model::Outcome Model::write_block(uint32_t addr, const uint8_t* enciphered) {
  if (!unlocked_) {
    return {kErrLocked, 0};
  }
  if (addr < APP_START || addr > kFlashEnd - BLOCK_SIZE || addr % BLOCK_SIZE != 0) {
    return {kErrAddress, 0};
  }
  // The bootloader programs only what it has erased itself in this session.
  if (!erased_since_unlock_.count((addr - FLASH_BASE) / PAGE_SIZE)) {
    return {kErrNotErased, 0};
  }
  uint8_t block[BLOCK_SIZE];
  std::memcpy(block, enciphered, BLOCK_SIZE);
  cipher::decipher_block(opts_.key, block);
  uint8_t* dst = flash_.data() + (addr - FLASH_BASE);
  if (opts_.rewrite == Rewrite::Refuse &&
      !std::all_of(dst, dst + BLOCK_SIZE, [](uint8_t b) { return b == 0xFF; })) {
    ++counts_.rewrites_refused;
    return {kErrNotBlank, 0};
  }
  // Programming flash can only clear bits: what was not erased keeps its zeros.
  for (uint32_t i = 0; i < BLOCK_SIZE; ++i) {
    dst[i] &= block[i];
  }
  ++counts_.blocks_written;
  return {CMD_WRITE_BLOCK, 0};
}

Model::Outcome Model::check_crc(uint32_t from, uint32_t size) {
  if (from < FLASH_BASE || from > kFlashEnd || size > kFlashEnd - from) {
    return {kErrCrcRange, 0};
  }
  const uint32_t crc = crc32(flash_.data() + (from - FLASH_BASE), size);
  counts_.checked_size = size;
  counts_.checked_from = from;
  counts_.checked_crc = crc;
  return {CMD_GET_CRC, opts_.faults.crc_answer.value_or(crc)};
}

std::vector<Chunk> Model::take_output() {
  std::vector<Chunk> out;
  out.swap(out_);
  return out;
}

void Model::chunk_sent(const Chunk& chunk, uint64_t now_us) {
  if (opts_.trace) {
    note("<- " + hex_bytes(chunk.bytes.data(), chunk.bytes.size()) + "  " + chunk.note);
  }
  if (chunk.application) {
    counts_.chatter_bytes += static_cast<uint32_t>(chunk.bytes.size());
    queue_chatter(now_us);
    return;
  }
  work_until_us_ = std::max(work_until_us_, now_us + chunk.busy_after_us);
  if (chunks_out_ > 0 && --chunks_out_ == 0 && !busy_run_.empty()) {
    note_busy_run();
  }
  if (!chunk.reply_end) {
    return;
  }
  ++replies_sent_;
  if (goto_frames_.erase(chunk.frame)) {
    want_exit_ = true;
    start_application(now_us);
  }
  if (opts_.faults.vanish_after && replies_sent_ >= *opts_.faults.vanish_after) {
    vanished_ = true;
    partial_.clear();
  }
}

std::vector<std::string> Model::take_trace() {
  std::vector<std::string> out;
  out.swap(trace_);
  return out;
}

Summary Model::summary() const {
  Summary s = counts_;
  s.pages_erased = static_cast<uint32_t>(erased_pages_.size());
  s.app_crc = crc32(flash_.data() + (APP_START - FLASH_BASE), kFlashEnd - APP_START);
  s.app_started = app_started_;
  s.app_running = app_running_;
  return s;
}

}  // namespace zemlot
