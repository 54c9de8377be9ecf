// korvel-gang: the real programs, four emulated devices on four pseudo-terminals at once; and
// what it reads of a loader's trace, by hand.
#include "gang/gang.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "process.h"
#include "system/process.h"
#include "wire/crc32.h"

namespace korvel::gang {
namespace {

using testing::Child;
using testing::ScratchDir;

// Trace lines in, what the gang makes of them out.
TEST(GangProgress, ReadsTheLoadersTrace) {
  struct Case {
    std::vector<const char*> lines;
    Phase phase;
    uint32_t blocks, written;
    bool found;
    std::optional<int> status;
  };
  const char* kContainer = "   0.0 ms  container: 128 blocks, 1 pages";
  const char* kActivate =
      "  16.6 ms  -> 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 ac  CMD_ACTIVATE 0x00000000";
  const char* kTaken = " 135.6 ms  reply taken: 01 01 00 00 00 00 fa, confirms, value 0x00000000";
  const char* kRefused =
      " 135.6 ms  reply taken: 01 e1 00 00 00 00 fa, a refusal, value 0x00000000";
  const char* kBlid =
      "  -> 01 10 00 00 00 00 00 00 00 00 00 00 00 00 00 72  CMD_GET_BLID 0x00000000";
  const char* kBlidTaken = "  reply taken: 01 10 00 00 00 02 f7, confirms, value 0xfffffffe";
  const char* kKey =
      "  -> 01 11 00 00 00 00 00 00 00 00 00 00 00 00 00 5e  CMD_GET_KEYID 0x00000000";
  const char* kKeyTaken = "  reply taken: 01 11 00 00 00 33 da, confirms, value 0x00000033";
  const char* kBlock =
      "  -> 01 04 00 00 10 00 08 07 69 d9 fa 55 15 33 3c b6  CMD_WRITE_BLOCK 0x08001000";
  const Case cases[] = {
      {{kContainer}, Phase::Starting, 128, 0, false, {}},
      {{kContainer, kActivate}, Phase::Searching, 128, 0, false, {}},
      {{kActivate, kRefused, kActivate}, Phase::Searching, 0, 0, false, {}},
      {{kActivate, kTaken, kBlid}, Phase::Versions, 0, 0, true, {}},
      {{kActivate, kTaken, kBlock, kTaken, kBlock, kRefused, kBlock, kTaken},
       Phase::Writing,
       0,
       2,
       true,
       {}},
      {{kActivate, "end: exit status 8"}, Phase::Ended, 0, 0, false, 8},
      {{kActivate, "  12.0 ms  end: interrupted by signal 2"}, Phase::Ended, 0, 0, false, 130},
  };
  for (const Case& c : cases) {
    Progress p;
    for (const char* l : c.lines)
      p.line(l);
    EXPECT_EQ(p.phase, c.phase) << c.lines.back();
    EXPECT_EQ(p.blocks, c.blocks) << c.lines.back();
    EXPECT_EQ(p.written, c.written) << c.lines.back();
    EXPECT_EQ(p.found, c.found) << c.lines.back();
    EXPECT_EQ(p.status, c.status) << c.lines.back();
  }
  // The versions as the loader shows them: the bootloader's signed, the key's a digit.
  Progress p;
  for (const char* l : {kActivate, kTaken, kBlid, kBlidTaken, kKey, kKeyTaken})
    p.line(l);
  EXPECT_EQ(p.blid, -2);
  EXPECT_EQ(p.key, 3);
}

TEST(GangReport, OutcomesLinesAndNames) {
  Progress wrote, none;
  wrote.written = 1;  // a single block written is programming
  const std::tuple<const Progress*, int, bool, bool, const char*, bool> cases[] = {
      {&wrote, 0, false, false, "запрограммирован", true},
      {&none, 0, false, false, "уже содержал образ", true},
      {&wrote, 10, false, false, "запрограммирован, запуск не подтверждён", true},
      {&wrote, 7, false, false, "прибор отказался записать блок", false},
      {&wrote, 8, false, false, "ответ на запись блока искажён или не пришёл", false},
      {&none, 130, true, false, "бутлоадер не найден", false},
      {&wrote, 130, false, true, "прервано", false},
      {&none, 0, true, false, "бутлоадер не найден", false},
  };
  for (const auto& [p, status, given_up, stopped, words, ok] : cases) {
    EXPECT_EQ(outcome(*p, status, given_up, stopped), words) << status;
    EXPECT_EQ(succeeded(status, given_up, stopped), ok) << status;
  }
  EXPECT_EQ(csv_line({"a", "b,c", "d\"e", ""}), "a,\"b,c\",\"d\"\"e\",\n");
  EXPECT_EQ(file_name_of("/dev/ttyUSB0"), "port-_dev_ttyUSB0");
  EXPECT_EQ(file_name_of("COM5"), "port-COM5");  // never the port's own device name
  EXPECT_EQ(clock_text(125.4), "02:05");
}

TEST(GangOptions, TakesWhatTheHelpSays) {
  const std::vector<const char*> good = {"korvel-gang",    "--netnum=7", "--dir",    "out",
                                         "--search-limit", "5",          "--korvel", "/k",
                                         "f.cct",          "A",          "B"};
  Options o;
  EXPECT_FALSE(parse_options(static_cast<int>(good.size()), good.data(), o));
  EXPECT_EQ(o.netnum, "7");
  EXPECT_EQ(o.dir, "out");
  EXPECT_EQ(o.search_limit_s, 5u);
  EXPECT_EQ(o.korvel, "/k");
  EXPECT_EQ(o.container, "f.cct");
  EXPECT_EQ(o.ports, (std::vector<std::string>{"A", "B"}));
  for (const std::vector<const char*>& bad : {std::vector<const char*>{"korvel-gang", "f.cct"},
                                              {"korvel-gang", "--search-limit=0", "f.cct", "A"},
                                              {"korvel-gang", "--search-limit=86401", "f.cct", "A"},
                                              {"korvel-gang", "--search-limit", "5x", "f.cct", "A"},
                                              {"korvel-gang", "--bogus", "f.cct", "A"},
                                              {"korvel-gang", "f.cct", "A", "--dir"}}) {
    Options b;
    EXPECT_TRUE(parse_options(static_cast<int>(bad.size()), bad.data(), b)) << bad[1];
  }
}

// The program's own answers, before any loader: the status and the first words.
TEST(GangOptions, HelpVersionAndABadOptionEndAtOnce) {
  const std::tuple<const char*, int, const char*, const char*> cases[] = {
      {"--help", 0, "Использование: korvel-gang ", ""},
      {"--version", 0, "korvel-gang ", ""},
      {"--bogus", 2, "", "korvel-gang: "}};
  for (const auto& [option, status, out, err] : cases) {
    Child gang({KORVEL_GANG_PATH, option});
    EXPECT_EQ(gang.wait(10000), status) << option;
    EXPECT_TRUE(gang.out.starts_with(out) && gang.err.starts_with(err)) << gang.out << gang.err;
  }
}

// The real programs: four devices at once, each a zemlot-sim on its own pseudo-terminal.
struct Device {
  std::unique_ptr<Child> sim;
  std::string pty;
};

Device device(const std::string& options) {
  Device d;
  d.sim = std::make_unique<Child>(testing::words(ZEMLOT_SIM_PATH, options));
  d.pty = d.sim->read_line(5000);
  return d;
}

const std::string kImage(256, '\x5a');

std::string image_container(const ScratchDir& dir) {
  std::ofstream(dir.file("image.bin"), std::ios::binary) << kImage;
  Child cct({CCT_PATH, "make", "--in", dir.file("image.bin"), "--out", dir.file("image.cct")});
  EXPECT_EQ(cct.wait(10000), 0) << cct.err;
  return dir.file("image.cct");
}

// The report's lines after its header, keyed by port.
std::map<std::string, std::string> report(const std::string& path) {
  std::ifstream in(path);
  std::map<std::string, std::string> lines;
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, kReportHeader);
  while (std::getline(in, line)) {
    const size_t a = line.find(','), b = line.find(',', a + 1);
    lines[line.substr(a + 1, b - a - 1)] = line.substr(b + 1);
  }
  return lines;
}

// A loader that cannot be started says why, and leaves the gang's own streams open.
TEST(GangProcess, ALoaderThatCannotStartSaysWhy) {
  const ScratchDir dir;
  const std::string missing = dir.file("missing");
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"/bin/true", missing, dir.file("log"), missing + ": "},
      {"/bin/true", "/dev/null", missing + "/log", missing + "/log: "},
      {missing, "/dev/null", dir.file("log"), missing + ": "},
  };
  for (const auto& [program, input, output, why_starts] : cases) {
    std::string why;
    EXPECT_EQ(start_child({program}, {}, input, output, &why), nullptr) << why_starts;
    EXPECT_EQ(why, why_starts + "No such file or directory") << why_starts;
    for (int fd : {0, 1, 2})
      EXPECT_NE(fcntl(fd, F_GETFD), -1) << why_starts << ": descriptor " << fd;
  }
}

