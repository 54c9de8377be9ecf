#pragma once
// A throw-away Wine prefix for running Korvel.exe, with its serial ports mapped onto the
// emulator's pseudo-terminals.
#include <string>
#include <vector>

namespace korvel::testing {

// Where wine64 and its server live; `problem` says why the Windows runs cannot happen here.
struct WineTools {
  std::string wine;
  std::string wineserver;
  std::string problem;
};

// Looks in PATH first, then where Debian keeps the programs when only the wine64 package is
// installed (it puts no wine64 in /usr/bin).
WineTools find_wine();

class WinePrefix {
 public:
  // The prefix is made as `dir`/prefix; `dir` must exist and belongs to the caller.
  WinePrefix(WineTools tools, std::string dir);
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  // Starts a server that stays up for the whole suite and boots the prefix. Every later Wine
  // program joins these, so each run costs a program start rather than a Windows boot. An
  // explanation on failure, empty on success.
  std::string boot();

  // Points the DOS device `dos_name` ("com5", "com12") at a Unix device, replacing any earlier
  // mapping of that name.
  bool map_port(const std::string& dos_name, const std::string& device);
  bool port_mapped(const std::string& dos_name) const;

  // The argument vector that runs a Windows program in this prefix.
  std::vector<std::string> command(const std::string& exe,
                                   const std::vector<std::string>& args) const;

  // Stops the server and every Windows process of the prefix, then deletes the prefix.
  void remove();

 private:
  std::string dos_device(const std::string& dos_name) const;

  WineTools tools_;
  std::string dir_;
  std::string prefix_;
  std::string log_;
  bool server_started_ = false;
};

}  // namespace korvel::testing
