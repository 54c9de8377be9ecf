// Korvel.exe under Wine against the emulator, on a pseudo-terminal mapped as a COM port.
// Every scenario runs twice: on Windows (Wine) and with build/korvel on Linux. Standard
// output and standard error must be the same bytes once the Linux text is converted from
// UTF-8 to CP1251 and its port name replaced; the emulator must have seen the same frames.
// Colour cannot differ here: neither platform colours a stream that is not a console.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"

extern char** environ;

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kSkipStatus = 77;  // ctest's SKIP_RETURN_CODE for this executable
constexpr int kImageSize = 100;  // 12 whole blocks and a padded 13th: a few seconds a run

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
const std::string kRuleLine = std::string(79, '-') + "\n";

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

std::string to_cp1251(std::string in) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert UTF-8 to CP1251 here";
    return {};
  }
  std::string out(in.size() + 16, '\0');
  char *src = in.data(), *dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1))
    ADD_FAILURE() << "not convertible to CP1251 at byte " << (src - in.data()) << ": " << in;
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

std::string lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The first executable `name` in `dirs`.
std::string search(const std::string& name, const std::vector<std::string>& dirs) {
  for (const auto& d : dirs) {
    const std::string candidate = d + "/" + name;
    if (!d.empty() && access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate))
      return candidate;
  }
  return {};
}

// Runs a program with nothing on its standard input and output and its standard error
// appended to `log`. Wine's server and its service processes outlive the program that
// started them and keep whatever streams they inherited: a pipe here would never reach its
// end. Returns the exit status, or -1 when the program had to be killed after timeout_ms.
int run_quietly(const std::vector<std::string>& argv, const std::string& log, int timeout_ms) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0)
    return -1;
  const long long deadline = now_ms() + timeout_ms;
  for (int st = 0;; usleep(20000)) {
    if (waitpid(pid, &st, WNOHANG) == pid)
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (now_ms() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -1;
    }
  }
}

// Shared by the whole suite: one throw-away Wine prefix, booted once, and a work folder that
// is also the current directory, so both loaders get the same relative container name.
struct Suite {
  std::string wine, wineserver;
  std::string problem;  // why the Windows runs cannot happen here, or nothing
  std::string dir, prefix, log, image;
  bool server_started = false;

  std::string dos_device(const std::string& dos_name) const {
    return prefix + "/dosdevices/" + dos_name;
  }
  std::string log_tail() const {
    const std::string all = read_file(log);
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
  }

  // Starts a server that stays up for the whole suite (-p) and boots the prefix, so that each
  // run costs a program start rather than a Windows boot. An explanation on failure.
  std::string boot() {
    // Every Wine program from now on works in this prefix only, says nothing about itself,
    // and never opens a window or touches the user's menus.
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINESERVER", wineserver.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree=d;mshtml=d", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    // The server works from inside the prefix, so the folder must exist before it starts.
    std::error_code ec;
    fs::create_directories(prefix, ec);
    if (ec)
      return "cannot create " + prefix + ": " + ec.message();
    server_started = true;
    if (const int rc = run_quietly({wineserver, "-p"}, log, 30000); rc != 0)
      return "wineserver -p failed (status " + std::to_string(rc) + "): " + log_tail();
    if (const int rc = run_quietly({wine, "wineboot", "-i"}, log, 180000); rc != 0)
      return "wineboot -i failed (status " + std::to_string(rc) + "): " + log_tail();
    if (!fs::is_directory(prefix + "/dosdevices"))
      return "wineboot left no " + prefix + "/dosdevices: " + log_tail();
    // The first program with a console starts a few more helpers; let them start here, away
    // from the pipes of the runs under test.
    (void)run_quietly({wine, "cmd", "/c", "color", "07"}, log, 60000);
    return {};
  }

