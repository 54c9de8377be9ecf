#pragma once
// Command frames out, reply frames in: one exchange at a time, over the port and a model of
// the line that learns what it knows of the device from when the device's bytes arrived.
#include <array>
#include <cstdint>

#include "exchange/framer.h"
#include "exchange/timing.h"
#include "system/clock.h"
#include "system/serial_port.h"
#include "text/trace.h"
#include "wire/protocol.h"

namespace korvel {

enum test_e { INVALIDE = 0, VALIDE = 1 };

// What the loader knows of the device, learned only from facts of arrival: whether the bytes
// of a reply came within the read (a prompt device, whatever they held) or after it, while
// frames went unanswered, or kept coming after a reply was taken. Never from two clock
// readings differing, never from what a reply that was not taken held.
struct LineModel {
  // Whether a reply has been taken in this run: a device that has answered once and says
  // nothing within its window is working late, not gone, and is listened for a little longer;
  // a line where no device has answered yet (the search) costs no more than its reads.
  bool found = false;
  // Frames in a row, since the last reply taken, after which nothing at all was heard from a
  // device found: each listens a quiet time longer, so that a slow device's late answer cannot
  // keep landing on the next frame in step with it.
  uint32_t unheard = 0;
  // How long after its frame the device was heard answering when that was after the read;
  // 0 for a prompt device. A read that takes no reply is followed by listening until this
  // long after the frame, so that the next frame does not land in the device's late answer.
  uint64_t late_us = 0;
  // Whether frames have gone unanswered since the last reply taken, and since when.
  bool unanswered = false;
  uint64_t unanswered_since_us = 0;
  // Set when a reply is taken after unanswered frames: the quiet the next frame waits for if
  // the device turns out to be still answering copies of them (bytes after that reply).
  uint64_t drain_quiet_us = 0;
  bool copies_heard = false;
  // Under reply pacing the next frame goes out only once the device has had line_free_us after
  // its last byte to let go of the line and listen again. A device that acknowledges and then
  // works needs longer: a frame sent that soon that goes wholly unheard doubles it. After a
  // failed read, not before hold_until_us, the deadline of a reply that may be on its way.
  uint64_t last_rx_us = 0;  // 0: nothing heard yet
  uint64_t line_free_us = kTiming.line_free_us;
  uint64_t hold_until_us = 0;
};

// The bytes heard since a frame's write, oldest first.
struct Heard {
  static constexpr uint32_t kCap = 64;
  std::array<uint8_t, kCap> b{};
  uint32_t n = 0;
  uint64_t late = 0;      // bit i: byte i came only after the read
  uint32_t at_write = 0;  // how many of the first were waiting as the write returned
  bool echo_open = true;  // the first bytes may still be the frame's echo
};

// A frame from its write until its reply has been judged.
struct Flight {
  bool out = false;  // a frame was written and its reply has not been read
  bool by_reply = false;
  uint8_t command = 0;
  uint32_t argument = 0;
  int32_t netnum = 0;
  uint64_t sent_at_us = 0;    // when its write returned
  uint64_t deadline_us = 0;   // under reply pacing: its reply is awaited until then
  bool close_behind = false;  // under reply pacing: it went out as soon as the line was free
  bool read_failed = false;   // reading what waited at the write failed
  Heard heard;
};

// The exchange state the dialogue works on for the whole run.
struct Exchange {
  std::array<uint8_t, 24> tx_buff{};
  uint8_t command_tx = 0;
  uint32_t adr_tx = 0;
  uint8_t command_rx = 0;
  uint32_t data_rx = 0;
  test_e rxframe = INVALIDE;
  LineModel line;
  Flight flight;
  // Where the frames, the reads and the verdicts are recorded (KORVEL_TRACE).
  Trace* trace = &Trace::off();
};

// Without reply pacing the caller keeps the documented pauses and the reply is first read as
// the port's own read has it. With it, a reply is taken as soon as it is whole, and awaited
// until reply_within_ms after the write, the time the documented pauses and read would have
// given the device.
struct Pacing {
  bool by_reply = false;
  uint32_t reply_within_ms = 0;
};

// Fills bytes 0 to 6 and the CRC-8 of the command frame; the data bytes 7 to 14 keep
// whatever the dialogue last put there.
void build_command_frame(Exchange& x, int32_t netnum);

// Writes the command frame. Before it: when a reply taken after unanswered frames was followed
// by more bytes, listens until the line has been quiet (the device answering copies); under
// reply pacing waits until the line is free; drops stale input. False when the port fails.
bool send_command(SerialPort& port, Exchange& x, int32_t netnum, Clock& clock,
                  const Pacing& pacing = {});

enum class ReplyStatus { ReadFailed, Accepted, NotAccepted };

struct Reply {
  ReplyStatus status = ReplyStatus::NotAccepted;
  uint8_t code = 0;
  uint32_t value = 0;
};

// Reads and judges the reply to the frame last sent; only bytes heard since its write count,
// and its echo is dropped. The read: the port's own (a reply cut short completed within its
// time) or, under reply pacing, until the deadline. When it takes no reply the loader listens
// on only for cause: a reply cut short, a device heard answering late before (LineModel), or
// min_listen_us after the write; a reply to the frame that comes whole meanwhile is taken.
Reply receive_reply(SerialPort& port, Exchange& x, Clock& clock, uint64_t min_listen_us = 0);

}  // namespace korvel
