#pragma once
// A model of the device's resident bootloader as seen from the line: it takes the bytes the
// loader sends, with the time each arrived, and hands back the bytes the device would put on
// the line, each with the earliest time it may go out. It owns no clock and no port, so the
// same model runs in real time behind a pseudo-terminal (zemlot-sim) and in virtual time
// behind the tests' VirtualLine.
//
// Frame numbers. Every complete 16-byte frame is "seen". A seen frame with a bad CRC-8 or
// another address is ignored. The first Faults::silent_first frames that would otherwise be
// accepted are swallowed as if the device were powered off: no reply, no effect, no number.
// Every frame after that is "accepted" and numbered 1, 2, 3, ... in arrival order; every
// fault that names a frame number counts accepted frames. Refusals count the accepted
// frames of one command code separately (the 2nd CMD_ERASE_PAGE is nth = 2 for that code).
//
// Replies. Each accepted frame gets exactly one 7-byte reply unless a fault says otherwise:
// address (netnum & 0xFF), the command's own code on success or one of the error codes
// below, a 32-bit value most significant byte first (0 for commands without a value and for
// every refusal), CRC-8 over the first six bytes. A refused frame changes nothing.
//
// Busy. A single-threaded bootloader does one thing at a time: from the moment an accepted
// frame has fully arrived until the last byte of its reply has left the line (until its work
// would have ended, for a reply a fault withholds) it does not listen, and Options::busy says
// what becomes of the bytes that come meanwhile. Ignored frames leave it free.
//
// Time is whatever the caller says it is, in microseconds; it must not go backwards.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "stand_in_cipher.h"
#include "wire/protocol.h"

namespace zemlot {

// Reply codes of a refusal.
inline constexpr uint8_t kErrLocked = 0xE1;          // erase or write before CMD_UNBLOCK_FLASH
inline constexpr uint8_t kErrAddress = 0xE2;         // outside the application area, or misaligned
inline constexpr uint8_t kErrNotActivated = 0xE3;    // anything but CMD_ACTIVATE before activation
inline constexpr uint8_t kErrUnknownCommand = 0xE4;  // a code the bootloader does not know
inline constexpr uint8_t kErrCrcRange = 0xE5;        // CMD_GET_CRC range runs outside the flash
inline constexpr uint8_t kErrNotErased = 0xE6;       // write into a page not erased since unlock
inline constexpr uint8_t kErrNotBlank = 0xE8;        // write where flash is programmed already

inline constexpr uint32_t kFlashSize = korvel::kFlashPages * korvel::PAGE_SIZE;
inline constexpr uint32_t kFlashEnd = korvel::FLASH_BASE + kFlashSize;  // one past the last byte
// A partial frame whose next byte comes more than this long after the previous one is dropped.
inline constexpr uint64_t kFrameGapUs = 10000;

// "flash locked" for one of the codes above, nullptr otherwise.
const char* error_name(uint8_t code);

struct Refusal {
  uint8_t code = 0;   // command code to refuse
  uint32_t nth = 1;   // which accepted frame of that code, 1-based
  uint8_t error = 0;  // reply code sent instead of the command's own
};

struct Faults {
  std::vector<Refusal> refuse;
  std::set<uint32_t> drop_reply;          // accepted frames whose reply is never sent
  std::map<uint32_t, uint32_t> delay_ms;  // accepted frame -> extra delay before its reply
  std::set<uint32_t> wrong_address;       // accepted frames answered from address netnum + 1
  std::set<uint32_t> bad_crc;             // accepted frames answered with a wrong CRC-8
  // accepted frame -> bytes just before its reply; a range of frames shares one copy
  std::map<uint32_t, std::shared_ptr<const std::vector<uint8_t>>> noise;
  // accepted frame -> (bytes in the first part, ms of silence on the line before the rest)
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> split;
  uint32_t silent_first = 0;           // swallow the first K frames that would be accepted
  std::optional<uint32_t> crc_answer;  // successful CMD_GET_CRC answers this value instead
  // The line goes away once this many replies have been sent (see chunk_sent, want_vanish).
  std::optional<uint32_t> vanish_after;
};

// What becomes of the bytes that reach a busy device.
enum class Busy {
  Lost,     // never reach the frame assembler: the bootloader is not listening
  Garbled,  // reach it inverted, so that the frame they make fails its CRC-8
  Queued,   // taken like any other: every frame is answered, one reply after another
};

// The line between the loader's adapter and the device (see wire.h). The model itself
// ignores these; they travel with its options so that one set describes a whole device.
struct LineOptions {
  uint32_t baud = 9600;      // ten bits a byte; 0: every byte arrives at once, nothing collides
  bool echo = false;         // the adapter hears its own transmission
  uint32_t latency_ms = 0;   // the adapter hands received bytes over on this grid; 0: at once
  uint32_t byte_errors = 0;  // one byte in this many on the line has a bit flipped; 0: none
};

// What the device does once a CMD_GOTO_APPLICATION was confirmed: stay in the bootloader (so
// that one emulator serves several runs), or run the application, which answers nothing and,
// with Chatter, puts its own traffic on the line (a few bytes every few hundred ms, seeded).
enum class AfterGoto { Bootloader, Silent, Chatter };

// A block written where flash is not erased: ANDed in, or refused (kErrNotBlank) as typical
// microcontroller flash refuses to program a location twice.
enum class Rewrite { And, Refuse };

// CMD_GET_CRC before CMD_UNBLOCK_FLASH: answered, refused as flash locked, or not answered at all,
// as some bootloaders compute the checksum only once the flash is unlocked.
enum class CrcBeforeUnlock { Answer, Refuse, Ignore };

// splitmix64: small, fast and the same everywhere, so a seed replays a run exactly.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = state_ += 0x9e3779b97f4a7c15u;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for n far below 2^64.
  uint64_t below(uint64_t n) { return next() % n; }

