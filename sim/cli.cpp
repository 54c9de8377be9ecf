#include "cli.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

namespace zemlot {

namespace {

// Nobody tests a fault on a hundred thousand frames; a wider range is a typing error.
constexpr uint64_t kMaxRangeWidth = 100000;

std::vector<std::string_view> split_fields(std::string_view text, char sep) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t pos = text.find(sep, start);
    fields.push_back(text.substr(start, pos == std::string_view::npos ? pos : pos - start));
    if (pos == std::string_view::npos) {
      return fields;
    }
    start = pos + 1;
  }
}

using korvel::common::parse_digits;
using korvel::common::parse_number;

std::string_view without_hex_prefix(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
  }
  return text;
}

// A code or a checksum: hexadecimal, with or without 0x, as the protocol's values are
// always written (E1 and 0xE1 alike).
std::optional<uint64_t> parse_code(std::string_view text, uint64_t max) {
  return parse_digits(without_hex_prefix(text), max, 16);
}

// "N" or "N-M", frame numbers from 1.
std::optional<std::pair<uint32_t, uint32_t>> parse_frames(std::string_view text) {
  const auto parts = split_fields(text, '-');
  if (parts.size() > 2) {
    return std::nullopt;
  }
  const auto first = parse_number(parts[0], UINT32_MAX);
  const auto last = parts.size() == 2 ? parse_number(parts[1], UINT32_MAX) : first;
  if (!first || !last || *first == 0 || *last < *first || *last - *first >= kMaxRangeWidth) {
    return std::nullopt;
  }
  return std::pair{static_cast<uint32_t>(*first), static_cast<uint32_t>(*last)};
}

std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view text) {
  text = without_hex_prefix(text);
  if (text.empty() || text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto b = parse_digits(text.substr(i, 2), 0xFF, 16);
    if (!b) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(*b));
  }
  return bytes;
}

// What an option's handler returns when it has taken the value; otherwise it returns what it
// expected instead, for the error message.
constexpr const char* kTaken = nullptr;

template <class Fn>
void for_frames(std::pair<uint32_t, uint32_t> frames, Fn fn) {
  for (uint64_t n = frames.first; n <= frames.second; ++n) {
    fn(static_cast<uint32_t>(n));
  }
}

// A switch.
template <bool ProgramOptions::*Flag>
const char* set_flag(std::string_view, ProgramOptions& p) {
  p.*Flag = true;
  return kTaken;
}

template <class Field>
const char* take_number(std::string_view value, uint64_t max, Field& field, const char* want) {
  const auto v = parse_number(value, max);
  if (!v) {
    return want;
  }
  field = static_cast<Field>(*v);
  return kTaken;
}

const char* take_path(std::string_view value, std::optional<std::string>& path, const char* want) {
  if (value.empty()) {
    return want;
  }
  path = std::string(value);
  return kTaken;
}

const char* take_key(std::string_view value, ProgramOptions& p) {
  const auto key = korvel::cipher::parse_key(without_hex_prefix(value));
  if (!key) {
    return "32 hexadecimal digits";
  }
  p.model.key = *key;
  return kTaken;
}

const char* take_reply_delay(std::string_view value, ProgramOptions& p) {
  const auto v = parse_number(value, 60000);
  if (!v) {
    return "milliseconds from 0 to 60000";
  }
  p.model.reply_delay_us = static_cast<uint32_t>(*v) * 1000;
  return kTaken;
}

// What --work-ms expects, naming the commands as the option does.
const char* work_ms_expected() {
  static const std::string text = [] {
    std::string s = "NAME=MS,... with NAME one of ";
    for (const korvel::CommandInfo& c : korvel::kCommands) {
      s += &c == korvel::kCommands ? "" : ", ";
      s += c.option;
    }
    return s + " and MS up to 60000";
  }();
  return text.c_str();
}

