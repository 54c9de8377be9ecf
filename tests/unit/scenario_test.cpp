// Whole loader runs in virtual time against the bootloader model, one row a scenario: the
// arguments, the container, the device's faults, the operator's input and the line's kind
// give exact console bytes, exit status, frames on the wire and pauses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "capture_console.h"
#include "dialogue.h"
#include "frontend.h"
#include "lib/crc32.h"
#include "lib/endian.h"
#include "link/protocol.h"
#include "stand_in_cipher.h"
#include "virtual_line.h"

namespace korvel {
namespace {

using testing::CaptureConsole;
using testing::VirtualLine;
namespace fs = std::filesystem;

const std::string kRule = std::string(79, '-') + "\n";
const std::string B53 = std::string(53, ' ') + "\r";
const std::string B57 = std::string(57, ' ') + "\r";
const std::string B63 = std::string(63, ' ') + "\r";
const std::string B78 = std::string(78, ' ') + "\r";
const std::string kClosingOut =
    "Закрываю криптоконтейнер\nКриптоконтейнер закрыт\nПрограмма закрыта\n";
const std::string kClosingErr = "Закрываю СОМ порт... OK\n";
const std::string kDone = "Подтверждение получено\n" + kRule + kClosingOut;
const std::string kId =
    "Идет поиск бутлоадера (0)\rБутлоадер был найден и активирован\n"
    "Идет запрос версии бутлоадера (1)\r" +
    B53 + "Версия бутлоадера 2\nИдет запрос версии шифроключа (2)\r" + B53 +
    "Версия шифроключа 3\n";
const std::string kPrompt =
    "Информация получена успешно, программирование возможно\n"
    "Для программирования введите Y, для выхода N  ";
const std::string kUnlock = kRule +
                            "\nРазблокируем flash память для стирания и записи\n"
                            "Снимаем блокировку (3)\rБлокировка успешно снята\n";
const std::string kOnePage =
    "Все страницы стерты(конец:0x80017ff)\n[0<-Zemlot->3][4<-чисто->4][5<-резерв->63]\n";
const std::string kUsage =
    "Set font Lucida Console - 16 for russian!\nKorvel-K1 loader\n"
    "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!\n"
    "Скорость обмена фиксированная - 9600;\nusage: korvel <port> <netnum> <file> <directive>\n"
    "<port>  -     номер порта, например COM1\n<netnum>  -   номер устройства, 1 (всегда)\n"
    "<file> -      файл криптоконтейнер, например boot.cct\n"
    "<directive> - P - программировать устройство\n"
    "              I - только считывание информации о устройстве\n"
    "Example:   Korvel COM3 1 boot.cct P\n";
const std::string kOpening = "Открываем СОМ порт... \n";
constexpr size_t kNoFile = SIZE_MAX;
constexpr auto npos = std::string::npos;

std::vector<uint8_t> plain_image(size_t n, int seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>((i * 13 + seed * 101) ^ (i >> 8));
  return v;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

// A container written byte by byte, not by the project's encoder: word 1 is the plain
// image's CRC-32, word 2 the payload's, word 6 the creation time (a Sunday in January).
std::vector<uint8_t> container_bytes(const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> payload = plain;
  cipher::encipher(cipher::kDefaultKey, payload.data(), payload.size());
  std::vector<uint8_t> file(64, 0);
  file[0] = 1;
  store_le32(&file[4], crc32(plain.data(), static_cast<uint32_t>(plain.size())));
  store_le32(&file[8], crc32(payload.data(), static_cast<uint32_t>(payload.size())));
  store_le32(&file[24], 1736035200u);  // Sun Jan 05 00:00:00 2025 UTC
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// One frame as "code@address" (the address only where the command has one).
std::string describe(const std::vector<uint8_t>& f) {
  if (f.size() != 16)
    return "bad length " + std::to_string(f.size());
  const uint32_t adr = load_le32(&f[kCmdArg]);
  char b[32];
  std::snprintf(b, sizeof b, adr ? "%02x@%08x" : "%02x", f[kCmdCode], adr);
  return b;
}

struct Outcome {
  int status = -1;
  std::string out, err, all;
  std::string dialogue;  // standard output after the container report
  std::vector<Color> colors;
  std::vector<std::string> wire;
  std::vector<uint32_t> pauses;
  uint64_t us = 0;
};

struct Row {
  const char* name;
  std::vector<std::string> args = {"VCOM1", "1", "@", "P"};  // "@" is the container's path
  zemlot::Options device{};
  size_t image = 16;     // kNoFile: no container file
  bool damaged = false;  // its stored payload checksum does not match
  std::string input = "Y\n";
  bool echo = false;
  const char* pacing = nullptr;  // KORVEL_PACING
  bool ref_prompt = false;       // the run to compare with has a device that answers at once
  std::function<void(VirtualLine&)> arm{};
  bool cp1251 = false;
  // What the run must give; a vector left empty is not examined.
  int status = 0;
  std::string dialogue = "";  // all of it, when "shows" is empty
  std::string shows = "";     // a part of it
  std::string err = kClosingErr;
  std::vector<std::string> wire{};
  std::vector<uint32_t> pauses{};
  bool started = true;  // the device holds the image and runs it
  bool closes = true;   // the port is closed at the end
  std::function<void(const Outcome&, VirtualLine&)> check{};
};

class Scenario : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/korvel-scenario-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const Row& r, bool echo, const char* pacing,
              const std::function<void()>& at_answer = {}) {
    const std::string path = dir_ + "/boot.cct";
    if (r.image != kNoFile) {
      auto bytes = container_bytes(plain_image(r.image));
      bytes[8] ^= r.damaged ? 1 : 0;
      write_file(path, bytes);
    }
    VirtualLine line(r.device);
    line.echo(echo);
    if (r.arm)
      r.arm(line);
    CaptureConsole con(r.cp1251 ? Encoder::cp1251() : Encoder::utf8(), r.input);
    con.before_input = at_answer;
    Platform p{con, line, line, pacing};
    std::vector<const char*> argv = {"korvel"};
    for (const auto& a : r.args)
      argv.push_back(a == "@" ? path.c_str() : a.c_str());
    Outcome o;
    o.status = run_loader(static_cast<int>(argv.size()), argv.data(), p);
    o.out = con.out;
    o.err = con.err;
    o.all = con.all;
    o.colors = con.colors;
    const std::string mark = "страниц\n" + kRule;
    if (const size_t at = con.out.find(mark); at != npos)
      o.dialogue = con.out.substr(at + mark.size());
    for (const auto& f : line.frames_written())
      o.wire.push_back(describe(f));
    o.pauses = line.pauses();
    o.us = line.now_us();
    EXPECT_EQ(line.is_open(), !r.closes) << "the port is left open";
    const auto s = line.model().summary();
    EXPECT_EQ(s.app_started, r.started);
    const auto image = plain_image(r.image == kNoFile ? 0 : r.image);
    if (r.started) {
      EXPECT_TRUE(std::equal(image.begin(), image.end(), line.model().flash().begin() + 0x1000));
    }
    if (r.check)
      r.check(o, line);
    return o;
  }

  void play(const Row& r) {
    SCOPED_TRACE(r.name);
    const Outcome o = run(r, r.echo, r.pacing);
    EXPECT_EQ(o.status, r.status);
    if (r.shows.empty()) {
      EXPECT_EQ(o.dialogue, r.dialogue);
    } else {
      EXPECT_NE(o.dialogue.find(r.shows), npos) << o.dialogue;
    }
    EXPECT_EQ(o.err, r.err);
    if (!r.wire.empty()) {
      EXPECT_EQ(o.wire, r.wire);
    }
    if (!r.pauses.empty()) {
      EXPECT_EQ(o.pauses, r.pauses);
    }
    if (!r.echo && !r.pacing)
      return;
    // The same device on a line without echo, paced as documented: everything the operator
    // and the device see is the same, byte for byte; reply pacing only shortens the waits.
    Row plain = r;
    if (r.ref_prompt)
      plain.device.work_ms.clear();
    const Outcome ref = run(plain, false, nullptr);
    EXPECT_EQ(o.out, ref.out);
    EXPECT_EQ(o.wire, ref.wire);
    if (!r.pacing || std::string(r.pacing) != "reply") {
      EXPECT_EQ(o.pauses, ref.pauses);
    } else if (r.device.work_ms.empty()) {  // both end with the answer's 100 ms and the last 2 s
      EXPECT_LT(o.us - 2100000, (ref.us - 2100000) * 4 / 10) << o.us << " us against " << ref.us;
    }
  }

  std::string dir_;
};

zemlot::Options with(std::function<void(zemlot::Options&)> f) {
  zemlot::Options o;
  f(o);
  return o;
}

// Frames a to b of the wire, or fewer when the run sent fewer.
std::vector<std::string> slice(const std::vector<std::string>& wire, size_t a, size_t b) {
  return {wire.begin() + std::min(a, wire.size()), wire.begin() + std::min(b, wire.size())};
}

size_t count(const std::vector<std::string>& wire, const std::string& prefix) {
  size_t n = 0;
  for (const auto& w : wire)
    n += w.rfind(prefix, 0) == 0;
  return n;
}

std::function<void(const Outcome&, VirtualLine&)> ends_with(std::string tail) {
  return [tail](const Outcome& o, VirtualLine&) { EXPECT_TRUE(o.out.ends_with(tail)) << o.out; };
}

// Frames: 1 activate, 2 blid, 3 keyid, 4 unblock, 5-6 erase of a one-page image, 7.. blocks.
TEST_F(Scenario, Runs) {
  const std::string crc16 = hex(crc32(plain_image(16).data(), 16));
  const Row rows[] = {
      {.name = "information",
       .args = {"VCOM1", "1", "@", "I"},
       .input = "",
       .dialogue = kId + "Информация получена успешно\n" + kRule + kClosingOut,
       .wire = {"01", "10", "11"},
       .pauses = {98, 21, 98, 21, 98, 21, 2000},
       .started = false,
       .check =
           [](const Outcome& o, VirtualLine& line) {
             EXPECT_EQ(line.baud(), 9600);
             EXPECT_EQ(line.opened_name(), "VCOM1");
             EXPECT_EQ(o.out.rfind(kOpening + "ОК\n" + std::string(38, ' ') +
                                       "Set font Lucida Console - 16 for russian!\n" + kRule +
                                       "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН "
                                       "ВКЛЮЧЕННЫЙ ПРИБОР!\nПрограмма - загрузчик Korvel-K1 "
                                       "V2.0\nLoader: Port VCOM1; Speed 9600; 8N1\nТолько "
                                       "читаем информацию о приборе\n" +
                                       kRule,
                                   0),
                       0u)
                 << o.out;
             // The port closes before the container is released.
             EXPECT_LT(o.all.find("[err:OK\n]"), o.all.find("Закрываю криптоконтейнер"));
           }},
      {.name = "programming two blocks",
       .dialogue = kId + kPrompt + kUnlock +
                   "Начинаем стирать 1 страниц flash (старт:0x8001000; 4 страница)\n" + B53 +
                   "Стираем страницу(4)\r" + B53 + "Страница 4 стерта\r" + B53 +
                   "Страница 5 стерта\r" + B78 + kOnePage + B63 + "Блок 0 записан (0x8001000)\r" +
                   B63 + "Блок 1 записан (0x8001008)\r" + B63 + "Все блоки записаны\n" + kRule +
                   "Идет считывание CRC-32 расшифрованного образа(6)\rПолучена контрольная сумма "
                   "расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): " +
                   crc16 + "\nКонтрольная сумма совпала\n" + kRule +
                   "Переключаем выполнение кода на пользовательскую программу\nИдет выдача "
                   "команды на переход (7)\r" +
                   B53 + kDone,
       .wire = {"01", "10", "11", "02", "03@08001000", "03@08001000", "04@08001000", "04@08001008",
                "05@08001000", "06"},
       .pauses = {98, 21, 98, 21, 98, 21, 100, 98, 21, 98,
                  21, 98, 21, 69, 69, 98, 21,  98, 21, 2000},
       .check =
           [](const Outcome& o, VirtualLine& line) {
             EXPECT_EQ(o.colors, (std::vector<Color>{Color::Grey, Color::Green}));
             // The container's report: the creation time of a Sunday in January.
             EXPECT_NE(o.out.find("создан Sun Jan 05 00:00:00 2025\n"), npos) << o.out;
             // GET_CRC carries the size in bytes 11 to 14, and keeps block 1's start in 7 to
             // 10; GOTO keeps the size too.
             const auto& f = line.frames_written();
             ASSERT_EQ(f.size(), 10u);
             for (size_t i = 7; i < 10; ++i)
               ASSERT_EQ(f[i].size(), 16u);
             EXPECT_EQ(load_le32(&f[8][11]), 16u);
             EXPECT_TRUE(std::equal(f[7].begin() + 7, f[7].begin() + 11, f[8].begin() + 7));
             EXPECT_EQ(load_le32(&f[9][11]), 16u);
           }},
      // Operator answers: only the lines "Y" and "N"; anything else asks once more.
      {.name = "N",
       .input = "N\n",
       .dialogue = kId + kPrompt + kRule + kClosingOut,
       .wire = {"01", "10", "11"},
       .started = false},
      {.name = "end of input",
       .input = "",
       .dialogue = kId + kPrompt + kRule + kClosingOut,
       .wire = {"01", "10", "11"},
       .started = false},
      {.name = "lower-case y, then N",
       .input = "y\nN\n",
       .shows = kPrompt + kRule + kClosingOut,
       .wire = {"01", "10", "11", "11"},
       .started = false},
      {.name = "answers that are neither repeat one key exchange, then wait quietly",
       .input = "x\nyes\nmaybe\nN\n",
       .shows = kPrompt + kRule + kClosingOut,
       .wire = {"01", "10", "11", "11"},
       .pauses = {98, 21, 98, 21, 98, 21, 100, 98, 21, 100, 100, 100, 2000},
       .started = false},
      {.name = "YES, an empty line, then Y", .input = "YES\n\nY\n", .shows = kDone},
      {.name = "Y with CRLF", .input = "Y\r\n", .shows = kDone, .wire = {}},
      {.name = "a directive other than an exact P only reads",
       .args = {"VCOM1", "1", "@", "p"},
       .shows = "Информация получена успешно\n",
       .wire = {"01", "10", "11"},
       .started = false},
      // The device and the line misbehave for a while; the loader asks again and succeeds.
      {.name = "device silent for a while",
       .args = {"VCOM1", "1", "@", "I"},
       .device = with([](auto& o) { o.faults.silent_first = 5; }),
       .shows = "Идет поиск бутлоадера (0)\rИдет поиск бутлоадера (1)\rИдет поиск бутлоадера "
                "(2)\rИдет поиск бутлоадера (3)\rИдет поиск бутлоадера (4)\rИдет поиск "
                "бутлоадера (5)\rБутлоадер был найден и активирован\nИдет запрос версии "
                "бутлоадера (6)\r",
       .wire = {"01", "01", "01", "01", "01", "01", "10", "11"},
       .started = false},
      {.name = "replies for another address for a while",
       .device = with([](auto& o) {
         o.faults.wrong_address = {1, 2, 3, 4, 5};
         o.trace = true;
       }),
       .shows = "Идет поиск бутлоадера (5)\rБутлоадер был найден",
       .check =
           [](const Outcome& o, VirtualLine& l) {
             EXPECT_EQ(count(o.wire, "01"), 6u);
             // The emulator's trace, as a technician reads it with --trace.
             std::string trace;
             for (const auto& t : l.model().take_trace())
               trace += t + "\n";
             EXPECT_NE(trace.find("CMD_WRITE_BLOCK block 0 (0x08001000)\n"), npos) << trace;
             EXPECT_NE(trace.find("CMD_WRITE_BLOCK block 1 (0x08001008)\n"), npos) << trace;
           }},
      {.name = "a noise byte before a reply",
       .device = with([](auto& o) {
         o.faults.noise[2] = std::make_shared<const std::vector<uint8_t>>(1, 0x55);
       }),
       .shows = "Идет запрос версии бутлоадера (2)\r",
       .check = [](const Outcome& o, VirtualLine&) { EXPECT_GE(count(o.wire, "10"), 2u); }},
      {.name = "a late reply",
       .device = with([](auto& o) { o.faults.delay_ms[3] = 150; }),
       .shows = "Идет запрос версии шифроключа (3)\r",
       .check = [](const Outcome& o, VirtualLine&) { EXPECT_GE(count(o.wire, "11"), 2u); }},
      {.name = "a reply split by a long gap",
       .device = with([](auto& o) {
         o.faults.split[3] = {3, 150};
       }),
       .shows = "Идет запрос версии шифроключа (3)\r",
       .check = [](const Outcome& o, VirtualLine&) { EXPECT_GE(count(o.wire, "11"), 2u); }},
      // Erase phase: refused erases go out again for the same page, every page before any
      // block.
      {.name = "one page, the second erase refused",
       .device = with([](auto& o) {
         o.faults.refuse = {{CMD_ERASE_PAGE, 2, 0xE7}};
       }),
       .image = 64,
       .shows = "Ошибка стирания E7\n",
       .check =
           [](const Outcome& o, VirtualLine&) {
             ASSERT_GE(o.wire.size(), 9u);
             EXPECT_EQ(slice(o.wire, 4, 9),
                       (std::vector<std::string>{"03@08001000", "03@08001000", "03@08001000",
                                                 "03@08001000", "04@08001000"}));
           }},
      {.name = "three pages, the third erase refused",
       .device = with([](auto& o) {
         o.faults.refuse = {{CMD_ERASE_PAGE, 3, 0xE7}};
       }),
       .image = 3000,
       .shows =
           B53 + "Страница 5 стерта\r" + B53 + "Ошибка стирания E7\n" + B53 + "Страница 5 стерта\r",
       .check =
           [](const Outcome& o, VirtualLine& line) {
             EXPECT_NE(o.dialogue.find("Все страницы стерты(конец:0x8001fff)\n[0<-Zemlot->3][4<-"
                                       "чисто->6][7<-резерв->63]\n"),
                       npos);
             const auto erases = slice(o.wire, 4, 10);
             EXPECT_EQ(erases,
                       (std::vector<std::string>{"03@08001000", "03@08001000", "03@08001400",
                                                 "03@08001400", "03@08001400", "03@08001800"}));
             EXPECT_EQ(o.wire.at(10), "04@08001000");
             EXPECT_EQ(line.model().summary().pages_erased, 3u);
           }},
      {.name = "three pages, the first erase refused twice",
       .device = with([](auto& o) {
         o.faults.refuse = {{CMD_ERASE_PAGE, 1, 0xE7}, {CMD_ERASE_PAGE, 2, 0xE7}};
       }),
       .image = 3000,
       .shows = kDone,
       .check =
           [](const Outcome& o, VirtualLine&) {
             const auto erases = slice(o.wire, 4, 10);
             EXPECT_EQ(erases,
                       (std::vector<std::string>{"03@08001000", "03@08001000", "03@08001000",
                                                 "03@08001000", "03@08001400", "03@08001800"}));
           }},
      {.name = "sixty pages",
       .image = 60 * 1024,
       .shows = B78 +
                "Все страницы стерты(конец:0x80103ff)\n[0<-Zemlot->3][4<-чисто->63][64<-резерв->"
                "63]\n",
       .check = [](const Outcome&,
                   VirtualLine& line) { EXPECT_EQ(line.model().summary().pages_erased, 60u); }},
      // Images that cannot be written erase nothing.
      {.name = "one block more than the flash holds",
       .image = 60 * 1024 + 8,
       .shows = "Начинаем стирать 61 страниц flash (старт:0x8001000; 4 страница)\n" + B57 +
                "Ошибка стирания 3 - превышен допустимый диапазон страниц\n" + kRule + kClosingOut,
       .wire = {"01", "10", "11", "02"},
       .started = false},
      {.name = "an empty image",
       .image = 0,
       .shows = "Начинаем стирать 0 страниц flash (старт:0x8001000; 4 страница)\n" + B57 +
                "Ошибка стирания 3 - нет блоков для записи\n" + kRule + kClosingOut,
       .wire = {"01", "10", "11", "02"},
       .started = false},
      {.name = "no whole block",
       .image = 7,
       .shows = "Начинаем стирать 1 страниц flash (старт:0x8001000; 4 страница)\n" + B57 +
                "Ошибка стирания 3 - нет блоков для записи\n" + kRule + kClosingOut,
       .wire = {"01", "10", "11", "02"},
       .started = false},
      // Block phase: a failed block ends the run without a CRC query or a jump.
      {.name = "a refused block",
       .device = with([](auto& o) {
         o.faults.refuse = {{CMD_WRITE_BLOCK, 2, 0xE9}};
       }),
       .image = 64,
       .shows = B53 + "Ошибка записи E9 в блоке 1\n" + kRule + kClosingOut,
       .wire = {"01", "10", "11", "02", "03@08001000", "03@08001000", "04@08001000", "04@08001008"},
       .started = false},
      {.name = "a missing reply to a block",
       .device = with([](auto& o) { o.faults.drop_reply = {8}; }),
       .image = 64,
       .shows = B53 + "Ошибка контр. суммы в блоке 1\n" + B53 + "Записываем блок N 1\r" + kRule +
                kClosingOut,
       .wire = {"01", "10", "11", "02", "03@08001000", "03@08001000", "04@08001000", "04@08001008"},
       .started = false},
      {.name = "a block answered from another address",
       .device = with([](auto& o) { o.faults.wrong_address = {7}; }),
       .image = 64,
       .shows = B53 + "Ошибка контр. суммы в блоке 0\n" + B53 + "Записываем блок N 0\r" + kRule +
                kClosingOut,
       .wire = {"01", "10", "11", "02", "03@08001000", "03@08001000", "04@08001000"},
       .started = false},
      {.name = "the device's checksum differs",
       .device = with([](auto& o) { o.faults.crc_answer = 0x1234ABCDu; }),
       .shows =
           "(CRC-32-0x4c11DB7): 1234abcd\nКонтрольная сумма не совпала\n" + kRule + kClosingOut,
       .started = false,
       .check =
           [](const Outcome& o, VirtualLine&) {
             EXPECT_EQ(o.colors, (std::vector<Color>{Color::Grey, Color::Red}));
             EXPECT_EQ(slice(o.wire, 8, 9), (std::vector<std::string>{"05@08001000"}));
           }},
      // The key version is a signed byte minus '0'; the bootloader's a signed word.
      {.name = "key and bootloader versions out of the usual range",
       .args = {"VCOM1", "1", "@", "I"},
       .device = with([](auto& o) {
         o.key_version = 0x50;
         o.bootloader_version = 0x80000000u;
       }),
       .shows = "Версия бутлоадера -2147483648\nИдет запрос версии шифроключа (2)\r" + B53 +
                "Версия шифроключа -176\n",
       .started = false},
      {.name = "key version 79",
       .args = {"VCOM1", "1", "@", "I"},
       .device = with([](auto& o) { o.key_version = 0x4F; }),
       .shows = "Версия шифроключа 79\n",
       .started = false},
      // Port failures.
      {.name = "the port cannot be opened",
       .arm = [](VirtualLine& l) { l.fail_open(); },
       .status = 1,
       .err = "",
       .started = false,
       .check = ends_with(kOpening + "ошибка\n")},
      {.name = "its state cannot be read",
       .arm = [](VirtualLine& l) { l.fail_read_settings(); },
       .status = 1,
       .err = "Error getting device state\n",
       .started = false,
       .check = ends_with(kOpening + "ОК\n")},
      {.name = "its parameters cannot be set",
       .arm = [](VirtualLine& l) { l.fail_apply_line_settings(); },
       .status = 1,
       .err = "Error setting device parameters\n",
       .started = false,
       .check = ends_with(kOpening + "ОК\n")},
      {.name = "its time-outs cannot be set, and the close after it fails too",
       .arm =
           [](VirtualLine& l) {
             l.fail_apply_timeouts();
             l.fail_close();
           },
       .status = 1,
       .err = "Error setting timeouts\n",
       .started = false,
       .closes = false,
       .check = ends_with(kOpening + "ОК\n")},
      {.name = "the first command cannot be written",
       .arm = [](VirtualLine& l) { l.fail_write_at(1); },
       .status = 1,
       .dialogue = "Идет поиск бутлоадера (0)\r",
       .err = "Write error\n",
       .pauses = {},
       .started = false},
      {.name = "a block cannot be written",
       .arm = [](VirtualLine& l) { l.fail_write_at(7); },
       .status = 1,
       .shows = B78 + kOnePage,
       .err = "Write error\n",
       .started = false,
       .check =
           [](const Outcome& o, VirtualLine&) {
             EXPECT_TRUE(o.pauses.empty() || o.pauses.back() != 2000u) << "no last pause";
           }},
      {.name = "the line goes in the block phase",
       .device = with([](auto& o) { o.faults.vanish_after = 9; }),
       .image = 256,
       .status = 1,
       .shows = B63 + "Блок 2 записан (0x8001010)\r",
       .err = "Write error\n",
       .started = false,
       .check = [](const Outcome& o, VirtualLine&) { EXPECT_EQ(count(o.wire, "04"), 3u); }},
      {.name = "a read fails in the search",
       .arm = [](VirtualLine& l) { l.fail_read_at(1); },
       .shows = "Read error\nИдет поиск бутлоадера (0)\r"},
      {.name = "a read fails in the block phase: the block goes out again",
       .arm = [](VirtualLine& l) { l.fail_read_at(7); },
       .shows = B63 + "Блок 0 записан (0x8001000)\r",
       .wire = {"01", "10", "11", "02", "03@08001000", "03@08001000", "04@08001000", "04@08001000",
                "04@08001008", "05@08001000", "06"}},
      {.name = "the port cannot be closed",
       .args = {"VCOM1", "1", "@", "I"},
       .arm = [](VirtualLine& l) { l.fail_close(); },
       .status = 1,
       .dialogue = kId + "Информация получена успешно\n" + kRule,
       .err = "Закрываю СОМ порт... Error\n",
       .started = false,
       .closes = false},
      // The container.
      {.name = "no container",
       .args = {"VCOM1", "1", "/nonexistent/boot.cct", "I"},
       .image = kNoFile,
       .status = 1,
       .err = "",
       .wire = {},
       .started = false,
       .closes = false,
       .check =
           [](const Outcome& o, VirtualLine&) {
             EXPECT_NE(o.out.find(kRule + "Открываем криптоконтейнер .cct \nНе найден "
                                          "криптоконтейнер.cct \n"),
                       npos);
             EXPECT_TRUE(o.wire.empty());
           }},
      {.name = "a damaged container sends nothing",
       .damaged = true,
       .wire = {},
       .pauses = {2000},
       .started = false,
       .check =
           [](const Outcome& o, VirtualLine&) {
             EXPECT_TRUE(o.wire.empty());
             EXPECT_TRUE(
                 o.out.ends_with(kRule +
                                 "Контрольная сумма не совпала! Проверьте "
                                 "целостность файла " +
                                 o.out.substr(o.out.find("Размер ") + 13,
                                              o.out.find(" файла:") - o.out.find("Размер ") - 13) +
                                 "!\n" + kRule + kRule + kClosingOut))
                 << o.out;
           }},
      // The same device on another kind of line, or paced by its replies.
      {.name = "echo, information",
       .args = {"VCOM1", "1", "@", "I"},
       .echo = true,
       .shows = "Информация получена успешно\n",
       .started = false},
      {.name = "echo, programming", .image = 64, .echo = true, .shows = kDone},
      // 19 and 17 are the flow-control characters XOFF and XON.
      {.name = "echo, netnum 19, a refused erase",
       .args = {"VCOM1", "19", "@", "P"},
       .device = with([](auto& o) {
         o.netnum = 19;
         o.faults.refuse = {{CMD_ERASE_PAGE, 2, 0xE7}};
       }),
       .image = 3000,
       .echo = true,
       .shows = "Ошибка стирания E7\n"},
      {.name = "echo, a block reply lost",
       .device = with([](auto& o) { o.faults.drop_reply = {8}; }),
       .image = 64,
       .echo = true,
       .shows = "Ошибка контр. суммы в блоке 1\n",
       .started = false},
      // With netnum 25 the reply to CMD_ACTIVATE is the first seven bytes of its frame.
      {.name = "echo, a reply beginning like the frame",
       .args = {"VCOM1", "25", "@", "I"},
       .device = with([](auto& o) { o.netnum = 25; }),
       .echo = true,
       .shows = "Версия бутлоадера 2\n",
       .started = false},
      // Every frame after a reply waits out the 4 ms the device needs to let go of the line (the
      // first frame follows none, and the one after the answer follows its 100 ms pause).
      {.name = "reply pacing",
       .image = 64,
       .pacing = "reply",
       .shows = kDone,
       .check =
           [](const Outcome& o, VirtualLine&) {
             if (std::count(o.pauses.begin(), o.pauses.end(), kPauseAfterCommand) != 0)
               return;  // the documented run it is compared with
             EXPECT_EQ(size_t(std::count(o.pauses.begin(), o.pauses.end(), 4u)), o.wire.size() - 2);
           }},
      {.name = "reply pacing, echo", .image = 64, .echo = true, .pacing = "reply", .shows = kDone},
      // After a failed read the next frame must not go out over the reply still on its way.
      {.name = "reply pacing, echo, a read fails in the search",
       .image = 64,
       .echo = true,
       .pacing = "reply",
       .arm = [](VirtualLine& l) { l.fail_read_at(1); },
       .shows = kDone},
      {.name = "reply pacing, a read fails in the block phase",
       .image = 64,
       .pacing = "reply",
       .arm = [](VirtualLine& l) { l.fail_read_at(7); },
       .shows = kDone},
      {.name = "reply pacing, 90 ms an erase and 60 ms a block",
       .device = with([](auto& o) {
         o.work_ms = {{CMD_ERASE_PAGE, 90}, {CMD_WRITE_BLOCK, 60}};
       }),
       .image = 64,
       .pacing = "reply",
       .ref_prompt = true,
       .shows = kDone},
      {.name = "reply pacing, a block answered after the documented limit",
       .device = with([](auto& o) {
         o.work_ms = {{CMD_WRITE_BLOCK, 100}};
       }),
       .image = 64,
       .pacing = "reply",
       .shows = "Ошибка контр. суммы в блоке 0\n",
       .started = false},
      {.name = "pacing spec", .pacing = "spec", .shows = kDone},
      {.name = "pacing empty", .pacing = "", .shows = kDone},
      {.name = "pacing unknown",
       .pacing = "Reply",
       .shows = kDone,
       .err =
           "KORVEL_PACING: unknown value 'Reply', the documented pauses are kept\n" + kClosingErr},
  };
  for (const auto& r : rows)
    play(r);
}

TEST_F(Scenario, UsageForAWrongArgumentCountTouchesNothing) {
  const std::vector<std::vector<std::string>> counts = {
      {}, {"COM3", "1", "boot.cct"}, {"COM3", "1", "boot.cct", "P", "extra"}};
  for (const auto& args : counts) {
    Row r{.name = "usage", .args = args, .image = kNoFile, .started = false};
    r.check = [](const Outcome& o, VirtualLine& line) {
      EXPECT_EQ(o.out, kUsage);
      EXPECT_EQ(o.colors, (std::vector<Color>{Color::Grey}));
      EXPECT_EQ(line.opened_name(), "");
    };
    r.err = "";
    r.pauses = {};
    play(r);
  }
  // The program's name is the system's text: its bytes pass through unconverted, and our
  // own text is in Windows-1251 ("ВНИМАНИЕ" starts C2 CD).
  CaptureConsole con(Encoder::cp1251());
  VirtualLine line({});
  Platform p{con, line, line};
  const char* argv[] = {"\xD0\xBA\xFF/korvel"};
  EXPECT_EQ(run_loader(1, argv, p), 0);
  EXPECT_NE(con.out.find("usage: \xD0\xBA\xFF/korvel <port>"), npos);
  EXPECT_NE(con.out.find("\xC2\xCD\xC8\xCC\xC0\xCD\xC8\xC5!"), npos);
  EXPECT_TRUE(line.pauses().empty()) << "no pause after the usage text";
}

// The image read at the start is what goes to the device, whatever becomes of the file.
TEST_F(Scenario, ContainerChangedOrRemovedAtThePrompt) {
  const std::string path = dir_ + "/boot.cct";
  const std::function<void()> changes[] = {
      [&] { write_file(path, container_bytes(plain_image(64, 2))); }, [&] { fs::remove(path); }};
  for (const auto& change : changes) {
    const Row r{.name = "changed", .image = 64, .shows = kDone};
    EXPECT_EQ(run(r, false, nullptr, change).status, 0);
  }
}

TEST(Arguments, NetworkNumberConvertsAsAtoiButSaturates) {
  const std::pair<const char*, int32_t> cases[] = {{"1", 1},
                                                   {"abc", 0},
                                                   {"", 0},
                                                   {"-1", -1},
                                                   {"+7", 7},
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
                                                   {"-99999999999999999999999999", INT32_MIN}};
  for (const auto& [text, want] : cases)
    EXPECT_EQ(parse_netnum(text), want) << text;
}

}  // namespace
}  // namespace korvel
