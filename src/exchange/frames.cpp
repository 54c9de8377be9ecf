#include "exchange/frames.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "exchange/port_reads.h"
#include "wire/crc8.h"
#include "wire/endian.h"

namespace korvel {

void build_command_frame(Exchange& x, int32_t netnum) {
  auto& f = x.tx_buff;
  f[kCmdAddr] = static_cast<uint8_t>(netnum & 0xFF);
  f[kCmdCode] = x.command_tx;
  f[2] = 0;
  store_le32(&f[kCmdArg], x.adr_tx);
  f[kCmdCrc] = dallas_crc8(f.data(), kCmdCrc);
}

namespace {

double ms(uint64_t us) {
  return static_cast<double>(us) / 1000.0;
}

Trace& trace_of(const Exchange& x) {
  return x.trace != nullptr ? *x.trace : Trace::off();
}

void trace_read(const Exchange& x, const char* what, const uint8_t* buf, uint32_t n, uint32_t got) {
  Trace& t = trace_of(x);
  if (t.on())
    t.line("<- %s %u of %u%s%s", what, static_cast<unsigned>(got), static_cast<unsigned>(n),
           got > 0 ? ": " : "", Trace::hex(buf, got).c_str());
}

// What the line model learned of the device's pace, when it changed.
void trace_late(const Exchange& x, uint64_t before_us) {
  if (x.line.late_us != before_us)
    trace_of(x).line("learned: the device answers %.1f ms after its frame%s", ms(x.line.late_us),
                     x.line.late_us == 0 ? " (prompt again)" : "");
}

// The device was heard answering this long after its frame: it is at least that slow.
void at_least_late(LineModel& line, uint64_t us) {
  line.late_us = std::max(line.late_us, std::min(us, kTiming.late_max_us));
}

void note_bytes(Exchange& x, Clock& clock, uint32_t got) {
  if (got > 0)
    x.line.last_rx_us = clock.now_us();
}

// Whatever waits at the port now: read it (up to `cap`), without waiting.
uint32_t take_waiting(SerialPort& port, uint8_t* buf, uint32_t cap, bool* ok) {
  uint32_t got = 0;
  *ok = port.input_waiting() == 0 || port_take_waiting(port, buf, cap, &got);
  return got;
}

// Drops whatever comes until the line has been quiet for `quiet`; a line that never goes quiet is
// left after drain_max_total_us, and a failing port at once. Each read asks for no more than
// waits, or for one byte: one asking for more would return only at its deadline, and the quiet
// would be counted from then rather than from when the last byte came.
void drain(SerialPort& port, Exchange& x, Clock& clock, uint64_t quiet) {
  const uint64_t start = clock.now_us(), bound = start + kTiming.drain_max_total_us;
  std::array<uint8_t, 32> junk{};
  uint32_t dropped = 0;
  for (uint64_t last = start;;) {
    const uint64_t now = clock.now_us(), until = std::min(last + quiet, bound);
    const uint32_t want = std::clamp<uint32_t>(port.input_waiting(), 1, junk.size());
    uint32_t got = 0;
    if (now >= until || !port_read_until(port, system_waits(clock), junk.data(), want, &got,
                                         ceil_ms(std::min(until - now, quiet))))
      break;
    note_bytes(x, clock, got);
    dropped += got;
    last = got > 0 ? clock.now_us() : last;
  }
  trace_of(x).line("drain: waited %.1f ms for %.1f ms of quiet, dropped %u bytes",
                   ms(clock.now_us() - start), ms(quiet), static_cast<unsigned>(dropped));
}

// Before a frame: bytes waiting now came after the last exchange ended. After a reply taken
// following unanswered frames they (or bytes heard behind that reply) are the device still
// answering copies: the line must go quiet first. While frames go unanswered they are the
// device answering late. Anything else is noise; it goes, so that it cannot shift the reply.
void before_frame(SerialPort& port, Exchange& x, Clock& clock, bool by_reply) {
  LineModel& line = x.line;
  std::array<uint8_t, Heard::kCap> waiting{};
  bool ok = true;
  const uint32_t got = take_waiting(port, waiting.data(), Heard::kCap, &ok);
  note_bytes(x, clock, got);
  if (got > 0 && trace_of(x).on())
    trace_of(x).line("discard: %u bytes: %s", static_cast<unsigned>(got),
                     Trace::hex(waiting.data(), got).c_str());
  const uint64_t late_before = line.late_us;
  if (line.drain_quiet_us > 0 && (line.copies_heard || got > 0))
    drain(port, x, clock, line.drain_quiet_us);
  else if (got > 0 && line.unanswered)
    at_least_late(line, clock.now_us() - line.unanswered_since_us);
  trace_late(x, late_before);
  line.drain_quiet_us = 0;
  line.copies_heard = false;
  if (by_reply) {
    const uint64_t now = clock.now_us();
    const uint64_t free_at =
        std::max(line.last_rx_us > 0 ? line.last_rx_us + line.line_free_us : 0, line.hold_until_us);
    x.flight.close_behind = now < free_at + kTiming.line_free_us;
    if (now < free_at)
      clock.sleep_ms(ceil_ms(free_at - now));
  }
  port.discard_input();
}

// What came as the write returned: the echo's beginning, or the device talking over the frame.
void hear_at_write(SerialPort& port, Exchange& x, Clock& clock) {
  Heard& h = x.flight.heard;
  bool ok = true;
  h.n = h.at_write = take_waiting(port, h.b.data(), Heard::kCap, &ok);
  x.flight.read_failed = !ok;
  note_bytes(x, clock, h.n);
  if (h.n > 0 || !ok)
    trace_read(x, ok ? "at the write" : "at the write FAILED", h.b.data(), Heard::kCap, h.n);
}

}  // namespace

bool send_command(SerialPort& port, Exchange& x, int32_t netnum, Clock& clock,
                  const Pacing& pacing) {
  build_command_frame(x, netnum);
  before_frame(port, x, clock, pacing.by_reply);
  Flight& f = x.flight;
  const bool close_behind = f.close_behind;
  f = Flight{};
  f.close_behind = close_behind;
  f.out = port.write(x.tx_buff.data(), kCommandFrameSize);
  f.by_reply = pacing.by_reply;
  f.command = x.command_tx;
  f.argument = x.adr_tx;
  f.netnum = netnum;
  f.sent_at_us = clock.now_us();
  f.deadline_us = f.sent_at_us + uint64_t{pacing.reply_within_ms} * 1000;
  const char* name = command_name(x.command_tx);
  Trace& t = trace_of(x);
  if (t.on())
    t.line("-> %s  %s 0x%08x%s", Trace::hex(x.tx_buff.data(), kCommandFrameSize).c_str(),
           name != nullptr ? name : "?", static_cast<unsigned>(x.adr_tx),
           f.out ? "" : "  WRITE FAILED");
  if (f.out)
    hear_at_write(port, x, clock);
  return f.out;
}

namespace {

// One exchange's hearing, from the read to the verdict: the read phase (the port's own read, a
// reply cut short completed within its time, or under reply pacing until the deadline), then
// listening when there is cause, then done. Every byte judged is one the framer sees.
class Hearing {
 public:
  Hearing(SerialPort& port, Exchange& x, Clock& clock, uint64_t min_listen_us)
      : port_(port),
        x_(x),
        f_(x.flight),
        h_(x.flight.heard),
        clock_(clock),
        min_listen_us_(min_listen_us),
        sent_{x.tx_buff.data(), f_.command, f_.netnum} {}

