// Korvel.exe under Wine against the emulator, on a pseudo-terminal mapped as a COM port.
// Every scenario runs twice: on Windows (Wine) and with build/korvel on Linux. Standard
// output and standard error must be the same bytes once the Linux text is converted from
// UTF-8 to CP1251 and its port name replaced; the emulator must have seen the same frames.
// Colour cannot differ here: neither platform colours a stream that is not a console.
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"
#include "wine_prefix.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

// ctest's SKIP_RETURN_CODE for this executable.
constexpr int kSkipStatus = 77;

constexpr int kImageSize = 100;  // 12 whole blocks and a padded 13th: a few seconds a run
const char* const kContainer = "boot.cct";
const char* const kMissingContainer = "absent.cct";

// Our own CP1251 expectations, byte by byte, independent of any converter.
const std::string kPortOpened =  // "Открываем СОМ порт... \nОК\n"
    "\xCE\xF2\xEA\xF0\xFB\xE2\xE0\xE5\xEC \xD1\xCE\xCC \xEF\xEE\xF0\xF2... \n\xCE\xCA\n";
const std::string kPortFailed =  // "Открываем СОМ порт... \nошибка\n"
    "\xCE\xF2\xEA\xF0\xFB\xE2\xE0\xE5\xEC \xD1\xCE\xCC \xEF\xEE\xF0\xF2... \n"
    "\xEE\xF8\xE8\xE1\xEA\xE0\n";
const std::string kPortClosed =  // "Закрываю СОМ порт... OK\n"
    "\xC7\xE0\xEA\xF0\xFB\xE2\xE0\xFE \xD1\xCE\xCC \xEF\xEE\xF0\xF2... OK\n";
const std::string kNoContainer =  // "Не найден криптоконтейнер.cct \n"
    "\xCD\xE5 \xED\xE0\xE9\xE4\xE5\xED "
    "\xEA\xF0\xE8\xEF\xF2\xEE\xEA\xEE\xED\xF2\xE5\xE9\xED\xE5\xF0.cct \n";
const std::string kConfirmed =  // "Подтверждение получено\n"
    "\xCF\xEE\xE4\xF2\xE2\xE5\xF0\xE6\xE4\xE5\xED\xE8\xE5 \xEF\xEE\xEB\xF3\xF7\xE5\xED\xEE\n";
const std::string kInformed =  // "Информация получена успешно\n"
    "\xC8\xED\xF4\xEE\xF0\xEC\xE0\xF6\xE8\xFF \xEF\xEE\xEB\xF3\xF7\xE5\xED\xE0 "
    "\xF3\xF1\xEF\xE5\xF8\xED\xEE\n";
const std::string kProgramClosed =  // "Программа закрыта\n"
    "\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0 \xE7\xE0\xEA\xF0\xFB\xF2\xE0\n";
const std::string kPromptEnd =  // "введите Y, для выхода N  "
    "\xE2\xE2\xE5\xE4\xE8\xF2\xE5 Y, \xE4\xEB\xFF \xE2\xFB\xF5\xEE\xE4\xE0 N  ";
const std::string kCreated =
    "\xD4\xE0\xE9\xEB .cct: \xF1\xEE\xE7\xE4\xE0\xED ";  // "Файл .cct: создан "

const char* const kInfoCommands =
    "commands: activate 1, get_blid 1, get_keyid 1, unblock_flash 0, erase_page 0, "
    "write_block 0, get_crc 0, goto_application 0, unknown 0\n";
const char* const kNoCommands =
    "commands: activate 0, get_blid 0, get_keyid 0, unblock_flash 0, erase_page 0, "
    "write_block 0, get_crc 0, goto_application 0, unknown 0\n";
// The one page the image needs is erased twice: the loader sends its erase again in the pass
// that reads the first confirmation. Both platforms must do the same.
const char* const kProgramCommands =
    "commands: activate 1, get_blid 1, get_keyid 1, unblock_flash 1, erase_page 2, "
    "write_block 13, get_crc 1, goto_application 1, unknown 0\n";

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

std::string to_cp1251(const std::string& utf8) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert UTF-8 to CP1251 here";
    return {};
  }
  std::string in = utf8, out(utf8.size() + 16, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1))
    ADD_FAILURE() << "not convertible to CP1251 at byte " << (src - in.data()) << ": " << utf8;
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

