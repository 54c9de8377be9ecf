#include "frontend.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "capture_console.h"
#include "fake_port.h"

namespace korvel {
namespace {

using testing::CaptureConsole;
using testing::FakePort;
using testing::RecordingClock;

const char kUsageAfterName[] =
    " <port> <netnum> <file> <directive>\n"
    "<port>  -     номер порта, например COM1\n"
    "<netnum>  -   номер устройства, 1 (всегда)\n"
    "<file> -      файл криптоконтейнер, например boot.cct\n"
    "<directive> - P - программировать устройство\n"
    "              I - только считывание информации о устройстве\n"
    "Example:   Korvel COM3 1 boot.cct P\n";

std::string usage_for(const std::string& program) {
  return "Set font Lucida Console - 16 for russian!\n"
         "Korvel-K1 loader\n"
         "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!\n"
         "Скорость обмена фиксированная - 9600;\n"
         "usage: " +
         program + kUsageAfterName;
}

struct LoaderRun {
  CaptureConsole con;
  RecordingClock clock;
  FakePort port;
  int status = -1;

  explicit LoaderRun(std::vector<const char*> argv, std::unique_ptr<Encoder> enc = Encoder::utf8())
      : con(std::move(enc)) {
    Platform p{con, clock, port};
    status = run_loader(static_cast<int>(argv.size()), argv.data(), p);
  }
};

TEST(Usage, WrongArgumentCountsPrintUsageAndTouchNothing) {
  struct Case {
    std::vector<const char*> argv;
  };
  const Case cases[] = {
      {{"korvel"}},
      {{"./build/korvel", "COM3", "1", "boot.cct"}},
      {{"/opt/x/Korvel.exe", "COM3", "1", "boot.cct", "P", "extra"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.size());
    LoaderRun r(c.argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.con.out, usage_for(c.argv[0]));
    EXPECT_EQ(r.con.err, "");
    EXPECT_TRUE(r.port.calls.empty());
    EXPECT_TRUE(r.clock.pauses.empty()) << "no pause after the usage text";
    ASSERT_EQ(r.con.colors.size(), 1u);
    EXPECT_EQ(r.con.colors[0], Color::Grey);
  }
}

TEST(Usage, ProgramNameIsPrintedAsGivenInBothEncodings) {
  // The program's name is the system's text: its bytes pass through unconverted.
  const char* name = "\xD0\xBA\xFF/korvel";  // broken UTF-8 on purpose
  LoaderRun r({name}, Encoder::cp1251());
  const std::string& out = r.con.out;
  EXPECT_NE(out.find(std::string("usage: ") + name + " <port>"), std::string::npos);
  // Our own Cyrillic text is in Windows-1251: "ВНИМАНИЕ" starts C2 CD.
  EXPECT_NE(out.find("\xC2\xCD\xC8\xCC\xC0\xCD\xC8\xC5!"), std::string::npos);
}

TEST(Arguments, NetworkNumberConvertsAsAtoiButSaturates) {
  struct Case {
    const char* text;
    int32_t want;
  };
  const Case cases[] = {
      {"1", 1},
      {"abc", 0},
      {"", 0},
      {"-1", -1},
      {"+7", 7},
      {"007", 7},
      {"  42xyz", 42},
      {"\t\n\v\f\r 5", 5},
      {"- 5", 0},
      {"0x10", 0},
      {"256", 256},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999999", INT32_MIN},
      {"\xFF\xFE", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_netnum(c.text), c.want);
  }
}

TEST(Arguments, OnlyAnExactUpperCasePProgrammes) {
  struct Case {
    const char* directive;
    directive_e want;
  };
  const Case cases[] = {{"P", PROG}, {"I", INFO}, {"p", INFO}, {"PP", INFO},  {"P ", INFO},
                        {"", INFO},  {"X", INFO}, {"i", INFO}, {"PROG", INFO}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directive);
    const char* argv[] = {"korvel", "COM1", "1", "f.cct", c.directive};
    RunConfig cfg;
    ASSERT_TRUE(parse_arguments(5, argv, cfg));
    EXPECT_EQ(cfg.direct, c.want);
    EXPECT_EQ(cfg.portspeed, 9600);
    EXPECT_STREQ(cfg.pcCommPort, "COM1");
    EXPECT_STREQ(cfg.FileCC, "f.cct");
  }
}

TEST(Banner, ShowsPortSpeedAndMode) {
  const std::string head =
      "                                      Set font Lucida Console - 16 for russian!\n" +
      std::string(79, '-') +
      "\n"
      "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!\n"
      "Программа - загрузчик Korvel-K1 V2.0\n"
      "Loader: Port /dev/pts/7; Speed 9600; 8N1\n";
  struct Case {
    directive_e mode;
    const char* line;
  };
  const Case cases[] = {{PROG, "Читаем информацию о приборе и программируем\n"},
                        {INFO, "Только читаем информацию о приборе\n"}};
  for (const auto& c : cases) {
    CaptureConsole con;
    RunConfig cfg;
    cfg.pcCommPort = "/dev/pts/7";
    cfg.direct = c.mode;
    print_banner(con, cfg);
    EXPECT_EQ(con.out, head + c.line + std::string(79, '-') + "\n");
  }
}

TEST(PortStage, FailuresEndTheRunWithTheirMessages) {
  struct Case {
    const char* name;
    void (*arm)(FakePort&);
    std::string out;
    std::string err;
    std::vector<std::string> calls;
  };
  const std::string opening = "Открываем СОМ порт... \n";
  const Case cases[] = {
      {"open", [](FakePort& p) { p.fail_open = true; }, opening + "ошибка\n", "", {"open"}},
      {"state",
       [](FakePort& p) { p.fail_settings = true; },
       opening + "ОК\n",
       "Error getting device state\n",
       {"open", "read_settings", "close"}},
      {"params",
       [](FakePort& p) { p.fail_line = true; },
       opening + "ОК\n",
       "Error setting device parameters\n",
       {"open", "read_settings", "line 9600", "close"}},
      {"timeouts",
       [](FakePort& p) {
         p.fail_timeouts = true;
         p.fail_close = true;  // the close after a failure is not examined
       },
       opening + "ОК\n",
       "Error setting timeouts\n",
       {"open", "read_settings", "line 9600", "timeouts", "close"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureConsole con;
    RecordingClock clock;
    FakePort port;
    c.arm(port);
    Platform p{con, clock, port};
    const char* argv[] = {"korvel", "COM9", "1", "/nonexistent.cct", "P"};
    EXPECT_EQ(run_loader(5, argv, p), 1);
    EXPECT_EQ(con.out, c.out);
    EXPECT_EQ(con.err, c.err);
    EXPECT_EQ(port.calls, c.calls);
    EXPECT_EQ(port.opened_name, "COM9");
  }
}

TEST(PortStage, MissingContainerAfterBannerEndsWithStatus1) {
  CaptureConsole con;
  RecordingClock clock;
  FakePort port;
  Platform p{con, clock, port};
  const char* argv[] = {"korvel", "COM9", "1", "/nonexistent/boot.cct", "I"};
  EXPECT_EQ(run_loader(5, argv, p), 1);
  const std::string tail =
      std::string(79, '-') + "\nОткрываем криптоконтейнер .cct \nНе найден криптоконтейнер.cct \n";
  ASSERT_GE(con.out.size(), tail.size());
  EXPECT_EQ(con.out.substr(con.out.size() - tail.size()), tail);
  EXPECT_EQ(con.err, "");
  EXPECT_TRUE(port.written.empty());
}

}  // namespace
}  // namespace korvel
