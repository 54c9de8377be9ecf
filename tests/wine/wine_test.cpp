// Korvel.exe under Wine and build/korvel on Linux, each against the emulator on a pseudo-terminal:
// the same bytes once the Linux text is in CP1251 with the Windows port name, the same frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "process.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

std::string g_image;  // the plain image inside boot.cct

// A character CP1251 lacks becomes '?', as Korvel.exe writes it (the container's name).
std::string to_cp1251(const std::string& utf8) {
  Child iconv({"/usr/bin/iconv", "-f", "UTF-8", "-t", "CP1251//TRANSLIT"});
  iconv.write_input(utf8);
  EXPECT_EQ(iconv.wait(10000), 0) << "not convertible to CP1251: " << iconv.err << utf8;
  return iconv.out;
}

// kUnmapped: nothing on the port; kInterrupted: Ctrl+C (SIGINT, which Wine makes a console
// event) at the prompt instead of the answer; kInterruptedListening: Ctrl+C 0.4 s into the
// listening for the first block's reply, which the device withholds.
enum Flags {
  kCooked = 1,
  kAfterPrompt = 2,
  kUnmapped = 4,
  kInterrupted = 8,
  kInterruptedListening = 16
};

struct Scenario {
  const char *name, *port, *netnum, *container, *input;  // "": an information run
  int status = 0, flags = 0;
  const char* env = "TZ=UTC";
  const char* sim = "--reply-delay-ms=2";  // one more emulator option (this one the default)
  friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
};

class WineVsLinux : public ::testing::TestWithParam<Scenario> {};

TEST_P(WineVsLinux, SameBytesSameFrames) {
  const Scenario& s = GetParam();
  long long status[2], ms[2];  // [0] Linux, [1] Windows
  std::string out[2], err[2], summary[2], timer;
  for (const int win : {1, 0}) {
    Child sim({ZEMLOT_SIM_PATH, "--force", "--dump", "flash.bin", "--netnum", s.netnum, s.sim});
    const std::string pty = sim.read_line(5000), cook = "stty -F " + pty + " sane ixon ixoff";
    EXPECT_EQ(s.flags & kCooked ? std::system(cook.c_str()) : 0, 0) << cook;
    const std::string link = std::string(getenv("WINEPREFIX")) + "/dosdevices/com" + (s.port + 3);
    fs::remove(link);
    if (!(s.flags & kUnmapped))
      fs::create_symlink(pty, link);
    const long long t0 = now_ms();
    Child k({win ? getenv("WINE") : "/usr/bin/env", win ? KORVEL_WIN_EXE : KORVEL_PATH,
             win ? s.port : link, s.netnum, s.container, *s.input ? "P" : "I"},
            {s.env, "WINEDEBUG=-all,+relay"});
    // The prompt ends in "N  " in either encoding, and nowhere else.
    const bool prompt = s.flags & (kAfterPrompt | kInterrupted | kInterruptedListening);
    EXPECT_TRUE(!prompt || k.wait_for_output("N  ", 30000)) << k.out;
    if (!(s.flags & kInterrupted))
      k.write_input(s.input);
    // The layout line comes just before the first block.
    const bool listening = s.flags & kInterruptedListening;
    EXPECT_TRUE(!listening || k.wait_for_output("->63]\n", 30000)) << k.out;
    if (listening)
      usleep(400000);
    const long long signalled = now_ms();
    status[win] = k.wait(90000, s.flags & (kInterrupted | kInterruptedListening) ? SIGINT : 0);
    // Acted on at the next wait, on either platform: well within the block's 1.5 s.
    EXPECT_TRUE(!listening || now_ms() - signalled < 600) << now_ms() - signalled << " ms";
    ms[win] = now_ms() - t0;
    // Wine traces the calls for the timer resolution on standard error, among other lines of its
    // own (which may land inside one of ours).
    static const std::regex trace("[0-9a-f]{4}:[^\n]*\n"), call("Call winmm\\.(\\w+\\(\\w+\\))");
    for (std::sregex_iterator c(k.err.begin(), k.err.end(), call), end; win && c != end; ++c)
      timer += (*c)[1].str() + " ";
    k.err = std::regex_replace(k.err, trace, "");
    out[win] = win ? k.out : to_cp1251(k.out);
    err[win] = win ? k.err : to_cp1251(k.err);
    if (const size_t at = out[win].find("Loader: Port " + link + ";"); at != std::string::npos)
      out[win].replace(at + 13, link.size(), s.port);
    EXPECT_EQ(sim.wait(5000, SIGTERM), 0) << sim.err;
    summary[win] = sim.out;  // with the CRC-32 of the whole application area
  }
  EXPECT_EQ(status[0], s.status) << err[0];
  // The finer timer is asked for and given back on every way out.
  EXPECT_EQ(timer, "timeBeginPeriod(00000001) timeEndPeriod(00000001) ");
  EXPECT_EQ(std::tie(status[1], out[1], err[1], summary[1]),
            std::tie(status[0], out[0], err[0], summary[0]));
  if (std::string(s.input) != "Y\n" || s.status != 0)
    return;
  const std::string flash(std::istreambuf_iterator<char>(std::ifstream("flash.bin").rdbuf()), {});
  EXPECT_EQ(flash.substr(0x1000, g_image.size()), g_image);  // deciphered as it was written
  // Wine adds its start-up and a little per call; a port with wrong time limits multiplies it.
  EXPECT_LT(ms[1], ms[0] * 5 / 2) << "Wine " << ms[1] << " ms, Linux " << ms[0] << " ms";
}

