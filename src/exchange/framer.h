#pragma once
// What the bytes heard since a command frame's write are: its echo, a reply to take, or
// neither. A pure function of the bytes, the frame and the network number: no port, no clock.
#include <cstdint>
#include <string>

namespace korvel {

// Whether a 7-byte reply has a good CRC-8 and the device's address. A netnum outside
// 0 to 255 never matches.
bool reply_accepted(const uint8_t* rx, int32_t netnum);

// Whether a reply with this code cannot answer a frame that carried `sent`: it is the success
// code of another command, so it answers an earlier frame.
bool reply_is_stale(uint8_t code, uint8_t sent);

// What the loader sent and to whom, as the framer needs it.
struct Sent {
  const uint8_t* frame;  // the 16 bytes written
  uint8_t command;
  int32_t netnum;
};

enum class Finding {
  Echo,   // the first 16 bytes are the frame's echo: drop them and judge what follows
  Reply,  // the window at `at` is a reply to take
  None,   // nothing to take in what has come; `need` more bytes may change that
};

struct Judgement {
  Finding what = Finding::None;
  uint32_t at = 0;
  uint32_t need = 0;  // more bytes that would complete the echo or the first window; 0: any
};

// Judges n bytes heard, oldest first. While echo_open the first bytes may be the frame's echo:
// seven bytes that begin the frame are its echo only when nine more follow (a reply may begin
// like the frame, but no device sends sixteen bytes), and those nine need not match, since a
// byte hit on the line leaves an echo still an echo. Otherwise the first window that is a reply
// to take: the device's address, a good CRC-8, not another command's success code, and, but
// as the first window, no piece of the frame (an echo cut short or garbled carries such pieces,
// and some pass for a reply: network number 0 and a run of zero bytes in the frame).
Judgement judge(const uint8_t* b, uint32_t n, bool echo_open, const Sent& sent);

// Whether a whole reply frame is among the bytes, whatever its address and code: a window with
// a good CRC-8. Bytes hit on the line, or noise, hold none (but by a chance of 1 in 256).
bool holds_frame(const uint8_t* b, uint32_t n);

// The first window that is another command's reply (for the trace), or n when there is none.
uint32_t first_stale(const uint8_t* b, uint32_t n, const Sent& sent);

// Why bytes heard hold no reply to take, in words for the trace.
std::string why_not(const uint8_t* b, uint32_t n, const Sent& sent);

}  // namespace korvel