// Printable form of a stretch of output: CP1251 letters as \xHH, control characters escaped.
std::string shown(const std::string& s, size_t from, size_t n) {
  std::string r;
  for (size_t i = from; i < s.size() && i < from + n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\n') {
      r += "\\n";
    } else if (c == '\r') {
      r += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      r += hex;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

// Equality of two byte strings, reported at the first difference rather than in full.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want)
    return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at])
    ++at;
  const size_t from = at > 60 ? at - 60 : 0;
  return ::testing::AssertionFailure()
         << "first difference at byte " << at << " (sizes " << got.size() << " and " << want.size()
         << ")\n  got:  ..." << shown(got, from, 140) << "\n  want: ..." << shown(want, from, 140);
}

::testing::AssertionResult starts_with(const std::string& s, const std::string& p) {
  return same_bytes(s.substr(0, p.size()), p);
}
::testing::AssertionResult ends_with(const std::string& s, const std::string& p) {
  return same_bytes(s.size() >= p.size() ? s.substr(s.size() - p.size()) : s, p);
}
::testing::AssertionResult contains(const std::string& s, const std::string& p) {
  if (s.find(p) != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "no \"" << shown(p, 0, p.size()) << "\" in the " << s.size() << " bytes starting \""
         << shown(s, 0, 600) << "\"";
}

// Shared by the whole suite: one prefix, booted once, and a work folder that is also the
// current directory, so both loaders get the same relative container name.
struct Suite {
  WineTools tools;
  std::string dir;
  std::unique_ptr<WinePrefix> prefix;
  std::string image;
};
Suite* g_suite = nullptr;

class WineEnvironment : public ::testing::Environment {
 public:
  explicit WineEnvironment(WineTools tools) { suite_.tools = std::move(tools); }

  void SetUp() override {
    g_suite = &suite_;
    char tmpl[] = "/tmp/korvel-wine-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    suite_.dir = tmpl;
    ASSERT_EQ(chdir(suite_.dir.c_str()), 0);
    // The reference runs print UTF-8; both print the creation time in the same zone.
    setenv("LANG", "C.UTF-8", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("TZ", "UTC", 1);

    suite_.image.resize(kImageSize);
    for (size_t i = 0; i < suite_.image.size(); ++i)
      suite_.image[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    std::ofstream(suite_.dir + "/image.bin", std::ios::binary) << suite_.image;
    Child cct({CCT_PATH, "make", "--in", "image.bin", "--out", kContainer, "--time", "1765051182"});
    ASSERT_EQ(cct.wait(10000), 0) << cct.err;

    const long long t0 = now_ms();
    suite_.prefix = std::make_unique<WinePrefix>(suite_.tools, suite_.dir);
    const std::string problem = suite_.prefix->boot();
    ASSERT_EQ(problem, "");
    std::printf("[ wine     ] prefix booted in %lld ms\n", now_ms() - t0);
  }

  void TearDown() override {
    if (suite_.prefix)
      suite_.prefix->remove();
    if (!suite_.dir.empty()) {
      (void)chdir("/");
      std::error_code ec;
      fs::remove_all(suite_.dir, ec);
    }
    g_suite = nullptr;
  }

 private:
  Suite suite_;
};

// The emulator for one run, with its flash written out when it stops.
class Emulator {
 public:
  explicit Emulator(const std::string& dump)
      : sim_({ZEMLOT_SIM_PATH, "--dump", dump}), pty_(sim_.read_line(5000)) {}
  const std::string& pty() const { return pty_; }
  // Stops it and returns its summary.
  std::string stop() {
    sim_.signal(SIGTERM);
    EXPECT_EQ(sim_.wait(5000), 0) << sim_.err;
    return sim_.out;
  }

 private:
  Child sim_;
  std::string pty_;
};

struct Outcome {
  int status = -1;
  std::string out, err;
  std::string summary;  // empty without an emulator
  std::string flash;
  long long ms = 0;
};

struct Scenario {
  const char* name;
  const char* dos_name;  // the DOS device mapped onto the emulator, null for none
  const char* win_port;  // Korvel.exe's first argument
  const char* container;
  const char* directive;
  const char* input;
  const char* tz;
  const char* created;  // the creation time the report must show, null when not reached
  int status;
  const char* commands;  // the emulator's command counts, null when no emulator runs
  bool programs;         // the image must arrive in the emulator's flash
  std::string out_start, out_has, out_end, err;
};

void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

Outcome finish(Child& loader, Emulator* sim, const std::string& dump, long long t0) {
  Outcome o;
  o.status = loader.wait(90000);
  o.ms = now_ms() - t0;
  o.out = loader.out;
  o.err = loader.err;
  if (sim != nullptr) {
    o.summary = sim->stop();
    o.flash = read_file(dump);
  }
  return o;
}

Outcome run_windows(const Scenario& s) {
  setenv("TZ", s.tz, 1);
  std::unique_ptr<Emulator> sim;
  const std::string dump = g_suite->dir + "/flash-windows.bin";
  fs::remove(dump);
  if (s.dos_name != nullptr) {
    sim = std::make_unique<Emulator>(dump);
    EXPECT_TRUE(g_suite->prefix->map_port(s.dos_name, sim->pty()));
  }
  const long long t0 = now_ms();
  Child k(g_suite->prefix->command(KORVEL_WIN_EXE, {s.win_port, "1", s.container, s.directive}));
  k.write_input(s.input);
  k.close_input();
  return finish(k, sim.get(), dump, t0);
}

Outcome run_linux(const Scenario& s, std::string& port) {
  setenv("TZ", s.tz, 1);
  std::unique_ptr<Emulator> sim;
  const std::string dump = g_suite->dir + "/flash-linux.bin";
  fs::remove(dump);
  port = g_suite->dir + "/no-such-port";
  if (s.dos_name != nullptr) {
    sim = std::make_unique<Emulator>(dump);
    port = sim->pty();
  }
  const long long t0 = now_ms();
  Child k({KORVEL_PATH, port, "1", s.container, s.directive});
  k.write_input(s.input);
  k.close_input();
  return finish(k, sim.get(), dump, t0);
}

// The emulator deciphers as it writes: its application area must hold the plain image, and
// the rest of the erased page must still be blank.
void expect_image_in_flash(const std::string& flash) {
  ASSERT_EQ(flash.size(), 65536u);
  const std::string& image = g_suite->image;
  const size_t app = 0x1000, written = (image.size() + 7) / 8 * 8;
  EXPECT_TRUE(same_bytes(flash.substr(app, image.size()), image)) << "the application area";
  EXPECT_TRUE(
      same_bytes(flash.substr(app + written, 1024 - written), std::string(1024 - written, '\xFF')))
      << "the rest of page 4";
}

class WineVsLinux : public ::testing::TestWithParam<Scenario> {};

TEST_P(WineVsLinux, SameBytesSameFrames) {
  const Scenario& s = GetParam();
  ASSERT_NE(g_suite, nullptr);
  if (s.dos_name == nullptr) {
    std::string dos = s.win_port;
    for (char& c : dos)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_FALSE(g_suite->prefix->port_mapped(dos)) << s.win_port << " should not exist";
  }

  const Outcome win = run_windows(s);
  std::string linux_port;
  const Outcome lin = run_linux(s, linux_port);

  EXPECT_EQ(win.status, s.status) << "Windows stderr: " << win.err;
  EXPECT_EQ(lin.status, s.status) << "Linux stderr: " << lin.err;

  // The only permitted differences: the encoding, and the port's name in the banner.
  const std::string loader_port = "Loader: Port ";
  const std::string want_out = to_cp1251(
      replace_all(lin.out, loader_port + linux_port + ";", loader_port + s.win_port + ";"));
  EXPECT_TRUE(same_bytes(win.out, want_out)) << "standard output";
  EXPECT_TRUE(same_bytes(win.err, to_cp1251(lin.err))) << "standard error";

  EXPECT_TRUE(starts_with(win.out, s.out_start));
  EXPECT_TRUE(contains(win.out, s.out_has));
  EXPECT_TRUE(ends_with(win.out, s.out_end));
  EXPECT_TRUE(same_bytes(win.err, s.err)) << "standard error";
  if (s.created != nullptr) {
    EXPECT_TRUE(contains(win.out, kCreated + s.created + "\n"));
  }

  if (s.commands != nullptr) {
    EXPECT_NE(win.summary.find(s.commands), std::string::npos) << win.summary;
    EXPECT_EQ(win.summary, lin.summary);
  }

  if (s.programs) {
    EXPECT_NE(win.summary.find("application started: yes"), std::string::npos) << win.summary;
    expect_image_in_flash(win.flash);
    EXPECT_TRUE(same_bytes(win.flash, lin.flash)) << "the two flash images";
    // Both runs are mostly the loader's own pauses; Wine adds its start-up and a little per
    // call. A port whose time limits went wrong would multiply this.
    const double ratio = static_cast<double>(win.ms) / static_cast<double>(lin.ms);
    std::printf("[ timing   ] programming run: Wine %lld ms, Linux %lld ms, ratio %.2f\n", win.ms,
                lin.ms, ratio);
    RecordProperty("wine_ms", std::to_string(win.ms));
    RecordProperty("linux_ms", std::to_string(lin.ms));
    EXPECT_LT(ratio, 2.5);
  }
}

const std::string kRuleLine = std::string(79, '-') + "\n";

const Scenario kScenarios[] = {
    {"Information", "com5", "COM5", kContainer, "I", "", "UTC", "Sat Dec 06 19:59:42 2025", 0,
     kInfoCommands, false, kPortOpened, kInformed + kRuleLine, kProgramClosed, kPortClosed},
    {"ProgramYes", "com5", "COM5", kContainer, "P", "Y\n", "UTC", "Sat Dec 06 19:59:42 2025", 0,
     kProgramCommands, true, kPortOpened, kConfirmed + kRuleLine, kProgramClosed, kPortClosed},
    // A zone both C runtimes read alike (msvcrt takes TZ in its own NAMEhh form, so an Olson
    // name such as Asia/Tokyo would mean UTC to it): both must show local time.
    {"ProgramNoInTokyoTime", "com5", "COM5", kContainer, "P", "N\n", "JST-9",
     "Sun Dec 07 04:59:42 2025", 0, kInfoCommands, false, kPortOpened, kPromptEnd + kRuleLine,
     kProgramClosed, kPortClosed},
    {"PortMissing", nullptr, "COM9", kContainer, "I", "", "UTC", nullptr, 1, nullptr, false,
     kPortFailed, "", kPortFailed, ""},
    {"ContainerMissing", "com5", "COM5", kMissingContainer, "I", "", "UTC", nullptr, 1, kNoCommands,
     false, kPortOpened, "", kNoContainer, ""},
    // From COM10 up a port opens only through the device namespace; the loader adds it.
    {"PortAboveNine", "com12", "COM12", kContainer, "I", "", "UTC", "Sat Dec 06 19:59:42 2025", 0,
     kInfoCommands, false, kPortOpened, "Loader: Port COM12; Speed 9600; 8N1\n", kProgramClosed,
     kPortClosed},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, WineVsLinux, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Why the Windows runs cannot happen here, or nothing.
std::string why_not(const WineTools& tools) {
  const std::string exe = KORVEL_WIN_EXE;
  if (exe.empty())
    return "KORVEL_WIN_EXE is empty: Korvel.exe was not built (scripts/test.sh builds it with "
           "mingw-w64 and passes -DKORVEL_WIN_EXE=<absolute path>)";
  if (!fs::is_regular_file(exe))
    return "KORVEL_WIN_EXE=" + exe + " does not exist";
  return tools.problem;
}

}  // namespace
}  // namespace korvel::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  korvel::testing::WineTools tools = korvel::testing::find_wine();
  const std::string why = korvel::testing::why_not(tools);
  if (!why.empty()) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") {
      std::printf("FAILED: the Wine tests cannot run, and with CI=true that is a failure: %s\n",
                  why.c_str());
      return 1;
    }
    std::printf("SKIPPED: %s\n", why.c_str());
    return korvel::testing::kSkipStatus;
  }
  ::testing::AddGlobalTestEnvironment(new korvel::testing::WineEnvironment(std::move(tools)));
  return RUN_ALL_TESTS();
}
