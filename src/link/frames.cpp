#include "link/frames.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "wire/crc8.h"
#include "wire/endian.h"

namespace korvel {

Exchange::Exchange() {
  // Before the first read the buffer must not look like a reply: seven zero bytes would
  // pass the CRC-8 test.
  rx_buff[kRepCrc] = 0xFF;
}

void build_command_frame(Exchange& x, int32_t netnum) {
  auto& f = x.tx_buff;
  f[kCmdAddr] = static_cast<uint8_t>(netnum & 0xFF);
  f[kCmdCode] = x.command_tx;
  f[2] = 0;
  store_le32(&f[kCmdArg], x.adr_tx);
  f[kCmdCrc] = dallas_crc8(f.data(), kCmdCrc);
}

namespace {

// A wait in whole milliseconds, never cut short by the rounding.
uint32_t wait_ms(uint64_t us) {
  return static_cast<uint32_t>(std::min<uint64_t>((us + 999) / 1000, UINT32_MAX));
}

Trace& trace_of(const Exchange& x) {
  return x.trace != nullptr ? *x.trace : Trace::off();
}

void note_heard(Exchange& x, Clock& clock, uint32_t got) {
  if (got > 0) {
    x.heard = true;
    x.last_rx_us = clock.now_us();
  }
}

// When listening for a quiet line ends: `quiet` after the last byte heard (at first, `last`),
// not before `min_until`, never past `bound`.
struct QuietLine {
  uint64_t last, quiet, min_until, bound;
};

// Reads what comes until the line is quiet as `q` says, each read waiting no longer than the
// settle's quiet time so that a reply is seen soon after it is whole. `room()` says where the
// next bytes go (a pointer and a count); `heard(buf, got)` sees them and returns true to stop.
template <class Room, class OnBytes>
void listen(SerialPort& port, Exchange& x, Clock& clock, QuietLine q, Room room, OnBytes heard) {
  for (;;) {
    const uint64_t now = clock.now_us();
    const uint64_t until = std::min(std::max(q.last + q.quiet, q.min_until), q.bound);
    if (now >= until)
      return;
    const auto [buf, space] = room();
    uint32_t got = 0;
    if (!port.read_until(buf, space, &got, wait_ms(std::min(until - now, kSettleQuietUs))))
      return;
    note_heard(x, clock, got);
    if (got == 0)
      continue;
    q.last = clock.now_us();
    if (heard(buf, got))
      return;
  }
}

// Listens, dropping whatever comes, until the line has been quiet for x.drain_quiet_us.
void drain(SerialPort& port, Exchange& x, Clock& clock) {
  const uint64_t start = clock.now_us();
  std::array<uint8_t, 32> junk{};
  uint32_t dropped = 0;
  listen(
      port, x, clock, {start, x.drain_quiet_us, start, start + kDrainBoundUs},
      [&] {
        return std::pair{junk.data(), static_cast<uint32_t>(junk.size())};
      },
      [&](const uint8_t*, uint32_t got) {
        dropped += got;
        return false;
      });
  trace_of(x).line("drain: waited %.1f ms for %.1f ms of quiet, dropped %u bytes",
                   static_cast<double>(clock.now_us() - start) / 1000.0,
                   static_cast<double>(x.drain_quiet_us) / 1000.0, static_cast<unsigned>(dropped));
  x.drain_quiet_us = 0;
}

// What is waiting goes, so that a late reply or noise cannot shift the next reply; a trace
// shows what that was.
void discard(SerialPort& port, Exchange& x) {
  Trace& t = trace_of(x);
  if (t.on()) {
    std::array<uint8_t, 64> dropped{};
    uint32_t got = 0;
    if (port.input_waiting() > 0 && port.read(dropped.data(), dropped.size(), &got) && got > 0)
      t.line("discard: %u bytes: %s", static_cast<unsigned>(got),
             Trace::hex(dropped.data(), got).c_str());
  }
  port.discard_input();
}

}  // namespace

bool send_command(SerialPort& port, Exchange& x, int32_t netnum, Clock& clock, bool by_reply) {
  build_command_frame(x, netnum);
  if (x.drain_quiet_us > 0)
    drain(port, x, clock);
  if (by_reply) {
    const uint64_t now = clock.now_us();
    const uint64_t free_at = std::max(x.heard ? x.last_rx_us + kQuietUs : 0, x.hold_until_us);
    if (now < free_at)
      clock.sleep_ms(wait_ms(free_at - now));
  }
  discard(port, x);
  x.frame_out = port.write(x.tx_buff.data(), kCommandFrameSize);
  x.sent_command = x.command_tx;
  x.sent_at_us = clock.now_us();
  const char* name = command_name(x.command_tx);
  trace_of(x).line("-> %s  %s 0x%08x%s", Trace::hex(x.tx_buff.data(), kCommandFrameSize).c_str(),
                   name != nullptr ? name : "?", static_cast<unsigned>(x.adr_tx),
                   x.frame_out ? "" : "  WRITE FAILED");
  return x.frame_out;
}

bool reply_accepted(const uint8_t* rx, int32_t netnum) {
  return rx[kRepCrc] == dallas_crc8(rx, kRepCrc) && int32_t{rx[kRepAddr]} == netnum;
}

bool reply_is_stale(uint8_t code, uint8_t sent) {
  return code != sent && is_command_code(code);
}

namespace {

constexpr uint32_t kEchoRest = kCommandFrameSize - kReplyFrameSize;
// The longest the port's own read waits for a reply.
constexpr uint64_t kReplyReadUs = kPortTimeLimits.read.for_bytes(kReplyFrameSize) * 1000;

// The bytes heard since the frame was written (an echo of it dropped), oldest first.
struct Heard {
  static constexpr uint32_t kCap = 64;
  std::array<uint8_t, kCap> b{};
  uint32_t n = 0;
  uint32_t judged = 0;   // windows that start before this index have been judged
  bool any = false;      // something besides an echo came
  uint64_t last_us = 0;  // when a read last brought something