  // Stops the server and every Windows process of the prefix, then deletes everything.
  void remove() {
    if (server_started) {
      server_started = false;
      (void)run_quietly({wineserver, "-k"}, log, 30000);
      (void)run_quietly({wineserver, "-w"}, log, 30000);
    }
    if (!dir.empty()) {
      (void)chdir("/");
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  }
};
Suite* g_suite = nullptr;

// Looks in PATH first, then where Debian keeps wine64 when only that package is installed;
// the server that belongs to it sits beside it.
Suite find_wine() {
  Suite s;
  std::vector<std::string> path;
  std::istringstream list(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string d; std::getline(list, d, ':');)
    path.push_back(d);
  auto debian = path;
  debian.insert(debian.end(), {"/usr/lib/wine", "/usr/lib64/wine"});
  s.wine = search("wine64", debian);
  path.insert(path.begin(), fs::path(s.wine).parent_path().string());
  s.wineserver = search("wineserver", path);
  const std::string exe = KORVEL_WIN_EXE;
  if (exe.empty())
    s.problem =
        "KORVEL_WIN_EXE is empty: Korvel.exe was not built (scripts/test.sh builds it "
        "with mingw-w64 and passes -DKORVEL_WIN_EXE=<absolute path>)";
  else if (!fs::is_regular_file(exe))
    s.problem = "KORVEL_WIN_EXE=" + exe + " does not exist";
  else if (s.wine.empty())
    s.problem = "wine64 is not installed (looked in PATH, /usr/lib/wine and /usr/lib64/wine)";
  else if (s.wineserver.empty())
    s.problem = "wineserver was not found beside " + s.wine + " or in PATH";
  return s;
}

class WineEnvironment : public ::testing::Environment {
 public:
  explicit WineEnvironment(Suite suite) : suite_(std::move(suite)) {}

