#pragma once
// zemlot-sim's command line.
#include <optional>
#include <string>

#include "model.h"

namespace zemlot {

struct ProgramOptions {
  Options model;                    // the device, and in model.line the line to it
  std::optional<std::string> port;  // an existing serial port instead of a new pseudo-terminal
  bool exit_on_goto = false;
  std::optional<std::string> dump;   // where to write the flash image at exit
  std::optional<std::string> holds;  // a container whose image the flash holds at the start
  bool force = false;                // the dump may replace an existing regular file
  bool help = false;
  bool version = false;
};

struct ParseResult {
  bool ok = false;
  std::string error;  // one English line, no program name, no newline
  ProgramOptions options;
};

// Parses argv with getopt_long (which it resets first, so it may be called again).
ParseResult parse_command_line(int argc, char* const* argv);

// The image of the container --holds names, deciphered with the options' key, into
// options.model.holds. False with a one-line reason when the file cannot be read or is no
// container.
bool load_holds(ProgramOptions& p, std::string* error);

// The --help text.
std::string usage_text();

}  // namespace zemlot