// NAME=MS,... into a command code -> ms map (--work-ms, --busy-after-reply).
const char* take_command_ms(std::string_view value, std::map<uint8_t, uint32_t>& into) {
  for (const std::string_view item : split_fields(value, ',')) {
    const auto fields = split_fields(item, '=');
    const auto ms = fields.size() == 2 ? parse_number(fields[1], 60000) : std::nullopt;
    const auto* command =
        std::find_if(std::begin(korvel::kCommands), std::end(korvel::kCommands),
                     [&](const korvel::CommandInfo& c) { return fields[0] == c.option; });
    if (!ms || command == std::end(korvel::kCommands)) {
      return work_ms_expected();
    }
    into[command->code] = static_cast<uint32_t>(*ms);
  }
  return kTaken;
}

// One of a few words, each naming a value.
template <class T, size_t N>
const char* take_word(std::string_view value, const std::pair<const char*, T> (&words)[N], T& field,
                      const char* want) {
  const auto* it = std::find_if(std::begin(words), std::end(words),
                                [&](const auto& w) { return value == w.first; });
  if (it == std::end(words)) {
    return want;
  }
  field = it->second;
  return kTaken;
}

const char* take_refusal(std::string_view value, ProgramOptions& p) {
  const auto fields = split_fields(value, ':');
  if (fields.size() != 3) {
    return "CODE:N:ERR";
  }
  const auto code = parse_code(fields[0], 0xFF);
  const auto frames = parse_frames(fields[1]);
  const auto err = parse_code(fields[2], 0xFF);
  if (!code || !frames || !err) {
    return "CODE:N:ERR (hexadecimal bytes, N or N-M from 1)";
  }
  for_frames(*frames, [&](uint32_t n) {
    p.model.faults.refuse.push_back(
        Refusal{static_cast<uint8_t>(*code), n, static_cast<uint8_t>(*err)});
  });
  return kTaken;
}

const char* take_frame_set(std::string_view value, std::set<uint32_t>& set) {
  const auto frames = parse_frames(value);
  if (!frames) {
    return "a frame number N or a range N-M, from 1";
  }
  for_frames(*frames, [&](uint32_t n) { set.insert(n); });
  return kTaken;
}

const char* take_delayed_replies(std::string_view value, ProgramOptions& p) {
  const auto fields = split_fields(value, ':');
  const auto frames = fields.size() == 2 ? parse_frames(fields[0]) : std::nullopt;
  const auto ms = fields.size() == 2 ? parse_number(fields[1], 600000) : std::nullopt;
  if (!frames || !ms) {
    return "N:MS";
  }
  for_frames(*frames, [&](uint32_t n) { p.model.faults.delay_ms[n] = static_cast<uint32_t>(*ms); });
  return kTaken;
}

const char* take_noise(std::string_view value, ProgramOptions& p) {
  const auto fields = split_fields(value, ':');
  const auto frames = fields.size() == 2 ? parse_frames(fields[0]) : std::nullopt;
  const auto bytes = fields.size() == 2 ? parse_hex_bytes(fields[1]) : std::nullopt;
  if (!frames || !bytes) {
    return "N:HEXBYTES";
  }
  const auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(*bytes));
  for_frames(*frames, [&](uint32_t n) { p.model.faults.noise[n] = shared; });
  return kTaken;
}

const char* take_split(std::string_view value, ProgramOptions& p) {
  const auto fields = split_fields(value, ':');
  const auto frames = fields.size() == 3 ? parse_frames(fields[0]) : std::nullopt;
  const auto first = fields.size() == 3 ? parse_number(fields[1], 6) : std::nullopt;
  const auto gap = fields.size() == 3 ? parse_number(fields[2], 600000) : std::nullopt;
  if (!frames || !first || *first == 0 || !gap) {
    return "N:FIRST:GAPMS with FIRST from 1 to 6";
  }
  for_frames(*frames, [&](uint32_t n) {
    p.model.faults.split[n] = {static_cast<uint32_t>(*first), static_cast<uint32_t>(*gap)};
  });
  return kTaken;
}