 private:
  uint64_t state_;
};

struct Options {
  int32_t netnum = 1;               // the device's address; the low 8 bits are compared
  uint32_t bootloader_version = 2;  // CMD_GET_BLID value
  uint8_t key_version = 3;          // CMD_GET_KEYID answers 0x30 + key_version in the low byte
  korvel::cipher::Key key = korvel::cipher::kDefaultKey;
  uint32_t reply_delay_us = 2000;  // processing time before a reply starts
  // Command code -> ms of work (erasing, writing, computing) before the reply to a command
  // that is carried out, on top of reply_delay_us, as a device answers once its work is done.
  std::map<uint8_t, uint32_t> work_ms;
  // Command code -> ms the device works after its reply to a command that is carried out, busy
  // as Options::busy says (some bootloaders acknowledge first and then program).
  std::map<uint8_t, uint32_t> busy_after_reply_ms;
  Busy busy = Busy::Lost;
  AfterGoto after_goto = AfterGoto::Bootloader;
  Rewrite rewrite = Rewrite::Refuse;
  CrcBeforeUnlock crc_before_unlock = CrcBeforeUnlock::Answer;
  // A plain image the flash holds from 0x08001000 on when the device starts, as a device
  // programmed before (a service visit).
  std::vector<uint8_t> holds;
  // Each reply's delay and work together vary by a whole number of ms in [-J, +J], never
  // going below zero.
  uint32_t jitter_ms = 0;
  // Seeds what is drawn: the jitter here, the byte errors on the line (each its own stream).
  uint64_t seed = 1;
  LineOptions line;
  bool trace = false;  // collect one line per frame for take_trace()
  Faults faults;
};