  uint8_t* tail() { return b.data() + n; }
  uint32_t space() const { return kCap - n; }
  void add(uint32_t got, uint64_t now) {
    n += got;
    if (got > 0) {
      any = true;
      last_us = now;
    }
  }
  // Noise that fills the buffer pushes the oldest bytes out, keeping those that may begin a
  // reply; windows starting at them have not been judged yet.
  void make_room() {
    if (space() > 0)
      return;
    constexpr uint32_t keep = kReplyFrameSize - 1;
    std::memmove(b.data(), b.data() + n - keep, keep);
    n = keep;
    judged = 0;
  }
  void drop_echo() {
    n = 0;
    judged = 0;
    any = false;
  }
};

class Listener {
 public:
  Listener(SerialPort& port, Exchange& x, int32_t netnum, Clock& clock, const Pacing& pacing)
      : port_(port), x_(x), netnum_(netnum), clock_(clock), pacing_(pacing) {}

  // The read as the pacing has it, a reply cut short completed within that read's own time,
  // and an echo of the frame dropped. False when the port fails.
  bool read_reply(Heard& h, bool after_frame) {
    if (!read_whole(h))
      return false;
    if (!after_frame || h.n != kReplyFrameSize ||
        !std::equal(h.b.begin(), h.b.begin() + kReplyFrameSize, x_.tx_buff.begin()))
      return true;
    // Many RS-485 adapters keep their receiver on while they transmit, so the frame just
    // written comes back ahead of the reply. Seven bytes that begin the frame are its echo only
    // when nine more follow: a reply may begin like the frame (a device answering 0 to a
    // command with argument 0 whose CRC-8 happens to be 0), but no device sends sixteen bytes.
    // The nine need not match: a byte hit on the line leaves an echo still an echo, and taking
    // its head for the device's answer would confirm what the device never did.
    if (!read_part(h.tail(), kEchoRest, h))
      return false;
    if (h.n != kCommandFrameSize)
      return true;
    const auto differ =
        std::mismatch(h.b.begin(), h.b.begin() + kCommandFrameSize, x_.tx_buff.begin());
    trace_of(x_).line("echo of the frame dropped%s",
                      differ.first == h.b.begin() + kCommandFrameSize ? "" : ", hit on the line");
    h.drop_echo();
    return read_whole(h);
  }

  // The first window not judged yet that is a reply to take: the device's address, a good
  // CRC-8, and not another command's success code. Pieces of our own frame (an echo cut short
  // or garbled) are not taken but as the first window, since a reply may begin like the frame.
  std::optional<uint32_t> take(Heard& h) const {
    for (; h.judged + kReplyFrameSize <= h.n; ++h.judged) {
      const uint8_t* w = &h.b[h.judged];
      if ((h.judged > 0 && piece_of_frame(w)) || !reply_accepted(w, netnum_))
        continue;
      if (!reply_is_stale(w[kRepCode], x_.sent_command))
        return h.judged++;
      trace_of(x_).line("stale: %s answers an earlier %s, not taken",
                        Trace::hex(w, kReplyFrameSize).c_str(), command_name(w[kRepCode]));
    }
    return std::nullopt;
  }