const char* take_crc_answer(std::string_view value, ProgramOptions& p) {
  const auto v = parse_code(value, UINT32_MAX);
  if (!v) {
    return "up to 8 hexadecimal digits";
  }
  p.model.faults.crc_answer = static_cast<uint32_t>(*v);
  return kTaken;
}

const char* take_vanish_after(std::string_view value, ProgramOptions& p) {
  const auto v = parse_number(value, UINT32_MAX);
  if (!v || *v == 0) {
    return "a count of replies from 1";
  }
  p.model.faults.vanish_after = static_cast<uint32_t>(*v);
  return kTaken;
}

struct OptionEntry {
  const char* name;
  int has_arg;  // getopt's no_argument or required_argument
  // Takes the value (empty for a switch): kTaken, or what was expected instead.
  const char* (*take)(std::string_view value, ProgramOptions& p);
};

// In the order --help lists them.
const OptionEntry kOptionTable[] = {
    {"port", required_argument,
     [](std::string_view v, ProgramOptions& p) { return take_path(v, p.port, "a device path"); }},
    {"no-pacing", no_argument,
     [](std::string_view, ProgramOptions& p) {
       p.model.line.baud = 0;
       return kTaken;
     }},
    {"echo", no_argument,
     [](std::string_view, ProgramOptions& p) {
       p.model.line.echo = true;
       return kTaken;
     }},
    {"latency-ms", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, 1000, p.model.line.latency_ms, "milliseconds from 0 to 1000");
     }},
    {"byte-errors", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, UINT32_MAX, p.model.line.byte_errors, "a count of bytes (0: none)");
     }},
    {"seed", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, UINT64_MAX, p.model.seed, "a 64-bit number");
     }},
    {"netnum", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, INT32_MAX, p.model.netnum, "a number from 0 to 2147483647");
     }},
    {"blid", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, UINT32_MAX, p.model.bootloader_version, "a 32-bit number");
     }},
    {"key-version", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, 0xFF, p.model.key_version, "a number from 0 to 255");
     }},
    {"key", required_argument, take_key},
    {"reply-delay-ms", required_argument, take_reply_delay},
    {"work-ms", required_argument,
     [](std::string_view v, ProgramOptions& p) { return take_command_ms(v, p.model.work_ms); }},
    {"busy-after-reply", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_command_ms(v, p.model.busy_after_reply_ms);
     }},
    {"jitter-ms", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, 60000, p.model.jitter_ms, "milliseconds from 0 to 60000");
     }},
    {"busy", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       static constexpr std::pair<const char*, Busy> kWords[] = {
           {"lost", Busy::Lost}, {"garbled", Busy::Garbled}, {"queued", Busy::Queued}};
       return take_word(v, kWords, p.model.busy, "lost, garbled or queued");
     }},
    {"after-goto", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       static constexpr std::pair<const char*, AfterGoto> kWords[] = {
           {"bootloader", AfterGoto::Bootloader},
           {"silent", AfterGoto::Silent},
           {"chatter", AfterGoto::Chatter}};
       return take_word(v, kWords, p.model.after_goto, "bootloader, silent or chatter");
     }},
    {"crc-before-unlock", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       static constexpr std::pair<const char*, CrcBeforeUnlock> kWords[] = {
           {"answer", CrcBeforeUnlock::Answer},
           {"refuse", CrcBeforeUnlock::Refuse},
           {"ignore", CrcBeforeUnlock::Ignore}};
       return take_word(v, kWords, p.model.crc_before_unlock, "answer, refuse or ignore");
     }},
    {"rewrite", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       static constexpr std::pair<const char*, Rewrite> kWords[] = {{"and", Rewrite::And},
                                                                    {"refuse", Rewrite::Refuse}};
       return take_word(v, kWords, p.model.rewrite, "and or refuse");
     }},
    {"refuse", required_argument, take_refusal},
    {"drop-reply", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_frame_set(v, p.model.faults.drop_reply);
     }},
    {"delay-reply", required_argument, take_delayed_replies},
    {"wrong-address", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_frame_set(v, p.model.faults.wrong_address);
     }},
    {"bad-crc", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_frame_set(v, p.model.faults.bad_crc);
     }},
    {"noise", required_argument, take_noise},
    {"split", required_argument, take_split},
    {"silent", required_argument,
     [](std::string_view v, ProgramOptions& p) {
       return take_number(v, UINT32_MAX, p.model.faults.silent_first, "a count of frames");
     }},
    {"crc-answer", required_argument, take_crc_answer},
    {"vanish-after", required_argument, take_vanish_after},
    {"exit-on-goto", no_argument, set_flag<&ProgramOptions::exit_on_goto>},
    {"trace", no_argument,
     [](std::string_view, ProgramOptions& p) {
       p.model.trace = true;
       return kTaken;
     }},
    {"holds", required_argument,
     [](std::string_view v, ProgramOptions& p) { return take_path(v, p.holds, "a file name"); }},
    {"dump", required_argument,
     [](std::string_view v, ProgramOptions& p) { return take_path(v, p.dump, "a file name"); }},
    {"force", no_argument, set_flag<&ProgramOptions::force>},
    {"help", no_argument, set_flag<&ProgramOptions::help>},
    {"version", no_argument, set_flag<&ProgramOptions::version>},
};