// Bytes for the line. A consumer sends chunks in the order take_output() gave them, each
// starting no earlier than at_us and no earlier than min_gap_us after the last byte of the
// previous chunk has left the line, and calls Model::chunk_sent once the last byte is out.
struct Chunk {
  uint64_t at_us = 0;
  std::vector<uint8_t> bytes;
  uint64_t min_gap_us = 0;
  uint32_t frame = 0;      // the accepted frame this chunk belongs to
  bool reply_end = false;  // these are the last bytes of that frame's reply
  std::string note;        // what the chunk is, for traces: "ok", "refused: flash locked", "noise"
  uint64_t busy_after_us = 0;  // the device works this long once these bytes are out
  bool application = false;    // the application's own traffic, not the bootloader's
};

struct Summary {
  uint32_t frames = 0;           // complete frames seen, whatever became of them
  uint32_t bad_crc = 0;          // ignored: CRC-8 wrong
  uint32_t other_address = 0;    // ignored: addressed to another device
  uint32_t silent = 0;           // swallowed by Faults::silent_first
  uint32_t partial_dropped = 0;  // partial frames dropped after a gap
  uint32_t accepted = 0;
  std::map<uint8_t, uint32_t> by_code;  // accepted frames per command code, unknown codes too
  uint32_t refused = 0;                 // replies carrying an error code
  uint32_t own_refusals = 0;            // of those, the device's own (not Faults::refuse)
  uint32_t replies_dropped = 0;         // replies withheld by Faults::drop_reply
  uint32_t pages_erased = 0;            // distinct pages erased at least once
  uint32_t erase_operations = 0;        // successful CMD_ERASE_PAGE
  uint32_t blocks_written = 0;          // successful CMD_WRITE_BLOCK
  uint32_t rewrites_refused = 0;        // blocks refused where flash was programmed already
  uint32_t app_crc = 0;                 // CRC-32 of 0x08001000..0x0800FFFF as it is now
  // The last successful CMD_GET_CRC: its range and the CRC-32 of the flash over it then,
  // comparable with a container's crc_decrypted.
  std::optional<uint32_t> checked_size;
  uint32_t checked_from = 0;
  uint32_t checked_crc = 0;
  bool app_started = false;
  bool app_running = false;    // the device left its bootloader (Options::after_goto)
  uint32_t chatter_bytes = 0;  // what the application put on the line of its own accord
};

// The summary as zemlot-sim prints it, one "key: value" line each, ending with a newline:
//   zemlot-sim summary
//   frames: 12 (ignored: 0 bad CRC, 0 other address, 0 silent)
//   partial frames dropped: 0
//   commands: activate 1, get_blid 1, get_keyid 1, unblock_flash 1, erase_page 2,
//             write_block 5, get_crc 1, goto_application 1, unknown 0      (one line)
//   refused: 1 (own 1)       (the second count leaves out those Faults::refuse forces)
//   replies dropped: 0
//   pages erased: 2 (erase commands: 2)
//   blocks written: 5
//   rewrites refused: 0     (blocks refused where flash was programmed already)
//   application area CRC-32: 1a2b3c4d
//   checked image CRC-32: 0x1a2b3c4d (last checksum query: 40 bytes at 0x08001000)
//     or, without a query: checked image CRC-32: none (no checksum query)
//   application started: yes
//   bootloader left: no     (yes: the application runs and answers no frame)
std::string format_summary(const Summary& s);

using korvel::common::hex_bytes;

class Model {
 public:
  explicit Model(Options options);

  // Bytes that came off the line at now_us. A partial frame that has waited more than
  // kFrameGapUs for its next byte is dropped when that byte comes; 16 bytes make a frame.
  // Ignored once the line has vanished.
  void on_bytes(const uint8_t* data, size_t n, uint64_t now_us);
  // Replies and noise produced since the last call, in the order they must go out.
  std::vector<Chunk> take_output();
  // The consumer reports that the last byte of `chunk` has left the line at now_us. This is
  // what sets want_exit() after a goto reply and want_vanish() after the last reply allowed,
  // and what frees a busy device.
  void chunk_sent(const Chunk& chunk, uint64_t now_us);
  // Whether the device is working on a frame or answering it at now_us.
  bool busy_at(uint64_t now_us) const { return chunks_out_ > 0 || now_us < work_until_us_; }

