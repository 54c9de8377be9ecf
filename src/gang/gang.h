#pragma once
// korvel-gang: one image into the devices on several ports at once, a loader process each, a
// live view, a table and a report. What each loader does is read from its trace (KORVEL_TRACE),
// which is plain ASCII on every platform, and its ending from its detailed exit status.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/console.h"

namespace korvel::gang {

enum class Phase { Starting, Searching, Versions, Erasing, Writing, Checking, Jumping, Ended };

// What one port's loader has done so far, from its trace, a line at a time.
struct Progress {
  Phase phase = Phase::Starting;
  uint32_t blocks = 0;   // in the image
  uint32_t written = 0;  // confirmed
  bool found = false;    // the bootloader answered its activation
  std::optional<int32_t> blid, key;
  std::optional<int> status;  // as the trace's last line says
  std::string command;        // the last frame's
  void line(std::string_view text);
};

// How a port's run ended, in words, given its exit status and whether the gang stopped it
// (`given_up`: no bootloader within the search limit; `stopped`: the gang's own Ctrl+C).
std::string outcome(const Progress& p, int status, bool given_up, bool stopped);
// Programmed, or holding the image already (KORVEL_COMPARE).
bool succeeded(int status, bool given_up, bool stopped);

// What the live view shows of a port: its phase and, while writing, the share done.
std::string phase_text(const Progress& p);

// "mm:ss".
std::string clock_text(double seconds);

struct Options {
  std::string container;
  std::vector<std::string> ports;
  std::string netnum = "1";
  std::string dir = "korvel-gang";
  uint32_t search_limit_s = 60;
  std::string korvel;  // the loader to run; "" for the one beside korvel-gang
  bool help = false, version = false;
};

// The command line; a line saying what is wrong, or nothing.
std::optional<std::string> parse_options(int argc, const char* const* argv, Options& o);
const char* usage_text();

// A report line's fields, quoted as CSV needs them.
std::string csv_line(const std::vector<std::string>& fields);
inline constexpr const char* kReportHeader =
    "date,port,container,image_crc32,outcome,status,bootloader_version,key_version,seconds";

// A port name as a file name: "port-", then the name with whatever is not a letter, a digit or
// '-' as '_'.
std::string file_name_of(std::string_view port);

// The whole batch; its exit status: 0 when every device was programmed or already held the
// image, 1 when not, 2 for a container that cannot be read, 130 after Ctrl+C.
int run_gang(Console& con, const Options& o);

}  // namespace korvel::gang
