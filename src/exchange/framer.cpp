#include "exchange/framer.h"

#include <algorithm>
#include <cstdio>

#include "wire/crc8.h"
#include "wire/protocol.h"

namespace korvel {

bool reply_accepted(const uint8_t* rx, int32_t netnum) {
  return rx[kRepCrc] == dallas_crc8(rx, kRepCrc) && int32_t{rx[kRepAddr]} == netnum;
}

bool reply_is_stale(uint8_t code, uint8_t sent) {
  return code != sent && is_command_code(code);
}

namespace {

constexpr uint32_t kWindow = kReplyFrameSize;
constexpr uint32_t kEcho = kCommandFrameSize;

bool piece_of_frame(const uint8_t* w, const uint8_t* frame) {
  const uint8_t* end = frame + kEcho;
  return std::search(frame, end, w, w + kWindow) != end;
}

// A window that passes for a reply: first windows may begin like the frame, later ones not.
bool passes(const uint8_t* b, uint32_t at, const Sent& s) {
  return !(at > 0 && piece_of_frame(b + at, s.frame)) && reply_accepted(b + at, s.netnum);
}

}  // namespace

Judgement judge(const uint8_t* b, uint32_t n, bool echo_open, const Sent& s) {
  if (echo_open && n > 0 && std::equal(b, b + std::min(n, kWindow), s.frame)) {
    if (n < kWindow)
      return {Finding::None, 0, kWindow - n};
    if (n < kEcho)
      return {Finding::None, 0, kEcho - n};
    return {Finding::Echo, 0, 0};
  }
  for (uint32_t at = 0; at + kWindow <= n; ++at)
    if (passes(b, at, s) && !reply_is_stale(b[at + kRepCode], s.command))
      return {Finding::Reply, at, 0};
  return {Finding::None, 0, n < kWindow ? kWindow - n : 0};
}

bool holds_frame(const uint8_t* b, uint32_t n) {
  for (uint32_t at = 0; at + kWindow <= n; ++at)
    if (b[at + kRepCrc] == dallas_crc8(b + at, kRepCrc))
      return true;
  return false;
}

uint32_t first_stale(const uint8_t* b, uint32_t n, const Sent& s) {
  for (uint32_t at = 0; at + kWindow <= n; ++at)
    if (passes(b, at, s) && reply_is_stale(b[at + kRepCode], s.command))
      return at;
  return n;
}

std::string why_not(const uint8_t* b, uint32_t n, const Sent& s) {
  char why[96];
  if (n == 0)
    return "nothing heard";
  if (const uint32_t at = first_stale(b, n, s); at < n)
    std::snprintf(why, sizeof why, "a reply for an earlier %s (sent %s)",
                  command_name(b[at + kRepCode]), command_name(s.command));
  else if (n < kWindow)
    std::snprintf(why, sizeof why, "%u bytes heard, a reply cut short", static_cast<unsigned>(n));
  else if (b[kRepCrc] != dallas_crc8(b, kRepCrc))
    std::snprintf(why, sizeof why, "%u bytes heard, the first seven fail the CRC-8",
                  static_cast<unsigned>(n));
  else if (int32_t{b[kRepAddr]} != s.netnum)
    std::snprintf(why, sizeof why, "a reply from address %u", b[kRepAddr]);
  else
    std::snprintf(why, sizeof why, "%u bytes heard, pieces of the frame", static_cast<unsigned>(n));
  return why;
}

}  // namespace korvel