  // True once CMD_GOTO_APPLICATION was confirmed and its reply sent (or withheld by a fault).
  bool want_exit() const { return want_exit_; }
  // True once Faults::vanish_after replies have been sent: the consumer closes the line, and
  // the model ignores anything more.
  bool want_vanish() const { return vanished_; }

  // Trace lines collected since the last call, when Options::trace is set: one per frame
  // seen ("-> <hex>  #3 CMD_ERASE_PAGE page 4 (0x08001000)", "-> <hex>  ignored: bad CRC"),
  // per dropped partial frame, per withheld reply, per chunk sent ("<- <hex>  #3 ok"), per run
  // of bytes that came while busy ("-> lost (device busy): <hex>"), and whatever the line
  // adds with note().
  std::vector<std::string> take_trace();
  void note(std::string line);

  const std::array<uint8_t, kFlashSize>& flash() const { return flash_; }
  Summary summary() const;
  const Options& options() const { return opts_; }

 private:
  struct Outcome {
    uint8_t code;
    uint32_t value;
  };
  void handle_frame(const uint8_t* f, uint64_t now_us);
  // Whether the device takes the frame at all; one it ignores only leaves a trace line.
  bool admitted(const uint8_t* f, const std::string& hex);
  // A refusal the faults force on the nth frame of its code, or what the device makes of it.
  Outcome outcome(const uint8_t* f, uint32_t nth);
  uint64_t reply_time(uint64_t now_us, uint8_t code, const Outcome& out, uint32_t n);
  // Whether a byte that came at now_us reaches the frame assembler, and as what: a busy
  // device takes it as Options::busy says.
  bool reaches_assembler(uint8_t& byte, uint64_t now_us);
  void note_busy_run();
  void assemble(uint8_t byte, uint64_t now_us);
  void withhold_reply(uint32_t n);
  // The jump confirmed: the application runs from now on, if the device is to leave.
  void start_application(uint64_t now_us);
  void queue_chatter(uint64_t now_us);
  // The reply to accepted frame n: whole, or in two parts when a fault splits it.
  void queue_reply(uint32_t n, uint8_t code, const Outcome& out, uint64_t at);
  Outcome execute(const uint8_t* f);
  Outcome erase_page(uint32_t addr);
  Outcome write_block(uint32_t addr, const uint8_t* enciphered);
  Outcome check_crc(uint32_t from, uint32_t size);
  uint8_t address() const { return static_cast<uint8_t>(opts_.netnum & 0xFF); }

  Options opts_;
  std::array<uint8_t, kFlashSize> flash_;
  std::vector<uint8_t> partial_;
  uint64_t last_byte_us_ = 0;
  bool activated_ = false;
  bool unlocked_ = false;
  bool app_started_ = false;
  bool want_exit_ = false;
  bool app_running_ = false;
  bool vanished_ = false;
  uint32_t silent_left_;
  uint32_t replies_sent_ = 0;
  std::set<uint32_t> goto_frames_;  // confirmed gotos whose reply is not yet out
  Summary counts_;
  std::set<uint32_t> erased_pages_;
  std::set<uint32_t> erased_since_unlock_;
  Rng rng_;
  // Busy: chunks of accepted frames not yet sent, and when the last work ends.
  uint32_t chunks_out_ = 0;
  uint64_t work_until_us_ = 0;
  std::vector<uint8_t> busy_run_;  // bytes that came while busy, for one trace line
  uint64_t busy_run_us_ = 0;       // when the last of them came
  std::vector<Chunk> out_;
  std::vector<std::string> trace_;
};

}  // namespace zemlot