TEST(GangRun, FourDevicesSideBySide) {
  const ScratchDir dir;
  const std::string cct = image_container(dir);
  // One clean device alone first: the time the batch is held to.
  long long alone_ms = 0;
  {
    Device one = device("");
    const long long t0 = testing::now_ms();
    Child gang({KORVEL_GANG_PATH, "--dir", dir.file("alone"), cct, one.pty});
    EXPECT_EQ(gang.wait(60000), 0) << gang.out << gang.err;
    alone_ms = testing::now_ms() - t0;
    one.sim->wait(5000, SIGTERM);
  }
  Device clean1 = device(""), clean2 = device(""), silent = device("--silent 1000000"),
         refusing = device("--refuse 4:3:E9");
  const long long t0 = testing::now_ms();
  Child gang({KORVEL_GANG_PATH, "--search-limit", "3", "--dir", dir.file("batch"), cct, clean1.pty,
              clean2.pty, silent.pty, refusing.pty});
  const int status = gang.wait(60000);
  const long long batch_ms = testing::now_ms() - t0;
  EXPECT_EQ(status, 1) << gang.out << gang.err;
  // Side by side, not one after the other.
  EXPECT_LE(batch_ms, alone_ms * 13 / 10) << batch_ms << " ms against " << alone_ms;
  // On a pipe: plain lines, no cursor codes; the table at the end.
  EXPECT_EQ(gang.out.find('\x1b'), std::string::npos) << gang.out;
  EXPECT_NE(gang.out.find(silent.pty + ": бутлоадер не найден\n"), std::string::npos) << gang.out;
  EXPECT_NE(gang.out.find(refusing.pty + ": прибор отказался записать блок\n"), std::string::npos);
  EXPECT_NE(gang.out.find("\nПорт "), std::string::npos) << gang.out;
  // Read to the trace's last line: the jump is shown through the loader's closing pause.
  EXPECT_NE(gang.out.find(clean1.pty + ": переход к программе\n"), std::string::npos) << gang.out;
  // A line per change: none twice.
  std::set<std::string> seen;
  std::istringstream changes(gang.out.substr(0, gang.out.find("\nПорт ")));
  for (std::string l; std::getline(changes, l);)
    EXPECT_TRUE(seen.insert(l).second) << l;
  auto lines = report(dir.file("batch/report.csv"));
  // The container by name and its image's CRC-32, as the device checks it.
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08x",
                crc32(reinterpret_cast<const uint8_t*>(kImage.data()), 256));
  const std::string ok = "image.cct," + std::string(crc) + ",запрограммирован,0,2,3,";
  EXPECT_TRUE(lines[clean1.pty].find(ok) != std::string::npos) << lines[clean1.pty];
  EXPECT_TRUE(lines[clean2.pty].find(ok) != std::string::npos) << lines[clean2.pty];
  EXPECT_TRUE(lines[silent.pty].find("бутлоадер не найден,130,,,") != std::string::npos)
      << lines[silent.pty];
  EXPECT_TRUE(lines[refusing.pty].find("прибор отказался записать блок,7,2,3,") !=
              std::string::npos)
      << lines[refusing.pty];
  for (Device* d : {&clean1, &clean2, &silent, &refusing}) {
    EXPECT_EQ(d->sim->wait(5000, SIGTERM), 0);
    const bool programmed = d == &clean1 || d == &clean2;
    EXPECT_EQ(d->sim->out.find("application started: yes") != std::string::npos, programmed);
  }
}

