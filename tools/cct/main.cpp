// cct: examine and make firmware containers. Exit status 0 success, 1 failure, 2 usage.
#include <getopt.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "cct.h"

#ifndef CCT_VERSION
#error "CCT_VERSION must be defined by the build"
#endif

namespace {

using korvel::cct::printable;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kMainHelp[] =
    "Usage: cct info FILE\n"
    "       cct make --in IMAGE --out FILE [--key HEX] [--creator-version N]\n"
    "                [--time UNIX] [--allow-tail] [--force]\n"
    "       cct --help | --version\n"
    "\n"
    "Examines and makes korvel firmware containers: a 64-byte header followed by the\n"
    "enciphered payload that the loader sends to the device in 8-byte blocks.\n"
    "\n"
    "Commands:\n"
    "  info   print the header, check the payload against crc_BIN and check that it fits\n"
    "         the 60-page application area\n"
    "  make   encipher a plain image (a multiple of 8 bytes, or padded with 0xFF to one)\n"
    "         and write a container\n"
    "\n"
    "The cipher used by 'make' is a stand-in for tests and demonstrations: XTEA with a\n"
    "default key. It is NOT the real device's cipher; a real device will not accept a\n"
    "container made with it.\n"
    "\n"
    "Exit status: 0 success, 1 failure (or an unsound container), 2 usage error.\n"
    "'cct info --help' and 'cct make --help' describe each command.\n";

const char kInfoHelp[] =
    "Usage: cct info FILE\n"
    "\n"
    "Prints one 'key: value' item per line: file, size, creator version, crc_decrypted,\n"
    "crc_BIN (checked against the stored payload), created (UTC), blocks, pages,\n"
    "fits application area and result. When the payload is not a multiple of 8 bytes, a\n"
    "'warning:' line appears and the result carries the warning, because the tail never\n"
    "reaches the device and the device's checksum will not match.\n"
    "\n"
    "Exit status: 0 when the payload is not empty, matches crc_BIN and fits the application\n"
    "area, 1 otherwise or when FILE cannot be read as a container (also when it changes\n"
    "size while being read), 2 on a usage error.\n";

const char kMakeHelp[] =
    "Usage: cct make --in IMAGE --out FILE [options]\n"
    "\n"
    "Records the CRC-32 of the plain IMAGE as crc_decrypted, enciphers it, records the\n"
    "CRC-32 of the result as crc_BIN and writes the container to FILE. IMAGE may hold\n"
    "from 8 to 61440 bytes (the 60-page application area), a multiple of 8: the loader\n"
    "writes 8-byte blocks only. With --allow-tail another size is padded with 0xFF to a\n"
    "multiple of 8, and the padding is programmed and checked with the image.\n"
    "\n"
    "The cipher is a stand-in for tests and demonstrations: XTEA over 8-byte blocks, by\n"
    "default with the key 00112233445566778899aabbccddeeff. It is NOT the real device's\n"
    "cipher.\n"
    "\n"
    "Options:\n"
    "  --in IMAGE             the plain image to read (required)\n"
    "  --out FILE             the container to write (required)\n"
    "  --key HEX              32 hexadecimal digits, the first pair is key byte 0\n"
    "  --creator-version N    creator version in the header (default 1; decimal or 0x..)\n"
    "  --time UNIX            creation time, seconds since 1970 UTC as a signed 32-bit\n"
    "                         number (default: now)\n"
    "  --allow-tail           pad an IMAGE that is not a multiple of 8 bytes with 0xFF\n"
    "                         instead of refusing it\n"
    "  --force                replace FILE if it is an existing regular file (anything\n"
    "                         else is never replaced)\n"
    "  -h, --help             show this help\n"
    "\n"
    "FILE is written through a temporary file in the same directory and renamed into\n"
    "place, so it is never left half-written.\n";

int usage_error(const std::string& message, const char* command) {
  std::fprintf(stderr, "cct: %s\nTry 'cct%s%s --help' for more information.\n",
               printable(message).c_str(), command[0] != '\0' ? " " : "", command);
  return kExitUsage;
}

// Output that could not be written is a failure, not a success with nothing to show.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "cct: cannot write the output\n");
    return kExitFailure;
  }
  return status;
}

// Option values above any char, so getopt's optopt tells long options apart.
enum OptionId : int {
  kOptIn = 256,
  kOptOut,
  kOptKey,
  kOptCreatorVersion,
  kOptTime,
  kOptForce,
  kOptAllowTail,
};

std::string option_name(const option* options, int id) {
  if (id > 0 && id < 256)
    return std::string("-") + static_cast<char>(id);
  for (const option* o = options; o->name != nullptr; ++o) {
    if (o->val == id)
      return std::string("--") + o->name;
  }
  return "?";
}

// Turns getopt's '?' and ':' into one message.
int option_error(int rc, const option* options, char** argv, const char* command) {
  if (rc == ':')
    return usage_error("option '" + option_name(options, optopt) + "' needs a value", command);
  if (optopt != 0 && optopt >= 256)
    return usage_error("option '" + option_name(options, optopt) + "' takes no value", command);
  if (optopt != 0)
    return usage_error(std::string("unknown option '-") + static_cast<char>(optopt) + "'", command);
  return usage_error("unknown option '" + std::string(argv[optind - 1]) + "'", command);
}

