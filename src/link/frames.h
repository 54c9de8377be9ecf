#pragma once
// Command frames out, reply frames in.
#include <array>
#include <cstdint>

#include "clock.h"
#include "link/protocol.h"
#include "link/serial_port.h"

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
  // When a byte last came in, under reply-driven pacing (see Pacing).
  bool heard = false;
  uint64_t last_rx_us = 0;
  // Under reply-driven pacing, after a reply that was not accepted: the next frame waits for
  // the time the documented pauses would have given, since the device may still be answering.
  uint64_t hold_until_us = 0;
};

// Reply-driven pacing. Without a clock the caller keeps the documented pauses and every read
// is one of the port's own. With one, a reply is read as soon as it is whole, or until
// deadline_us on that clock, and a command frame goes out only once the line has been quiet
// for kQuietUs after the last byte received: the device must have let go of the RS-485 line.
// After a reply that failed or was not accepted, the next frame also waits for that
// deadline: a frame sent over a reply still on its way would garble both, again and again.
struct Pacing {
  Clock* clock = nullptr;
  uint64_t deadline_us = 0;
};
constexpr uint64_t kQuietUs = 4000;

// Fills bytes 0 to 6 and the CRC-8 of the command frame; the data bytes 7 to 14 keep
// whatever the dialogue last put there.
void build_command_frame(Exchange& x, int32_t netnum);

// Drops stale input, so that a late reply or line noise cannot shift the next reply, then
// writes the 16 bytes; with a `quiet` clock, first waits for the quiet time (see Pacing).
// False when the port fails.
bool send_command(SerialPort& port, Exchange& x, int32_t netnum, Clock* quiet = nullptr);

enum class ReplyStatus { ReadFailed, Accepted, NotAccepted };

struct Reply {
  ReplyStatus status = ReplyStatus::NotAccepted;
  uint8_t code = 0;
  uint32_t value = 0;
};

// Whether a 7-byte reply has a good CRC-8 and the device's address. A netnum outside
// 0 to 255 never matches.
bool reply_accepted(const uint8_t* rx, int32_t netnum);

// The markers the dialogue passes: one for the replies to engine commands, another for the
// replies to blocks.
constexpr uint8_t kEngineReplyMarker = 0x00;
constexpr uint8_t kBlockReplyMarker = 0x22;

// Reads a reply into rx_buff and judges it. Afterwards byte 1 holds `marker`, so a read
// that brings nothing new cannot pass the same reply twice. After a command frame, an echo
// of that frame ahead of the reply is read and dropped first; the buffer is then as it was
// before, so an echo never passes as a reply and a reply lost after it reads as lost.
Reply receive_reply(SerialPort& port, Exchange& x, int32_t netnum, uint8_t marker,
                    const Pacing& pacing = {});

}  // namespace korvel