// Ctrl+C stops every loader, each putting its port back, and the report keeps their lines.
// The caller's environment reaches each loader, but for the trace and the status, the gang's.
TEST(GangRun, InterruptedStopsEveryLoader) {
  const ScratchDir dir;
  const std::string cct = image_container(dir);
  Device a = device("--silent 1000000"), b = device("--silent 1000000");
  Child gang(
      {KORVEL_GANG_PATH, "--dir", dir.file("out"), cct, a.pty, b.pty},
      {"KORVEL_PACING=reply", "KORVEL_TRACE=" + dir.file("caller.trace"), "KORVEL_STATUS=plain"});
  EXPECT_TRUE(gang.wait_for_output("поиск бутлоадера", 10000)) << gang.out;
  usleep(300000);
  EXPECT_EQ(gang.wait(10000, SIGINT), 130) << gang.out << gang.err;
  auto lines = report(dir.file("out/report.csv"));
  EXPECT_EQ(lines.size(), 2u);
  for (const Device* d : {&a, &b}) {
    EXPECT_TRUE(lines[d->pty].find("прервано,130,") != std::string::npos) << lines[d->pty];
    std::ifstream f(dir.file("out/" + file_name_of(d->pty) + ".trace"));
    const std::string trace(std::istreambuf_iterator<char>(f), {});
    EXPECT_NE(trace.find("pacing: reply-driven\n"), std::string::npos) << trace;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("caller.trace")));
}

}  // namespace
}  // namespace korvel::gang