// getopt_long's values for the options lie above any character: the table index plus this.
constexpr int kFirstOptionValue = 0x100;

// The table as getopt_long wants it, ending in a row of zeros.
const option* long_options() {
  static const std::vector<option> options = [] {
    std::vector<option> o;
    for (size_t i = 0; i < std::size(kOptionTable); ++i) {
      o.push_back({kOptionTable[i].name, kOptionTable[i].has_arg, nullptr,
                   kFirstOptionValue + static_cast<int>(i)});
    }
    o.push_back({nullptr, 0, nullptr, 0});
    return o;
  }();
  return options.data();
}

// Applies one option; an error message when its value is no good.
std::optional<std::string> apply(int opt, std::string_view value, ProgramOptions& p) {
  const size_t index = static_cast<size_t>(opt - kFirstOptionValue);
  if (opt < kFirstOptionValue || index >= std::size(kOptionTable)) {
    return std::string("internal error: unhandled option");
  }
  const OptionEntry& entry = kOptionTable[index];
  const char* want = entry.take(value, p);
  if (want == kTaken) {
    return std::nullopt;
  }
  return std::string("bad value '") + std::string(value) + "' for --" + entry.name + ": expected " +
         want;
}

// getopt_long's complaint about argv[at] as one line.
std::string option_error(int argc, char* const* argv, int at) {
  if (optopt != 0) {
    const option* o = long_options();
    while (o->name != nullptr && o->val != optopt) {
      ++o;
    }
    if (o->name != nullptr) {
      return std::string("option --") + o->name +
             (o->has_arg == no_argument ? " takes no value" : " needs a value");
    }
  }
  std::string_view w(at < argc ? argv[at] : "");
  if (const size_t eq = w.find('='); eq != std::string_view::npos) {
    w = w.substr(0, eq);
  }
  return "unknown option " + std::string(w) + " (see --help)";
}

}  // namespace

ParseResult parse_command_line(int argc, char* const* argv) {
  ParseResult r;
  optind = 0;  // a full reset of getopt's state in glibc
  opterr = 0;
  for (;;) {
    const int prev = optind == 0 ? 1 : optind;
    const int opt = getopt_long(argc, argv, "", long_options(), nullptr);
    if (opt == -1) {
      break;
    }
    if (opt == '?' || opt == ':') {
      r.error = option_error(argc, argv, prev);
      return r;
    }
    if (auto err = apply(opt, optarg != nullptr ? optarg : "", r.options)) {
      r.error = *err;
      return r;
    }
  }
  if (optind < argc) {
    r.error = std::string("unexpected argument '") + argv[optind] + "' (see --help)";
    return r;
  }
  r.ok = true;
  return r;
}