const Scenario kScenarios[] = {
    {"Information", "COM5", "1", "boot.cct", ""},
    {"ProgramYes", "COM5", "1", "boot.cct", "Y\n"},
    {"ProgramYesOnAnEchoingAdapter", "COM5", "1", "boot.cct", "Y\n", 0, 0, "TZ=UTC", "--echo"},
    {"ProgramYesPacedByReplies", "COM5", "1", "boot.cct", "Y\n", 0, 0, "KORVEL_PACING=reply",
     "--work-ms=erase=25,write=1"},
    // msvcrt reads TZ only in its NAMEhh form (an Olson name would mean UTC to it).
    {"ProgramNoInTokyoTime", "COM5", "1", "boot.cct", "N\n", 0, 0, "TZ=JST-9"},
    {"PortMissing", "COM9", "1", "boot.cct", "", 1, kUnmapped},
    {"ContainerMissing", "COM5", "1", "absent.cct", "", 1},
    {"PortAboveNine", "COM12", "1", "boot.cct", ""},  // opens only as \\.\COM12
    {"ProgramYesAfterThePrompt", "COM5", "1", "boot.cct", "Y\n", 0, kAfterPrompt},
    // Every frame's address byte is XOFF (0x13) both ways.
    {"ProgramOverACookedLineAtNetnum19", "COM5", "19", "boot.cct", "Y\n", 0, kCooked},
    // Names the Western code page has no letters for: opened all the same, shown in CP1251.
    {"ProgramYesFromACyrillicName", "COM5", "1", "прошивка.cct", "Y\n"},
    {"InformationFromANameBeyondCP1251", "COM5", "1", "образ-λ-𠀀.cct", ""},
    // The way out that skips the end of the run.
    {"InterruptedAtThePrompt", "COM5", "1", "boot.cct", "Y\n", 130, kInterrupted},
    {"InterruptedListeningForABlock", "COM5", "1", "boot.cct", "Y\n", 130, kInterruptedListening,
     "TZ=UTC", "--drop-reply=7"},
};