  void SetUp() override {
    g_suite = &suite_;
    char tmpl[] = "/tmp/korvel-wine-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    suite_.dir = tmpl;
    suite_.prefix = suite_.dir + "/prefix";
    suite_.log = suite_.dir + "/wine.log";
    ASSERT_EQ(chdir(suite_.dir.c_str()), 0);
    // The reference runs print UTF-8; both print the creation time in the same zone.
    setenv("LANG", "C.UTF-8", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    for (int i = 0; i < kImageSize; ++i)
      suite_.image += static_cast<char>((i * 37 + 11) & 0xFF);
    std::ofstream("image.bin", std::ios::binary) << suite_.image;
    Child cct({CCT_PATH, "make", "--in", "image.bin", "--out", "boot.cct", "--time", "1765051182",
               "--allow-tail"});
    ASSERT_EQ(cct.wait(10000), 0) << cct.err;
    const long long t0 = now_ms();
    ASSERT_EQ(suite_.boot(), "");
    std::printf("[ wine     ] prefix booted in %lld ms\n", now_ms() - t0);
  }

  void TearDown() override {
    suite_.remove();
    g_suite = nullptr;
  }

 private:
  Suite suite_;
};

struct Scenario {
  const char* name;
  const char* win_port;  // Korvel.exe's first argument
  bool mapped;           // the port is mapped onto an emulator, under its lower-case name
  const char* container;
  const char* directive;
  const char* input;
  const char* tz;
  const char* created;  // the creation time the report must show, null when not reached
  int status;
  const char* commands;  // the emulator's command counts, null when no emulator runs
  std::string out_has, out_end;
  const char* sim_option = nullptr;  // one more option for the emulator
  const char* pacing = nullptr;      // KORVEL_PACING
  const char* netnum = "1";          // the loader's and the emulator's
  bool cooked = false;  // the line left as a terminal program leaves it: XON/XOFF, editing
  // The input is written only once the prompt has been read from the loader's pipe: every
  // text, the prompt included, must reach it at once.
  bool after_prompt = false;
};

void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

struct Outcome {
  int status = -1;
  std::string port, out, err;
  std::string summary, flash;  // the emulator's, empty without one
  long long ms = 0;
};

Outcome run(const Scenario& s, bool windows) {
  setenv("TZ", s.tz, 1);
  if (s.pacing != nullptr)
    setenv("KORVEL_PACING", s.pacing, 1);
  else
    unsetenv("KORVEL_PACING");
  Outcome o;
  const std::string dump = g_suite->dir + (windows ? "/flash-windows.bin" : "/flash-linux.bin");
  fs::remove(dump);
  o.port = windows ? s.win_port : g_suite->dir + "/no-such-port";
  std::unique_ptr<Child> sim;
  if (s.mapped) {
    std::vector<std::string> sim_argv = {ZEMLOT_SIM_PATH, "--dump", dump, "--netnum", s.netnum};
    if (s.sim_option != nullptr)
      sim_argv.push_back(s.sim_option);
    sim = std::make_unique<Child>(sim_argv);
    const std::string pty = sim->read_line(5000);
    if (s.cooked) {
      const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY);
      termios t{};
      EXPECT_EQ(tcgetattr(fd, &t), 0);
      t.c_iflag |= IXON | IXOFF | ICRNL;
      t.c_oflag |= OPOST | ONLCR;
      t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
      EXPECT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
      close(fd);
    }
    if (windows) {
      const std::string link = g_suite->dos_device(lower(s.win_port));
      std::error_code ec;
      fs::remove(link, ec);
      fs::create_symlink(pty, link, ec);
      EXPECT_FALSE(ec) << link;
    } else {
      o.port = pty;
    }
  }
  std::vector<std::string> argv = {KORVEL_PATH};
  if (windows)
    argv = {g_suite->wine, KORVEL_WIN_EXE};
  argv.insert(argv.end(), {o.port, s.netnum, s.container, s.directive});
  const long long t0 = now_ms();
  Child k(argv);
  if (s.after_prompt) {
    const std::string prompt = windows ? kPromptEnd : "введите Y, для выхода N  ";
    EXPECT_TRUE(k.wait_for_output(prompt, 30000)) << "no prompt before the answer: " << k.out;
  }
  k.write_input(s.input);
  k.close_input();
  o.status = k.wait(90000);
  o.ms = now_ms() - t0;
  o.out = k.out;
  o.err = k.err;
  if (sim) {
    sim->signal(SIGTERM);
    EXPECT_EQ(sim->wait(5000), 0) << sim->err;
    o.summary = sim->out;
    o.flash = read_file(dump);
  }
  return o;
}

class WineVsLinux : public ::testing::TestWithParam<Scenario> {};

TEST_P(WineVsLinux, SameBytesSameFrames) {
  const Scenario& s = GetParam();
  ASSERT_NE(g_suite, nullptr);
  if (!s.mapped) {
    std::error_code ec;
    ASSERT_FALSE(fs::is_symlink(fs::symlink_status(g_suite->dos_device(lower(s.win_port)), ec)))
        << s.win_port << " should not exist";
  }
  const Outcome win = run(s, true);
  const Outcome lin = run(s, false);
  EXPECT_EQ(win.status, s.status) << "Windows stderr: " << win.err;
  EXPECT_EQ(lin.status, s.status) << "Linux stderr: " << lin.err;

  // The only permitted differences: the encoding, and the port's name in the banner.
  std::string lin_out = lin.out;
  const std::string banner = "Loader: Port " + lin.port + ";";
  for (size_t at = lin_out.find(banner); at != std::string::npos; at = lin_out.find(banner, at))
    lin_out.replace(at, banner.size(), "Loader: Port " + std::string(s.win_port) + ";");
  EXPECT_EQ(win.out, to_cp1251(lin_out)) << "standard output";
  EXPECT_EQ(win.err, to_cp1251(lin.err)) << "standard error";

  EXPECT_TRUE(win.out.starts_with(s.mapped ? kPortOpened : kPortFailed)) << win.out;
  EXPECT_NE(win.out.find(s.out_has), std::string::npos) << win.out;
  EXPECT_TRUE(win.out.ends_with(s.out_end)) << win.out;
  EXPECT_EQ(win.err, s.status == 0 ? kPortClosed : "");
  if (s.created != nullptr) {
    EXPECT_NE(win.out.find(kCreated + s.created + "\n"), std::string::npos) << win.out;
  }
  if (s.commands != nullptr) {
    EXPECT_NE(win.summary.find(s.commands), std::string::npos) << win.summary;
    EXPECT_EQ(win.summary, lin.summary);
  }
  if (s.commands == kProgramCommands) {
    EXPECT_NE(win.summary.find("application started: yes"), std::string::npos) << win.summary;
    // The emulator deciphers as it writes: its application area must hold the plain image,
    // and the rest of the erased page must still be blank.
    ASSERT_EQ(win.flash.size(), 65536u);
    const std::string& image = g_suite->image;
    const size_t app = 0x1000, written = (image.size() + 7) / 8 * 8;
    EXPECT_EQ(win.flash.substr(app, image.size()), image);
    EXPECT_EQ(win.flash.substr(app + written, 1024 - written), std::string(1024 - written, '\xFF'));
    EXPECT_EQ(win.flash, lin.flash) << "the two flash images";
    // Both runs are mostly the loader's own pauses; Wine adds its start-up and a little per
    // call. A port whose time limits went wrong would multiply this.
    const double ratio = static_cast<double>(win.ms) / static_cast<double>(lin.ms);
    std::printf("[ timing   ] programming run: Wine %lld ms, Linux %lld ms, ratio %.2f\n", win.ms,
                lin.ms, ratio);
    EXPECT_LT(ratio, 2.5);
  }
}

const char* const kCreatedUtc = "Sat Dec 06 19:59:42 2025";

const Scenario kScenarios[] = {
    {"Information", "COM5", true, "boot.cct", "I", "", "UTC", kCreatedUtc, 0, kInfoCommands,
     kInformed + kRuleLine, kProgramClosed},
    {"ProgramYes", "COM5", true, "boot.cct", "P", "Y\n", "UTC", kCreatedUtc, 0, kProgramCommands,
     kConfirmed + kRuleLine, kProgramClosed},
    // An adapter that hands back every byte the loader sends, ahead of the reply.
    {"ProgramYesOnAnEchoingAdapter", "COM5", true, "boot.cct", "P", "Y\n", "UTC", kCreatedUtc, 0,
     kProgramCommands, kConfirmed + kRuleLine, kProgramClosed, "--echo"},
    // Paced by the device's replies, against a device whose flash work takes time.
    {"ProgramYesPacedByReplies", "COM5", true, "boot.cct", "P", "Y\n", "UTC", kCreatedUtc, 0,
     kProgramCommands, kConfirmed + kRuleLine, kProgramClosed, "--work-ms=erase=25,write=1",
     "reply"},
    // A zone both C runtimes read alike (msvcrt takes TZ in its own NAMEhh form, so an Olson
    // name such as Asia/Tokyo would mean UTC to it): both must show local time.
    {"ProgramNoInTokyoTime", "COM5", true, "boot.cct", "P", "N\n", "JST-9",
     "Sun Dec 07 04:59:42 2025", 0, kInfoCommands, kPromptEnd + kRuleLine, kProgramClosed},
    {"PortMissing", "COM9", false, "boot.cct", "I", "", "UTC", nullptr, 1, nullptr, "",
     kPortFailed},
    {"ContainerMissing", "COM5", true, "absent.cct", "I", "", "UTC", nullptr, 1, kNoCommands, "",
     kNoContainer},
    // From COM10 up a port opens only through the device namespace; the loader adds it.
    {"PortAboveNine", "COM12", true, "boot.cct", "I", "", "UTC", kCreatedUtc, 0, kInfoCommands,
     "Loader: Port COM12; Speed 9600; 8N1\n", kProgramClosed},
    {"ProgramYesAfterThePrompt", "COM5", true, "boot.cct", "P", "Y\n", "UTC", kCreatedUtc, 0,
     kProgramCommands, kConfirmed + kRuleLine, kProgramClosed, nullptr, nullptr, "1", false, true},
    // Every frame's address byte is XOFF (0x13) both ways.
    {"ProgramOverACookedLineAtNetnum19", "COM5", true, "boot.cct", "P", "Y\n", "UTC", kCreatedUtc,
     0, kProgramCommands, kConfirmed + kRuleLine, kProgramClosed, nullptr, nullptr, "19", true},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, WineVsLinux, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvel::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  korvel::testing::Suite suite = korvel::testing::find_wine();
  if (!suite.problem.empty()) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") {
      std::printf("FAILED: the Wine tests cannot run, and with CI=true that is a failure: %s\n",
                  suite.problem.c_str());
      return 1;
    }
    std::printf("SKIPPED: %s\n", suite.problem.c_str());
    return korvel::testing::kSkipStatus;
  }
  ::testing::AddGlobalTestEnvironment(new korvel::testing::WineEnvironment(std::move(suite)));
  return RUN_ALL_TESTS();
}
