#pragma once
// Every time limit of the loader in one table: the documented pauses, and the bounds the reply
// path adds to them. korvel(1), TIMING, lists the same numbers; change both together.
#include <cstdint>

#include "system/serial_port.h"
#include "wire/protocol.h"

namespace korvel {

struct Timing {
  // The documented pauses, in milliseconds.
  uint32_t after_command_ms;  // after a command frame's write
  uint32_t before_read_ms;    // then, before its reply is read
  uint32_t after_block_ms;    // after a block's write, before its reply is read
  uint32_t before_answer_ms;  // before each read of the operator's answer
  uint32_t finish_ms;         // before the run ends
  // The reply path, in microseconds.
  uint64_t read_us;           // the documented read of a reply: up to 21 + 7 ms when nothing waits
  uint64_t line_free_us;      // reply pacing: the device lets go of the line this soon after a byte
  uint64_t line_free_max_us;  // ... at most, once frames that soon were seen to go unheard
  uint64_t quiet_us;          // listening ends once the line has been quiet this long
  uint64_t late_max_us;       // the most a device heard answering late makes the loader listen
  uint64_t listen_max_us;     // listening after a read never lasts longer, whatever still comes
  uint64_t drain_max_us;      // the quiet the drain before a frame asks for, at most
  uint64_t drain_max_total_us;  // the drain never lasts longer, whatever still comes
  uint64_t block_listen_us;     // a block's reply is awaited this long after its write
};

inline constexpr Timing kTiming{
    .after_command_ms = 98,
    .before_read_ms = 21,
    .after_block_ms = 69,
    .before_answer_ms = 100,
    .finish_ms = 2000,
    .read_us = kPortTimeLimits.read.for_bytes(kReplyFrameSize) * 1000,
    .line_free_us = 4000,
    .line_free_max_us = 64000,
    .quiet_us = 25000,
    .late_max_us = 1200000,
    .listen_max_us = 3000000,
    .drain_max_us = 1500000,
    .drain_max_total_us = 10000000,
    .block_listen_us = 1500000,
};
static_assert(kTiming.read_us == 28000);

// Under reply pacing a reply is awaited until the documented pauses and read would have ended.
inline constexpr uint32_t kCommandReplyWithinMs =
    kTiming.after_command_ms + kTiming.before_read_ms + kTiming.read_us / 1000;
inline constexpr uint32_t kBlockReplyWithinMs = kTiming.after_block_ms + kTiming.read_us / 1000;

}  // namespace korvel