// korvel-gang.exe, beside Korvel.exe, programs the device on one port through it and reports it.
TEST(WineGang, ProgramsADeviceAndReportsIt) {
  Child sim({ZEMLOT_SIM_PATH, "--force", "--dump", "flash.bin"});
  const std::string pty = sim.read_line(5000);
  const std::string link = std::string(getenv("WINEPREFIX")) + "/dosdevices/com5";
  fs::remove(link);
  fs::create_symlink(pty, link);
  const std::string exe = fs::path(KORVEL_WIN_EXE).parent_path() / "korvel-gang.exe";
  fs::remove_all("gang");
  Child gang({getenv("WINE"), exe, "--dir", "gang", "boot.cct", "COM5"}, {"TZ=UTC"});
  EXPECT_EQ(gang.wait(90000), 0) << to_cp1251(gang.out) << gang.err;
  EXPECT_EQ(sim.wait(5000, SIGTERM), 0);
  std::ifstream report("gang/report.csv");
  std::string header, line;
  std::getline(report, header);
  std::getline(report, line);
  EXPECT_EQ(header,
            "date,port,container,image_crc32,outcome,status,bootloader_version,"
            "key_version,seconds");
  EXPECT_NE(line.find(",COM5,boot.cct,"), std::string::npos) << line;
  EXPECT_NE(line.find(to_cp1251("запрограммирован,0,2,3,")), std::string::npos) << line;
  const std::string flash(std::istreambuf_iterator<char>(std::ifstream("flash.bin").rdbuf()), {});
  EXPECT_EQ(flash.substr(0x1000, g_image.size()), g_image);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, WineVsLinux, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvel::testing

int main(int argc, char** argv) {
  using namespace korvel::testing;
  ::testing::InitGoogleTest(&argc, argv);
  // PATH first, then where Debian keeps wine64; the server that belongs to it sits beside it.
  Child where({"/bin/sh", "-c",
               "PATH=$PATH:/usr/lib/wine:/usr/lib64/wine; w=$(command -v wine64) "
               "&& echo $w && PATH=${w%/*}:$PATH command -v wineserver"});
  setenv("WINE", where.read_line(5000).c_str(), 1);
  setenv("WINESERVER", where.read_line(5000).c_str(), 1);
  if (!fs::is_regular_file(KORVEL_WIN_EXE) || *getenv("WINESERVER") == '\0') {
    const bool must = getenv("CI") != nullptr && std::string(getenv("CI")) == "true";
    std::printf("%s: no wine64 or no Korvel.exe '%s'\n", must ? "FAILED" : "SKIPPED",
                KORVEL_WIN_EXE);
    return must ? 1 : 77;  // 77: ctest's SKIP_RETURN_CODE
  }
  // C.UTF-8 gives Wine the Western code page 1252. One throw-away prefix in a work folder that is
  // the current directory for both loaders.
  const ScratchDir dir;
  if (chdir(dir.path.c_str()) != 0)
    return 1;
  setenv("WINEPREFIX", dir.file("prefix").c_str(), 1);
  // Wine's server makes a folder for its socket under TMPDIR and leaves it when it ends: this
  // way it goes with ours.
  setenv("TMPDIR", dir.path.c_str(), 1);
  for (const char* e :
       {"WINEDEBUG=-all", "WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree=d;mshtml=d",
        "LANG=C.UTF-8", "LC_ALL=C.UTF-8", "KORVEL_PACING=", "DISPLAY=", "WAYLAND_DISPLAY="})
    putenv(const_cast<char*>(e));
  for (int i = 0; i < 100; ++i)  // 12 whole blocks and a padded 13th: a few seconds a run
    g_image += static_cast<char>(i * 37 + 11);
  std::ofstream("image.bin", std::ios::binary) << g_image;
  // The server stays up for the whole suite (-p), and the first console program's helpers start
  // here, away from the runs. They outlive their starter holding its streams: none is a pipe.
  const bool ready =
      Child({"/bin/sh", "-c",
             "exec </dev/null >/dev/null 2>&1; '" CCT_PATH "' make --in image.bin "
             "--out boot.cct --time 1765051182 --allow-tail && cp boot.cct прошивка.cct && "
             "cp boot.cct образ-λ-𠀀.cct && mkdir prefix && "
             "$WINESERVER -p && $WINE wineboot -i && $WINE cmd /c color 07 && $WINE reg add "
             "'HKCU\\Software\\Wine\\Debug' /v RelayInclude /f /d "
             "'winmm.timeBeginPeriod;winmm.timeEndPeriod'"})
          .wait(270000) == 0;
  if (!ready)
    std::printf("FAILED: no container or no Wine prefix\n");
  const int rc = ready ? RUN_ALL_TESTS() : 1;
  Child({"/bin/sh", "-c", "$WINESERVER -k; $WINESERVER -w"}).wait(60000);  // all of Wine ends
  return rc;
}