  Reply run();

 private:
  enum class Phase { Read, Listen, Done };

  void new_read_window() {
    window_end_ = f_.by_reply ? f_.deadline_us : clock_.now_us() + kTiming.read_us;
    first_read_ = !f_.by_reply;
  }
  void drop_echo();
  bool read_step(const Judgement& j);
  Phase after_read();
  bool listen_step();
  uint32_t read_into(uint32_t want, uint32_t wait, bool documented, const char* what);
  void make_room();
  Reply taken(uint32_t at);
  Reply not_taken();
  uint64_t origin() const {
    return x_.line.unanswered ? x_.line.unanswered_since_us : f_.sent_at_us;
  }

  SerialPort& port_;
  Exchange& x_;
  Flight& f_;
  Heard& h_;
  Clock& clock_;
  const uint64_t min_listen_us_;
  const Sent sent_;
  Phase phase_ = Phase::Read;
  bool first_read_ = false;
  bool failed_ = false;
  uint64_t window_end_ = 0, listen_from_us_ = 0, listen_until_ = 0, listen_bound_ = 0;
  uint64_t last_late_us_ = 0, first_late_us_ = 0;
};

Reply Hearing::run() {
  h_.echo_open = h_.echo_open && f_.out;
  f_.out = false;
  failed_ = f_.read_failed;
  new_read_window();
  while (!failed_) {
    const Judgement j = judge(h_.b.data(), h_.n, h_.echo_open, sent_);
    if (j.what == Finding::Echo) {
      drop_echo();
      continue;
    }
    if (j.what == Finding::Reply)
      return taken(j.at);
    if (phase_ == Phase::Done)
      return not_taken();
    if (phase_ == Phase::Listen && !listen_step())
      phase_ = Phase::Done;
    if (phase_ == Phase::Read && !read_step(j) && !failed_)
      phase_ = after_read();  // judged once more: what waited for an echo may be a reply
  }
  // A reply a failed read may still be bringing: under reply pacing the next frame waits for it.
  // What it left unread says nothing of the device's pace.
  if (f_.by_reply)
    x_.line.hold_until_us = std::max(x_.line.hold_until_us, f_.deadline_us);
  x_.line.unanswered = false;
  h_ = Heard{};
  return {ReplyStatus::ReadFailed, 0, 0};
}

// Many RS-485 adapters keep their receiver on while they transmit, so the frame just written
// comes back ahead of the reply. Under the documented pauses the reply's read starts afresh.
void Hearing::drop_echo() {
  const bool hit = !std::equal(h_.b.begin(), h_.b.begin() + kCommandFrameSize, x_.tx_buff.begin());
  trace_of(x_).line("echo of the frame dropped%s", hit ? ", hit on the line" : "");
  std::memmove(h_.b.data(), h_.b.data() + kCommandFrameSize, h_.n - kCommandFrameSize);
  h_.n -= kCommandFrameSize;
  h_.at_write -= std::min<uint32_t>(h_.at_write, kCommandFrameSize);
  h_.echo_open = false;
  new_read_window();
}

// One read of the read phase; false once it is over (the port's own read, or a later one, that
// brought nothing). What the read brings came within it: a prompt answer, whatever it holds.
bool Hearing::read_step(const Judgement& j) {
  make_room();
  const uint32_t space = Heard::kCap - h_.n;
  // Once a whole window has come, a byte at a time, so that a read returns as its byte comes:
  // one that returned only at the deadline would make bytes that came early look late.
  const uint32_t want = std::min(j.need > 0 ? j.need : 1u, space);
  if (first_read_) {
    first_read_ = false;
    return read_into(std::min(j.need > 0 ? j.need : kReplyFrameSize, space), 0, true, "read") > 0;
  }
  const uint64_t now = clock_.now_us();
  if (now >= window_end_)
    return false;
  // A whole reply came under the documented pauses and was none to take: what waits is read,
  // and nothing more is waited for, as the documented read would not.
  if (!f_.by_reply && j.need == 0)
    return port_.input_waiting() > 0 && read_into(space, 0, false, "read waiting") > 0;
  return read_into(want, ceil_ms(window_end_ - now), false, "rest of a reply cut short") > 0;
}

// After a read that took no reply: listening only for cause. A reply may still be on its way
// when the read heard none of it, or a reply cut short: from a device that has answered before
// (it is working late, not gone: beyond when its answer was due, a quiet time more for each
// frame it left unheard in a row), and for as long as the caller gives it (a block's reply). A
// device heard answering late before is given that long after its frame: its answer is due
// then, not at the end of the read. A whole wrong reply, and silence before any device has
// answered, cost nothing more.
Hearing::Phase Hearing::after_read() {
  h_.echo_open = false;
  const uint64_t now = clock_.now_us();
  const uint64_t due = f_.sent_at_us + x_.line.late_us;
  uint64_t until = due;
  if (h_.n < kReplyFrameSize) {
    until = std::max(until, f_.sent_at_us + min_listen_us_);
    if (h_.n > 0 || x_.line.found)
      until = std::max(until,
                       std::max(window_end_, due) +
                           std::min(kTiming.quiet_us * (1 + x_.line.unheard), kTiming.late_max_us));
  }
  listen_from_us_ = now;
  listen_until_ = until;
  listen_bound_ = now + kTiming.listen_max_us;
  return now < until ? Phase::Listen : Phase::Done;
}

// One read while listening on; false once the line has been quiet long enough, or the port
// fails (which only ends the listening). What comes now came after the read: the device is late.
// A byte at a time, so that its time is the time it came.
bool Hearing::listen_step() {
  const uint64_t now = clock_.now_us();
  const uint64_t quiet_end = last_late_us_ > 0 ? last_late_us_ + kTiming.quiet_us : 0;
  const uint64_t until = std::min(std::max(listen_until_, quiet_end), listen_bound_);
  if (now >= until)
    return false;
  make_room();
  const uint32_t before = h_.n;
  read_into(1, ceil_ms(std::min(until - now, kTiming.quiet_us)), false, "listening");
  if (failed_) {
    failed_ = false;
    return false;
  }
  if (h_.n > before) {
    last_late_us_ = clock_.now_us();
    first_late_us_ = first_late_us_ > 0 ? first_late_us_ : last_late_us_;
    for (uint32_t i = before; i < h_.n; ++i)
      h_.late |= uint64_t{1} << i;
  }
  return true;
}

uint32_t Hearing::read_into(uint32_t want, uint32_t wait, bool documented, const char* what) {
  uint32_t got = 0;
  uint8_t* tail = h_.b.data() + h_.n;
  const PortWaits waits = system_waits(clock_);
  const bool ok = documented ? port_read(port_, waits, tail, want, &got)
                             : port_read_until(port_, waits, tail, want, &got, wait);
  note_bytes(x_, clock_, got);
  trace_read(x_, ok ? what : "read FAILED", tail, want, got);
  h_.n += got;
  failed_ = !ok;
  return got;
}

// Noise that fills the buffer pushes the oldest bytes out, keeping those that may begin a reply.
void Hearing::make_room() {
  constexpr uint32_t keep = kReplyFrameSize - 1;
  if (h_.n < Heard::kCap)
    return;
  std::memmove(h_.b.data(), h_.b.data() + h_.n - keep, keep);
  h_.late >>= h_.n - keep;
  h_.at_write = 0;
  h_.n = keep;
  h_.echo_open = false;
}

void trace_verdict(const Exchange& x, const char* verdict, const Heard& h, uint32_t at, bool late) {
  Trace& t = trace_of(x);
  if (!t.on())
    return;
  const uint8_t* w = &h.b[at];
  t.line("reply taken: %s, %s 0x%08x%s", Trace::hex(w, kReplyFrameSize).c_str(), verdict,
         static_cast<unsigned>(load_be32(w + kRepValue)),
         late ? " (heard while listening on)" : "");
}

// A reply taken. A confirmation that came within the read says the device is prompt again; one
// heard only while listening on, how long its work takes. A refusal, which comes at once
// whatever the work, says nothing of it.
Reply Hearing::taken(uint32_t at) {
  LineModel& line = x_.line;
  const uint8_t* w = &h_.b[at];
  const Reply r{ReplyStatus::Accepted, w[kRepCode], load_be32(w + kRepValue)};
  const bool late = (h_.late >> at & 0x7F) != 0;
  const uint64_t took = clock_.now_us() - origin();
  const uint64_t late_before = line.late_us;
  line.found = true;
  line.unheard = 0;
  if (r.code == f_.command && late)
    at_least_late(line, took);
  else if (r.code == f_.command)
    line.late_us = 0;
  if (line.unanswered) {
    line.drain_quiet_us = std::clamp(took, kTiming.quiet_us, kTiming.drain_max_us);
    line.copies_heard = h_.n > at + kReplyFrameSize || port_.input_waiting() > 0;
    line.unanswered = false;
  }
  trace_verdict(x_, r.code == f_.command ? "confirms, value" : "a refusal, value", h_, at, late);
  trace_late(x_, late_before);
  h_ = Heard{};
  return r;
}

// No reply taken. Bytes that came after the read, or over the frame while frames were already
// unanswered, are the device answering late, into a later frame: it is at least that slow.
// A whole frame that came within the read, and nothing later, answered this frame promptly,
// whatever it held: no frame is outstanding then. Bytes hit on the line may be the late answer
// to an earlier frame, and say nothing.
Reply Hearing::not_taken() {
  LineModel& line = x_.line;
  const bool over_frame = h_.at_write > 0 && line.unanswered;
  const auto late = static_cast<uint32_t>(std::popcount(h_.late));
  const bool prompt = late == 0 && !over_frame && holds_frame(h_.b.data(), h_.n);
  if (!line.unanswered) {
    line.unanswered = true;
    line.unanswered_since_us = f_.sent_at_us;
  }
  const uint64_t late_before = line.late_us;
  const uint64_t late_at = first_late_us_ > 0 ? first_late_us_ : over_frame ? f_.sent_at_us : 0;
  if (late_at > line.unanswered_since_us)
    at_least_late(line, late_at - line.unanswered_since_us);
  line.unanswered = !prompt;
  trace_late(x_, late_before);
  line.unheard += line.found && h_.n == 0 ? 1 : 0;
  // A frame that followed the device's last byte as closely as the line allows, and was wholly
  // unheard: the device may still have been busy with the last command.
  if (f_.close_behind && h_.n == 0 && line.line_free_us < kTiming.line_free_max_us) {
    line.line_free_us = std::min(2 * line.line_free_us, kTiming.line_free_max_us);
    trace_of(x_).line(
        "a frame %.0f ms after the device's last byte went unheard: it is left %.0f "
        "ms from now on",
        ms(line.line_free_us / 2), ms(line.line_free_us));
  }
  Trace& t = trace_of(x_);
  if (t.on())
    t.line("no reply taken: %s; listened %.1f ms after the read",
           why_not(h_.b.data(), h_.n, sent_).c_str(),
           ms(listen_from_us_ > 0 ? clock_.now_us() - listen_from_us_ : 0));
  h_ = Heard{};
  return {};
}

}  // namespace

Reply receive_reply(SerialPort& port, Exchange& x, Clock& clock, uint64_t min_listen_us) {
  return Hearing(port, x, clock, min_listen_us).run();
}

}  // namespace korvel