  // Whether seven bytes are found anywhere in the frame just written. An echo that a collision
  // garbled in part, or that the device's bytes pushed along, still carries such pieces, and
  // some pass for a reply (network number 0 and a run of zero bytes in the frame).
  bool piece_of_frame(const uint8_t* w) const {
    const auto frame_end = x_.tx_buff.begin() + kCommandFrameSize;
    return std::search(x_.tx_buff.begin(), frame_end, w, w + kReplyFrameSize) != frame_end;
  }

  // After a reply that was not taken: listens on until the line has been quiet, at least until
  // min_until, and takes a reply to the frame just sent that comes whole meanwhile.
  std::optional<uint32_t> settle(Heard& h, uint64_t min_until) {
    const uint64_t start = clock_.now_us();
    const uint64_t steps = x_.unsettled + (h.any ? 1 : 0);
    min_until = std::max({min_until, start + std::min(steps * kSettleStepUs, kSettleMaxUs),
                          x_.sent_at_us + x_.patience_us});
    std::optional<uint32_t> at;
    listen(
        port_, x_, clock_,
        {h.any ? std::min(h.last_us, start) : start, kSettleQuietUs, min_until,
         start + kSettleBoundUs},
        [&] {
          h.make_room();
          return std::pair{h.tail(), h.space()};
        },
        [&](const uint8_t* buf, uint32_t got) {
          trace_read("listening", buf, got, got);
          h.add(got, clock_.now_us());
          at = take(h);
          return at.has_value();
        });
    return at;
  }

 private:
  // One read towards the reply: the port's own, or until the deadline.
  bool read_part(uint8_t* buf, uint32_t n, Heard& h) {
    uint32_t got = 0;
    bool ok = false;
    if (pacing_.by_reply) {
      const uint64_t now = clock_.now_us();
      ok = port_.read_until(buf, n, &got,
                            wait_ms(pacing_.deadline_us > now ? pacing_.deadline_us - now : 0));
    } else {
      ok = port_.read(buf, n, &got);
    }
    note_heard(x_, clock_, got);
    trace_read(ok ? "read" : "read FAILED", buf, n, got);
    h.add(got, clock_.now_us());
    return ok;
  }

  void trace_read(const char* what, const uint8_t* buf, uint32_t n, uint32_t got) const {
    trace_of(x_).line("<- %s %u of %u%s%s", what, static_cast<unsigned>(got),
                      static_cast<unsigned>(n), got > 0 ? ": " : "", Trace::hex(buf, got).c_str());
  }

  // A read of the reply, completed within its own time when it returned with only part of it.
  bool read_whole(Heard& h) {
    const uint64_t limit = pacing_.by_reply ? pacing_.deadline_us : clock_.now_us() + kReplyReadUs;
    const uint32_t start = h.n;
    if (!read_part(h.tail(), kReplyFrameSize, h))
      return false;
    while (h.n > start && h.n < start + kReplyFrameSize) {
      const uint64_t now = clock_.now_us();
      if (now >= limit)
        break;
      uint32_t got = 0;
      const uint32_t want = start + kReplyFrameSize - h.n;
      const bool ok = port_.read_until(h.tail(), want, &got, wait_ms(limit - now));
      note_heard(x_, clock_, got);
      trace_read(ok ? "rest of a reply cut short" : "read FAILED", h.tail(), want, got);
      if (!ok)
        return false;
      h.add(got, clock_.now_us());
      if (got == 0)
        break;
    }
    return true;
  }