namespace {

const char kUsageText[] = R"(Usage: zemlot-sim [OPTION]...
Emulates the device's resident bootloader on a serial line, for testing the loader
without hardware. By default it opens a new pseudo-terminal; the first line of standard
output is always the path the loader should open.

The cipher is a stand-in for tests: XTEA with a default key, NOT the real device's cipher.
An image enciphered for a real device will not decipher correctly here, and the other way
round.

Line:
  --port PATH            use an existing serial port (raw 9600 8N1) instead of a new
                         pseudo-terminal
  --no-pacing            let every byte arrive at once both ways instead of at 9600 baud
                         (one byte every 1.042 ms); nothing collides then
  --echo                 play an adapter that hears its own transmission: every byte the
                         loader sends comes back to it as it leaves the line
  --latency-ms L         play an adapter that hands what it receives to the loader only
                         every L ms (many USB adapters default to 16); 0: at once (default)
  --byte-errors N        flip one bit in one byte in N on the line, either way, at random
                         (default 0: none)
  --seed S               seed of the random draws (--byte-errors, --jitter-ms, the
                         application's chatter); the same seed gives the same run
                         (default 1)

The line is half duplex, as RS-485 is, and paced: the device sees a frame only when its
last byte has arrived, 16.7 ms after its first. A byte the loader sends while the device
is sending one garbles both: each side receives its byte XOR (0x80 | the other's), and the
echo carries the garbled byte too.

Device:
  --netnum N             the device's network number; the low 8 bits are compared (default 1)
  --blid N               bootloader version answered to CMD_GET_BLID (default 2)
  --key-version N        key version; CMD_GET_KEYID answers 0x30 + N (default 3)
  --key HEX              stand-in cipher key, 32 hex digits (0x first allowed)
                         (default 00112233445566778899aabbccddeeff)
  --reply-delay-ms N     processing time before each reply starts (default 2)
  --work-ms NAME=MS,...  work before the reply to a command that is carried out, as a
                         device answers once its flash work is done; NAME is activate,
                         blid, keyid, unblock, erase, write, crc or goto (default 0 each;
                         for example --work-ms erase=25,write=1,crc=5)
  --jitter-ms J          vary each reply's delay and work by a random whole number of ms
                         from -J to +J, never below zero (default 0)
  --busy lost|garbled|queued
                         what becomes of a frame that arrives while the device works on
                         the previous one or answers it: lost (the default: a
                         single-threaded bootloader is not listening then); garbled (taken
                         inverted, so that it fails its CRC); queued (taken, and answered
                         after the previous reply)
  --busy-after-reply NAME=MS,...
                         work MS ms after the reply to a command that is carried out, busy
                         as --busy says, as a bootloader that acknowledges first and then
                         programs (NAME as for --work-ms; for example write=20)
  --after-goto bootloader|silent|chatter
                         once a CMD_GOTO_APPLICATION is confirmed: stay in the bootloader
                         (the default, so that one emulator serves several runs), or run the
                         application, which answers no frame (silent) and also puts its own
                         traffic on the line, 1 to 6 bytes every 200 to 600 ms (chatter,
                         seeded)
  --crc-before-unlock answer|refuse|ignore
                         CMD_GET_CRC before CMD_UNBLOCK_FLASH: answered (the default),
                         refused as flash locked (0xE1), or not answered at all, as a
                         bootloader that computes the checksum only once unlocked
  --rewrite and|refuse   a block written where flash is programmed already: refused with
                         error code 0xE8, as typical flash refuses to program a location
                         twice (refuse, the default), or ANDed in (and)

Faults (N is the number of an accepted frame, counted from 1; where a frame number is
asked for, a range N-M is accepted too; the options marked * may be repeated):
  --refuse CODE:N:ERR *  answer the Nth frame carrying command CODE with error code ERR
                         (CODE and ERR in hexadecimal: 3:2:E1)
  --drop-reply N *       never answer frame N (it still takes effect)
  --delay-reply N:MS *   answer frame N MS milliseconds later than usual
  --wrong-address N *    answer frame N from address netnum+1 (with a valid CRC)
  --bad-crc N *          answer frame N with a reply whose CRC-8 is wrong
  --noise N:HEXBYTES *   put these bytes on the line just before the reply to frame N
  --split N:FIRST:GAPMS *
                         send the first FIRST bytes of the reply to frame N, then
                         GAPMS ms of silence, then the rest
  --silent K             swallow the first K frames addressed to the device, as if it were
                         powered off: no reply, no effect, not counted as accepted
  --crc-answer HEX       CMD_GET_CRC answers this value instead of the computed CRC
  --vanish-after N       close the line after sending N replies, as if the adapter were
                         unplugged; keep running until a signal

Frames with a bad CRC-8 or another address are ignored and never numbered, and leave the
device free. A partial frame followed by more than 10 ms of silence is dropped.

Error codes in replies:
  0xE1  flash locked (erase or write before CMD_UNBLOCK_FLASH)
  0xE2  address outside the application area (pages 4..63) or misaligned
  0xE3  not activated (any command but CMD_ACTIVATE before CMD_ACTIVATE)
  0xE4  unknown command
  0xE5  CMD_GET_CRC range outside the flash
  0xE6  page not erased (CMD_WRITE_BLOCK into a page not erased since CMD_UNBLOCK_FLASH)
  0xE8  flash programmed already (CMD_WRITE_BLOCK over a block written since its erase,
        with --rewrite refuse)
The summary's "refused" line counts every refusal, and as "own" those the device made
itself rather than by --refuse.

Program:
  --exit-on-goto         exit once the reply to a confirmed CMD_GOTO_APPLICATION is sent
  --trace                print every frame both ways, in hex with its meaning, and what
                         the line did: "-> lost (device busy): HEX" (or garbled),
                         "!! collision: loader bytes 3-5 and device bytes 0-2 garbled",
                         "!! byte error: device byte 2 00 became 40"
  --holds FILE           start with the flash holding the image of container FILE from
                         0x08001000 on, deciphered with --key, as a device programmed before
  --dump FILE            at exit, write the whole 64 KB flash image to FILE; FILE is
                         created when the emulator starts and must not exist yet
  --force                let --dump replace an existing regular file
  --help                 show this help and exit
  --version              show the version and exit

Numbers and counts are decimal, or hexadecimal after 0x (42, 042, 0x2a; a leading 0
changes nothing, as the loader reads its network number). Codes, bytes and CRC values
are hexadecimal, with or without 0x (E1, 0xE1). At exit (SIGINT, SIGTERM, or
--exit-on-goto) a summary goes to standard output and the exit status is 0; a bad option
gives a one-line error and exit status 2; a line that cannot be opened, a --holds FILE
that is no container or a --dump FILE that cannot be created gives exit status 1.
)";

}  // namespace

bool load_holds(ProgramOptions& p, std::string* error) {
  if (!p.holds) {
    return true;
  }
  std::ifstream in(*p.holds, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    *error = "cannot read " + *p.holds;
    return false;
  }
  constexpr size_t kHeader = 64;
  const size_t app = korvel::kAppPages * korvel::PAGE_SIZE;
  if (file.size() < kHeader || file.size() - kHeader > app) {
    *error = *p.holds + ": no container of an image that fits the application area";
    return false;
  }
  std::vector<uint8_t> image(file.begin() + kHeader, file.end());
  for (size_t at = 0; at + korvel::BLOCK_SIZE <= image.size(); at += korvel::BLOCK_SIZE) {
    korvel::cipher::decipher_block(p.model.key, &image[at]);
  }
  p.model.holds = std::move(image);
  return true;
}

std::string usage_text() {
  return kUsageText;
}

}  // namespace zemlot