int run_info(int argc, char** argv) {
  static const option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 1;
  int rc;
  while ((rc = getopt_long(argc, argv, ":h", options, nullptr)) != -1) {
    if (rc == 'h') {
      std::fputs(kInfoHelp, stdout);
      return finish(kExitOk);
    }
    return option_error(rc, options, argv, "info");
  }
  if (argc - optind != 1)
    return usage_error(argc == optind ? "info needs a FILE" : "info takes exactly one FILE",
                       "info");
  const std::string path = argv[optind];
  std::string why;
  const auto in = korvel::cct::examine_file(path, &why);
  if (!in) {
    std::fprintf(stderr, "cct: %s: %s\n", printable(path).c_str(), why.c_str());
    return kExitFailure;
  }
  std::fputs(korvel::cct::format_report(path, *in).c_str(), stdout);
  return finish(in->sound() ? kExitOk : kExitFailure);
}

const option kMakeOptions[] = {{"in", required_argument, nullptr, kOptIn},
                               {"out", required_argument, nullptr, kOptOut},
                               {"key", required_argument, nullptr, kOptKey},
                               {"creator-version", required_argument, nullptr, kOptCreatorVersion},
                               {"time", required_argument, nullptr, kOptTime},
                               {"force", no_argument, nullptr, kOptForce},
                               {"allow-tail", no_argument, nullptr, kOptAllowTail},
                               {"help", no_argument, nullptr, 'h'},
                               {nullptr, 0, nullptr, 0}};

// What `cct make` has been told so far.
struct MakeArgs {
  korvel::cct::MakeRequest req;
  bool have_in = false;
  bool have_out = false;
  bool have_time = false;
};

// Takes a value that needs parsing; an exit status when it is no good.
std::optional<int> take_make_value(int rc, const std::string& value, MakeArgs& a) {
  if (rc == kOptKey) {
    const auto key = korvel::cipher::parse_key(value);
    if (!key)
      return usage_error("--key needs exactly 32 hexadecimal digits, not '" + value + "'", "make");
    a.req.key = *key;
    a.req.default_key = false;
  } else if (rc == kOptCreatorVersion) {
    const auto v = korvel::cct::parse_u32(value);
    if (!v)
      return usage_error(
          "--creator-version needs a number from 0 to 4294967295, not '" + value + "'", "make");
    a.req.creator_version = *v;
  } else {  // --time
    const auto t = korvel::cct::parse_i32(value);
    if (!t)
      return usage_error(
          "--time needs seconds since 1970 from -2147483648 to 2147483647, not '" + value + "'",
          "make");
    a.req.timestamp = *t;
    a.have_time = true;
  }
  return std::nullopt;
}

// Takes one of getopt's answers; an exit status when the run ends here.
std::optional<int> take_make_option(int rc, char** argv, MakeArgs& a) {
  const std::string value = optarg != nullptr ? optarg : "";
  switch (rc) {
    case 'h':
      std::fputs(kMakeHelp, stdout);
      return finish(kExitOk);
    case kOptIn:
      a.req.in = value;
      a.have_in = !value.empty();
      return std::nullopt;
    case kOptOut:
      a.req.out = value;
      a.have_out = !value.empty();
      return std::nullopt;
    case kOptKey:
    case kOptCreatorVersion:
    case kOptTime:
      return take_make_value(rc, value, a);
    case kOptForce:
      a.req.force = true;
      return std::nullopt;
    case kOptAllowTail:
      a.req.allow_tail = true;
      return std::nullopt;
    default:
      return option_error(rc, kMakeOptions, argv, "make");
  }
}

// After the options: what must be there, and the time when none was given; an exit status
// when the run ends here.
std::optional<int> complete_make_args(int argc, char** argv, MakeArgs& a) {
  if (optind < argc)
    return usage_error("make takes no operands, found '" + std::string(argv[optind]) + "'", "make");
  if (!a.have_in)
    return usage_error("make needs --in IMAGE", "make");
  if (!a.have_out)
    return usage_error("make needs --out FILE", "make");
  if (!a.have_time) {
    const std::time_t now = std::time(nullptr);
    if (now < INT32_MIN || now > INT32_MAX) {
      std::fprintf(stderr,
                   "cct: the current time does not fit the header's 32-bit "
                   "timestamp; give one with --time\n");
      return kExitFailure;
    }
    a.req.timestamp = static_cast<int32_t>(now);
  }
  return std::nullopt;
}

int run_make(int argc, char** argv) {
  MakeArgs a;
  opterr = 0;
  optind = 1;
  int rc;
  while ((rc = getopt_long(argc, argv, ":h", kMakeOptions, nullptr)) != -1) {
    if (const auto status = take_make_option(rc, argv, a))
      return *status;
  }
  if (const auto status = complete_make_args(argc, argv, a))
    return *status;

  std::string why;
  const auto built = korvel::cct::make_container(a.req, &why);
  if (!built) {
    std::fprintf(stderr, "cct: %s\n", why.c_str());
    return kExitFailure;
  }
  std::fputs(korvel::cct::format_summary(a.req, *built).c_str(), stdout);
  return finish(kExitOk);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return usage_error("no command given", "");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    std::fputs(kMainHelp, stdout);
    return finish(kExitOk);
  }
  if (command == "--version") {
    std::puts("cct " CCT_VERSION);
    return finish(kExitOk);
  }
  // Each command parses its own options; argv[1] stands in for the program name.
  if (command == "info")
    return run_info(argc - 1, argv + 1);
  if (command == "make")
    return run_make(argc - 1, argv + 1);
  if (!command.empty() && command[0] == '-')
    return usage_error("unknown option '" + command + "'", "");
  return usage_error("unknown command '" + command + "'", "");
}