  SerialPort& port_;
  Exchange& x_;
  int32_t netnum_;
  Clock& clock_;
  const Pacing& pacing_;
};

// Why the first seven bytes heard were no reply to take.
std::string why_not(const Heard& h, const Exchange& x, int32_t netnum) {
  char why[96];
  const uint8_t* w = h.b.data();
  if (!h.any)
    return "nothing heard";
  if (h.n < kReplyFrameSize)
    std::snprintf(why, sizeof why, "%u bytes heard, a reply cut short", static_cast<unsigned>(h.n));
  else if (w[kRepCrc] != dallas_crc8(w, kRepCrc))
    std::snprintf(why, sizeof why, "%u bytes heard, the first seven fail the CRC-8",
                  static_cast<unsigned>(h.n));
  else if (int32_t{w[kRepAddr]} != netnum)
    std::snprintf(why, sizeof why, "a reply from address %u", w[kRepAddr]);
  else
    std::snprintf(why, sizeof why, "a reply for an earlier %s (sent %s)", command_name(w[kRepCode]),
                  command_name(x.sent_command));
  return why;
}

void trace_verdict(const Exchange& x, const Heard& h, std::optional<uint32_t> at, int32_t netnum,
                   uint64_t listened_us) {
  Trace& t = trace_of(x);
  if (!t.on())
    return;
  const double after_ms = static_cast<double>(listened_us) / 1000.0;
  if (!at) {
    t.line("no reply taken: %s; listened %.1f ms after the read", why_not(h, x, netnum).c_str(),
           after_ms);
    return;
  }
  const uint8_t* w = &h.b[*at];
  t.line("reply taken: %s, %s 0x%08x%s", Trace::hex(w, kReplyFrameSize).c_str(),
         w[kRepCode] == x.sent_command ? "confirms, value" : "a refusal, value",
         static_cast<unsigned>(load_be32(w + kRepValue)),
         listened_us > 0 ? " (heard while listening on)" : "");
}

// *late: the reply taken came only while listening on after the read.
Reply hear(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker, Clock& clock,
           const Pacing& pacing, uint64_t min_listen_us, uint64_t* heard_at, bool* late) {
  Reply r;
  const bool after_frame = x.frame_out;
  x.frame_out = false;
  Listener listener(port, x, netnum, clock, pacing);
  Heard h;
  if (!listener.read_reply(h, after_frame)) {
    r.status = ReplyStatus::ReadFailed;
    return r;
  }
  std::optional<uint32_t> at = listener.take(h);
  const uint64_t read_end = clock.now_us();
  if (!at)
    at = listener.settle(h, x.sent_at_us + min_listen_us);
  *heard_at = h.any ? h.last_us : 0;
  *late = at && clock.now_us() > read_end;
  trace_verdict(x, h, at, netnum, clock.now_us() - read_end);
  const uint32_t from = at.value_or(0);
  std::copy_n(h.b.begin() + from, std::min<uint32_t>(h.n - std::min(h.n, from), kReplyFrameSize),
              x.rx_buff.begin());
  if (at) {
    const uint8_t* w = &h.b[*at];
    r.status = ReplyStatus::Accepted;
    r.code = w[kRepCode];
    r.value = load_be32(w + kRepValue);
  }
  x.rx_buff[kRepCode] = marker;
  return r;
}

}  // namespace

Reply receive_reply(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker, Clock& clock,
                    const Pacing& pacing, uint64_t min_listen_us) {
  uint64_t heard_at = 0;
  bool late = false;
  const Reply r = hear(port, x, netnum, marker, clock, pacing, min_listen_us, &heard_at, &late);
  if (r.status == ReplyStatus::Accepted) {
    x.unsettled = 0;
    const uint64_t took = clock.now_us() - (x.unanswered ? x.unanswered_since_us : x.sent_at_us);
    // A confirmation within the read says the device is prompt again; one heard only later,
    // how long its work takes. A refusal, which comes at once whatever the work, says nothing.
    if (r.code == x.sent_command)
      x.patience_us = late ? std::max(x.patience_us, std::min(took, kSettleMaxUs)) : 0;
    if (x.unanswered) {
      // The device may have taken some of the unanswered frames after all and still be
      // answering them: the next frame waits until it has been quiet as long as this reply took.
      x.drain_quiet_us = std::clamp(took, kSettleQuietUs, kDrainMaxUs);
      x.unanswered = false;
    }
    return r;
  }
  x.unsettled += heard_at != 0 ? 1 : 0;
  if (!x.unanswered) {
    x.unanswered = true;
    x.unanswered_since_us = x.sent_at_us;
  }
  // Something on the line while frames go unanswered is most likely the device answering the
  // first of them at last, into a later frame: it is at least that slow.
  if (heard_at > x.unanswered_since_us)
    x.patience_us =
        std::max(x.patience_us, std::min(heard_at - x.unanswered_since_us, kSettleMaxUs));
  if (pacing.by_reply)
    x.hold_until_us = pacing.deadline_us;
  return r;
}

}  // namespace korvel
