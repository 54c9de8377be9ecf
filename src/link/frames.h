#pragma once
// Command frames out, reply frames in.
#include <array>
#include <cstdint>

#include "clock.h"
#include "link/serial_port.h"
#include "trace.h"
#include "wire/protocol.h"

namespace korvel {

enum test_e { INVALIDE = 0, VALIDE = 1 };

// The exchange state the dialogue works on for the whole run.
struct Exchange {
  Exchange();
  std::array<uint8_t, 24> tx_buff{};
  std::array<uint8_t, 15> rx_buff{};
  uint8_t command_tx = 0;
  uint32_t adr_tx = 0;
  uint8_t command_rx = 0;
  uint32_t data_rx = 0;
  test_e rxframe = INVALIDE;
  // From a command frame's write until its reply is read: the only time the line can hand the
  // frame back (an adapter that hears its own transmission).
  bool frame_out = false;
  // The code of the frame last written and when its write returned: a reply carrying another
  // command's code answers an earlier frame, and how late a reply came is measured from here.
  uint8_t sent_command = 0;
  uint64_t sent_at_us = 0;
  // When a byte last came in (see Pacing).
  bool heard = false;
  uint64_t last_rx_us = 0;
  // Under reply-driven pacing, after a reply that was not accepted: the next frame waits for
  // the time the documented pauses would have given, since the device may still be answering.
  uint64_t hold_until_us = 0;
  // Exchanges in a row, since the last reply taken, that heard something and took nothing. Each
  // one lengthens the listening after the next reply not taken, so that a device answering in
  // step with our own frames (and colliding with them) falls out of step.
  uint32_t unsettled = 0;
  // Whether frames have gone unanswered since the last reply taken, and since when. A device
  // that works through frames it received while busy may still owe replies to them once one
  // is taken.
  bool unanswered = false;
  uint64_t unanswered_since_us = 0;
  // How long the device took to confirm a command when it was slower than the read: after a
  // reply not taken the loader listens at least this long after the frame before sending it
  // again, rather than sending copies a busy device would lose or answer into. A confirmation
  // within the read sets it back to 0.
  uint64_t patience_us = 0;
  // Before the next frame: how long the line must have been quiet (0: no wait).
  uint64_t drain_quiet_us = 0;
  // Where the frames, the reads and the verdicts are recorded (KORVEL_TRACE).
  Trace* trace = &Trace::off();
};

// Reply-driven pacing. Without it the caller keeps the documented pauses and the reply is first
// read as the port's own read has it. With it, a reply is read as soon as it is whole, or until
// deadline_us, and a command frame goes out only once the line has been quiet for kQuietUs
// after the last byte received: the device must have let go of the RS-485 line. After a reply
// that failed or was not accepted, the next frame also waits for that deadline: a frame sent
// over a reply still on its way would garble both, again and again.
struct Pacing {
  bool by_reply = false;
  uint64_t deadline_us = 0;
};
constexpr uint64_t kQuietUs = 4000;

// After a reply that was not taken the loader listens on before its next frame, until the line
// has been quiet this long (longer than a USB adapter holds received bytes back), at least
// kSettleStepUs for each unsettled exchange (at most kSettleMaxUs), and never longer than
// kSettleBoundUs, so that a line full of noise still moves on. A reply to the frame just sent
// that comes whole in that time is taken.
constexpr uint64_t kSettleQuietUs = 25000;
constexpr uint64_t kSettleStepUs = 50000;
constexpr uint64_t kSettleMaxUs = 1200000;
constexpr uint64_t kSettleBoundUs = 3000000;
// The drain before a frame, after a reply taken following unanswered frames: quiet for as long
// as that reply took, within these limits.
constexpr uint64_t kDrainMaxUs = 1500000;
constexpr uint64_t kDrainBoundUs = 10000000;

// Fills bytes 0 to 6 and the CRC-8 of the command frame; the data bytes 7 to 14 keep
// whatever the dialogue last put there.
void build_command_frame(Exchange& x, int32_t netnum);

// Drops stale input, so that a late reply or line noise cannot shift the next reply, then
// writes the 16 bytes. First, when an earlier reply came after unanswered frames, listens until
// the line has been quiet (replies to those frames are dropped); under reply-driven pacing it
// waits for the quiet time (see Pacing). False when the port fails.
bool send_command(SerialPort& port, Exchange& x, int32_t netnum, Clock& clock, bool by_reply);

enum class ReplyStatus { ReadFailed, Accepted, NotAccepted };

struct Reply {
  ReplyStatus status = ReplyStatus::NotAccepted;
  uint8_t code = 0;
  uint32_t value = 0;
};

// Whether a 7-byte reply has a good CRC-8 and the device's address. A netnum outside
// 0 to 255 never matches.
bool reply_accepted(const uint8_t* rx, int32_t netnum);

// Whether a reply with this code cannot answer a frame that carried `sent`: it is the success
// code of another command, so it answers an earlier frame.
bool reply_is_stale(uint8_t code, uint8_t sent);

// The markers the dialogue passes: one for the replies to engine commands, another for the
// replies to blocks.
constexpr uint8_t kEngineReplyMarker = 0x00;
constexpr uint8_t kBlockReplyMarker = 0x22;

// Reads the reply to the frame last sent and judges it; only bytes that arrived since that
// frame's write count. A reply cut short by the read is completed within the read's own time.
// After a command frame, an echo of that frame ahead of the reply is read and dropped first.
// A reply that is not taken (garbled, for another address, or stale) is followed by the
// listening described at kSettleQuietUs, lasting at least until min_listen_us after the write.
// rx_buff holds the bytes judged, byte 1 then overwritten with `marker`.
Reply receive_reply(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker, Clock& clock,
                    const Pacing& pacing = {}, uint64_t min_listen_us = 0);

}  // namespace korvel
