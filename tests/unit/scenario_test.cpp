// Whole runs in virtual time against the device's model: exact output, status, frames, pauses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "app/frontend.h"
#include "capture_console.h"
#include "in_process.h"
#include "process.h"
#include "stand_in_cipher.h"
#include "virtual_line.h"
#include "wire/crc32.h"
#include "wire/endian.h"
#include "wire/protocol.h"

// The rows leave the emulator's other options at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace korvel {
namespace {

using testing::VirtualLine;
constexpr auto npos = std::string::npos;

// The loader's texts, shared by the rows. In a row's expected output "…" stands for any text.
const std::string kRule = std::string(79, '-') + "\n";
const std::string B53 = std::string(53, ' ') + "\r", B63 = std::string(63, ' ') + "\r";
const std::string B78 = std::string(78, ' ') + "\r";
const std::string kOpening = "Открываем СОМ порт... \n", kOpened = kOpening + "ОК\n";
const std::string kWarning =
    "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!\n";
const std::string kClosingErr = "Закрываю СОМ порт... OK\n";
const std::string kEnd =
    kRule + "Закрываю криптоконтейнер\nКриптоконтейнер закрыт\nПрограмма закрыта\n";
const std::string kDone = "Подтверждение получено\n" + kEnd;
const std::string kReport = "…страниц\n" + kRule;  // all up to the container report's end
const std::string kId =
    "Идет поиск бутлоадера (0)\rБутлоадер был найден и активирован\n"
    "Идет запрос версии бутлоадера (1)\r" +
    B53 + "Версия бутлоадера 2\nИдет запрос версии шифроключа (2)\r" + B53 +
    "Версия шифроключа 3\n";
const std::string kInfo = kReport + kId + "Информация получена успешно\n";
const std::string kPrompt =
    "Информация получена успешно, программирование возможно\n"
    "Для программирования введите Y, для выхода N  ";
const std::string kReceived =
    "Получена контрольная сумма расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): ";
const std::string kOnePage =
    "Все страницы стерты(конец:0x80017ff)\n[0<-Zemlot->3][4<-чисто->4][5<-резерв->63]\n";
const std::string kUsage =
    "Set font Lucida Console - 16 for russian!\nKorvel-K1 loader\n" + kWarning +
    "Скорость обмена фиксированная - 9600;\nusage: korvel <port> <netnum> <file> <directive>\n" +
    "<port>  -     номер порта, например COM1\n<netnum>  -   номер устройства, 1 (всегда)\n" +
    "<file> -      файл криптоконтейнер, например boot.cct\n" +
    "<directive> - P - программировать устройство\n" +
    "              I - только считывание информации о устройстве\n" +
    "Example:   Korvel COM3 1 boot.cct P\n";
// A run refused before anything is erased.
std::string refused(int pages, const char* why) {
  return "…Начинаем стирать " + std::to_string(pages) +
         " страниц flash (старт:0x8001000; 4 страница)\n" + std::string(57, ' ') + "\r" +
         "Ошибка стирания 3 - " + why + "\n" + kEnd;
}
const std::string kToBlocks = "01 10 11 02 03@08001000 03@08001000 ";  // frames before blocks
const std::string kPromptWire = kToBlocks + "04@08001000 04@08001008 05@08001000 06";
const std::string kPromptLog =
    "01 +98 +21 10 +98 +21 11 +98 +21 +100 02 +98 +21 03@08001000 +98 +21 03@08001000 +98 +21 "
    "04@08001000 +69 04@08001008 +69 05@08001000 +98 +21 06 +98 +21 +2000";
std::shared_ptr<const std::vector<uint8_t>> bytes(std::vector<uint8_t> b) {
  return std::make_shared<const std::vector<uint8_t>>(std::move(b));
}
constexpr size_t kNoFile = SIZE_MAX;

// Each frame's write to the next one's on the line, in virtual microseconds.
std::vector<uint64_t> gaps(const VirtualLine& l) {
  std::vector<uint64_t> g;
  const auto& t = l.write_times();
  for (size_t i = 1; i < t.size(); ++i)
    g.push_back(t[i] - t[i - 1]);
  return g;
}
// The documented spacing: the frame on the wire (16.7 ms), the pauses, and the read: at once
// when the reply waits, 28 ms when nothing comes. The clock ticks a few µs at every reading.
constexpr uint64_t kFrameUs = 16667, kAnsweredUs = kFrameUs + 119000,
                   kSilentUs = kAnsweredUs + 28000;
void expect_spacing(const VirtualLine& l, const std::vector<uint64_t>& want) {
  const std::vector<uint64_t> g = gaps(l);
  ASSERT_GE(g.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_NEAR(static_cast<double>(g[i]), static_cast<double>(want[i]), 60) << "gap " << i;
}

// Whether text matches pattern, where "…" in the pattern stands for any text.
bool matches(std::string_view text, std::string_view pattern) {
  const size_t star = pattern.find("…");
  if (star == npos || text.substr(0, star) != pattern.substr(0, star))
    return star == npos && text == pattern;
  for (size_t at = star; at <= text.size(); ++at)
    if (matches(text.substr(at), pattern.substr(star + std::string_view("…").size())))
      return true;
  return false;
}

// The texts that overwrite themselves, their counts and the blanks before them gone.
std::string without_progress(const std::string& out) {
  std::string kept;
  size_t from = 0;
  for (size_t cr = out.find('\r'); cr != npos; cr = out.find('\r', from)) {
    const size_t start = std::max(from, out.find_last_of('\n', cr) + 1);
    const std::string_view piece(&out[start], cr - start);
    const size_t open = piece.rfind('(');
    const bool blanks = piece.find_first_not_of(' ') == npos;
    const bool counted =
        piece.ends_with(")") && open != npos && open + 2 < piece.size() &&
        piece.substr(open + 1, piece.size() - open - 2).find_first_not_of("0123456789") == npos;
    kept.append(out, from, (blanks || counted ? start : cr + 1) - from);
    from = cr + 1;
  }
  return kept + out.substr(from);
}

std::vector<uint8_t> plain_image(size_t n, int seed = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>((i * 13 + seed * 101) ^ (i >> 8));
  return v;
}

// A container written byte by byte, not by the project's encoder: word 1 is the plain
// image's CRC-32, word 2 the payload's, word 6 the creation time (a Sunday in January).
void write_container(const std::string& path, const std::vector<uint8_t>& plain, bool damaged) {
  std::vector<uint8_t> payload = plain;
  cipher::encipher(cipher::kDefaultKey, payload.data(), payload.size());
  std::vector<uint8_t> file(64, 0);
  file[0] = 1;
  store_le32(&file[4], crc32(plain.data(), static_cast<uint32_t>(plain.size())));
  store_le32(&file[8], crc32(payload.data(), static_cast<uint32_t>(payload.size())) ^ damaged);
  store_le32(&file[24], 1736035200u);  // Sun Jan 05 00:00:00 2025 UTC
  file.insert(file.end(), payload.begin(), payload.end());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

// What a run is given.
struct Given {
  const char* program = "korvel";
  std::string args = "VCOM1 1 @ P";  // "@": the container's path
  zemlot::Options device{};
  size_t image = 16;     // bytes of plain image; kNoFile: no container file
  bool damaged = false;  // the stored payload checksum does not match
  std::string input = "Y\n";
  unsigned fails = 0;      // VirtualLine::Step bits
  size_t write_fails = 0;  // the k-th write fails
  size_t read_fails = 0;   // the first read after the k-th write fails
  bool cp1251 = false, echo = false;
  const char* pacing = nullptr;                    // KORVEL_PACING
  const char *trace = nullptr, *status = nullptr;  // KORVEL_TRACE, KORVEL_STATUS
  const char* resend = nullptr;                    // KORVEL_RESEND
  const char* compare = nullptr;                   // KORVEL_COMPARE
  bool traced = false;  // KORVEL_TRACE names a file of the test's, KORVEL_STATUS=detailed
  // When the loader first reads its input, given the container's path.
  std::function<void(const std::string&)> at_answer = {};
};

struct Outcome {
  int status = -1;
  std::string out, err, log, wire, trace;
  uint64_t us = 0;
};

// What a run must give; an expected log that names no pause is compared with the frames only.
struct Row {
  const char* name;
  Given in;
  std::string out, log = "…", err = kClosingErr;
  int status = 0;
  bool left_open = false;
  std::function<void(VirtualLine&)> check = {};
  // Beside the run, the same image on a prompt device: the operator sees the same texts,
  // progress texts apart.
  bool like_prompt = false;
  int detailed = -1;       // under KORVEL_STATUS=detailed, when the ending has a status of its own
  std::string trace = {};  // what the run's trace must show, "…" standing for any text
  Row checked(std::function<void(VirtualLine&)> f) && {
    check = std::move(f);
    return std::move(*this);
  }
  Row like_prompt_device() && {
    like_prompt = true;
    return std::move(*this);
  }
  Row detailed_status(int s) && {
    detailed = s;
    return std::move(*this);
  }
  Row traced(std::string t) && {
    trace = std::move(t);
    return std::move(*this);
  }
  friend void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
};

class Scenario : public ::testing::TestWithParam<Row> {
 protected:
  Outcome run(const Given& in, bool left_open,
              const std::function<void(VirtualLine&)>& check = {}) {
    setenv("TZ", "UTC", 1);
    tzset();
    if (in.image != kNoFile)
      write_container(path_, plain_image(in.image), in.damaged);
    VirtualLine line(in.device);
    line.echo(in.echo);
    line.failing = in.fails;
    line.fail_write_at(in.write_fails);
    line.fail_read_after(in.read_fails);
    testing::CaptureConsole con(in.cp1251 ? Encoder::cp1251() : Encoder::utf8(), in.input);
    if (in.at_answer)
      con.before_input = [&] { in.at_answer(path_); };
    const std::string trace = path_ + ".trace";
    std::vector<std::string> args = testing::words(in.program, in.args);
    std::ranges::replace(args, std::string("@"), path_);
    const testing::Ran ran = testing::run_in_process(line, con, args,
                                                     {.pacing = in.pacing,
                                                      .trace = in.traced ? trace.c_str() : in.trace,
                                                      .status = in.traced ? "detailed" : in.status,
                                                      .resend = in.resend,
                                                      .compare = in.compare});
    Outcome o(ran.status, con.out, con.err, line.log, line.wire, "", line.now_us());
    if (in.traced) {
      std::ifstream f(trace);
      o.trace.assign(std::istreambuf_iterator<char>(f), {});
    }
    EXPECT_EQ(ran.port_left_open, left_open);
    // The device runs the image when the loader says so, holding it, its pages erased; when
    // the jump went unconfirmed it may or may not have jumped.
    const auto device = line.model().summary();
    const bool started = o.out.find("Подтверждение получено\n") != npos;
    EXPECT_TRUE(device.app_started == started ||
                (!started && o.out.find("Подтверждение не получено\n") != npos));
    const auto image = plain_image(in.image == kNoFile ? 0 : in.image);
    const auto& app = line.model().flash();  // from 0x08001000 on
    const bool written = o.out.find("запись не нужна") == npos;
    EXPECT_TRUE(!device.app_started ||
                (std::equal(image.begin(), image.end(), app.begin() + 0x1000) &&
                 device.pages_erased == (written ? (image.size() + 1023) / 1024 : 0)));
    EXPECT_EQ(device.app_crc,
              crc32(app.data() + 0x1000, static_cast<uint32_t>(app.size() - 0x1000)));
    // Grey from the start; green or red with the device's checksum verdict.
    std::vector<Color> colors{Color::Grey};
    if (o.out.find("совпала\n" + kRule + "Переключаем") != npos)
      colors.push_back(Color::Green);
    if (o.out.find("Контрольная сумма не совпала\n") != npos)
      colors.push_back(Color::Red);
    EXPECT_EQ(con.colors, colors);
    if (check)
      check(line);
    return o;
  }

  void play(const Row& r) {
    const Outcome o = run(r.in, r.left_open, r.check);
    EXPECT_EQ(o.status, r.status);
    EXPECT_TRUE(matches(o.out, r.out)) << o.out;
    EXPECT_EQ(o.err, r.err);
    EXPECT_TRUE(matches(r.log.find('+') != npos ? o.log : o.wire, r.log)) << o.log;
    // With a trace and the detailed statuses: the same report, the ending's own status.
    Given traced = r.in;
    traced.traced = true;
    const Outcome t = run(traced, r.left_open);
    EXPECT_EQ(t.out, o.out);
    EXPECT_TRUE(t.err == o.err || r.in.trace || r.in.status);
    EXPECT_EQ(t.status, r.detailed >= 0 ? r.detailed : r.status);
    EXPECT_TRUE(r.trace.empty() || matches(t.trace, r.trace)) << t.trace;
    if (r.like_prompt) {
      Given prompt = r.in;
      prompt.device.work_ms.clear();
      prompt.device.faults = {};
      const std::string texts = without_progress(o.out);
      EXPECT_EQ(texts, without_progress(run(prompt, r.left_open).out));
      EXPECT_TRUE(texts.ends_with(kDone) && texts.find("Все блоки записаны\n") != npos) << texts;
    }
    // A device busy after its reply loses frames only when they come that soon: under reply
    // pacing.
    if ((!r.in.echo && !r.in.pacing) || !r.in.device.busy_after_reply_ms.empty())
      return;
    // The same device on a line without echo, paced as documented: everything the operator
    // and the device see is the same, byte for byte; reply pacing only shortens the waits.
    Given plain = r.in;
    plain.echo = false;
    plain.pacing = nullptr;
    const Outcome ref = run(plain, r.left_open);
    EXPECT_EQ(o.out, ref.out);
    const bool by_reply = r.in.pacing && std::string(r.in.pacing) == "reply";
    EXPECT_EQ(by_reply ? o.wire : o.log, by_reply ? ref.wire : ref.log);
    // Both end with the answer's 100 ms and the last 2 s; a slow device leaves little to gain.
    EXPECT_TRUE(!by_reply || !r.in.device.work_ms.empty() ||
                o.us - 2100000 < (ref.us - 2100000) * 4 / 10)
        << o.us << " us against " << ref.us;
  }

  const testing::ScratchDir scratch_;
  const std::string path_ = scratch_.file("boot.cct");
};

TEST_P(Scenario, Runs) {
  play(GetParam());
}

// Frames: 1 activate, 2 blid, 3 keyid, 4 unblock, 5-6 erase of a one-page image, 7.. blocks.
std::vector<Row> rows() {
  using L = VirtualLine;
  return {
      // Row(name, given, standard output, log, standard error, status, port left open)
      Row("information, directive p", {.args = "VCOM1 1 @ p", .input = ""},
          kOpened + std::string(38, ' ') + "Set font Lucida Console - 16 for russian!\n" + kRule +
              kWarning + "Программа - загрузчик Korvel-K1 V2.0\n" +
              "Loader: Port VCOM1; Speed 9600; 8N1\nТолько читаем информацию о приборе\n" + kRule +
              kInfo + kEnd,
          "01 +98 +21 10 +98 +21 11 +98 +21 +2000")
          .checked([](VirtualLine& l) { EXPECT_EQ(l.baud, 9600); }),
      Row("programming two blocks", {},
          "…создан Sun Jan 05 00:00:00 2025\n" + kReport + kId + kPrompt + kRule +
              "\nРазблокируем flash память для стирания и записи\nСнимаем блокировку (3)\r" +
              "Блокировка успешно снята\nНачинаем стирать 1 страниц flash (старт:0x8001000; 4 " +
              "страница)\n" + B53 + "Стираем страницу(4)\r" + B53 + "Страница 4 стерта\r" + B53 +
              "Страница 5 стерта\r" + B78 + kOnePage + B63 + "Блок 0 записан (0x8001000)\r" + B63 +
              "Блок 1 записан (0x8001008)\r" + B63 + "Все блоки записаны\n" + kRule +
              "Идет считывание CRC-32 расшифрованного образа(6)\rПолучена контрольная сумма " +
              "расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): 56fdc53a\n" +
              "Контрольная сумма совпала\n" + kRule +
              "Переключаем выполнение кода на пользовательскую программу\n" +
              "Идет выдача команды на переход (7)\r" + B53 + kDone,
          kPromptLog)
          .checked([](VirtualLine& line) {
            // GET_CRC keeps block 1's first data bytes before the size, and GOTO all eight.
            const auto& f = line.frames_written();
            EXPECT_TRUE(std::equal(&f.at(7)[7], &f.at(7)[11], &f.at(8)[7]));
            EXPECT_TRUE(std::equal(&f.at(8)[7], &f.at(8)[15], &f.at(9)[7]));
          })
          .traced(
              "…korvel 2.0.0; 4 arguments: 'VCOM1' '1' '…cct' 'P'\n…pacing: documented pauses\n"
              "…port 'VCOM1': open, 9600 8N1\n…container '…': 80 bytes, payload 16 bytes, 16 read\n"
              "…payload CRC-32 … stored, … computed (match); image CRC-32 56fdc53a\n…2 blocks, 1 "
              "pages\n"
              "…  -> 01 01 00 00 00 00 00 … ac  CMD_ACTIVATE 0x00000000\n"
              "     135.6 ms  <- read 7 of 7: 01 01 00 00 00 00 fa\n"
              "     135.… ms  reply taken: 01 01 00 00 00 00 fa, confirms, value 0x00000000\n"
              "…answer: Y\n…CMD_WRITE_BLOCK 0x08001008\n…reply taken: 01 06 00 00 00 00 …, "
              "confirms…"
              "end: exit status 0\n"),
      // Operator answers: only the lines "Y" and "N"; anything else asks once more.
      Row("end of input", {.input = ""}, kReport + kId + kPrompt + kEnd, "01 10 11")
          .detailed_status(4),
      Row("other answers: the key exchange once more, then quiet till N",
          {.input = "y\nx\nyes\nmaybe\nN\nY\n"}, kReport + kId + kPrompt + kEnd,
          "01 +98 +21 10 +98 +21 11 +98 +21 +100 11 +98 +21 +100 +100 +100 +100 +2000")
          .detailed_status(4),
      // The device and the line misbehave for a while; the loader asks again and succeeds.
      // The search on a silent line keeps the documented pace, and so does the device once it
      // wakes: nothing was heard that it could still be answering.
      // Silence before any device has answered costs nothing beyond the read.
      Row("device silent for a while",
          {.args = "VCOM1 1 @ I", .device = {.faults = {.silent_first = 5}}},
          kReport + "Идет поиск бутлоадера (0)\r…Идет поиск бутлоадера (4)\r" +
              "Идет поиск бутлоадера (5)\rБутлоадер был найден и активирован\n" +
              "Идет запрос версии бутлоадера (6)\r…",
          "01 01 01 01 01 01 10 11")
          .checked([](VirtualLine& l) {
            expect_spacing(l, {kSilentUs, kSilentUs, kSilentUs, kSilentUs, kSilentUs, kAnsweredUs,
                               kAnsweredUs});
          })
          .traced("…CMD_ACTIVATE 0x00000000\n…<- read 0 of 7\n"
                  "…no reply taken: nothing heard; listened 0.0 ms after the read\n…"
                  "reply taken: 01 01 00 00 00 00 fa, confirms…end: exit status 0\n"),
      // Prompt replies that are none to take cost nothing beyond their own exchange.
      Row("prompt wrong replies at the documented pace",
          {.args = "VCOM1 1 @ I",
           .device = {.faults = {.drop_reply = {3, 4},
                                 .wrong_address = {1, 6},
                                 .bad_crc = {2, 7},
                                 .noise = {{3, bytes({0x55, 0xAA, 0x55, 0xAA, 0x55, 0xAA, 0x55})},
                                           {4, bytes({1, 0x10, 0, 0, 0, 2, 0xF7})}}}}},
          "…Идет поиск бутлоадера (4)\rБутлоадер был найден…Идет запрос версии бутлоадера (7)\r…",
          "01 01 01 01 01 10 10 10 11")
          .checked(
              [](VirtualLine& l) { expect_spacing(l, std::vector<uint64_t>(8, kAnsweredUs)); }),
      Row("a search against a device at another address at the documented pace",
          {.args = "VCOM1 1 @ I",
           .device = {.faults = {.wrong_address = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}}}},
          "…Идет поиск бутлоадера (12)\rБутлоадер был найден…")
          .checked(
              [](VirtualLine& l) { expect_spacing(l, std::vector<uint64_t>(14, kAnsweredUs)); }),
      Row("replies for another address for a while",
          {.device = {.trace = true, .faults = {.wrong_address = {1, 2, 3, 4, 5}}}},
          "…Идет поиск бутлоадера (5)\rБутлоадер был найден…" + kDone, "01 01 01 01 01 01 10…")
          .checked([](VirtualLine& l) {
            std::string trace;  // the emulator's, as a technician reads it with --trace
            for (const auto& t : l.model().take_trace())
              trace += t + "\n";
            EXPECT_TRUE(matches(
                trace,
                "…CMD_ERASE_PAGE page 4 (0x08001000)\n…CMD_WRITE_BLOCK block 0 (0x08001000)\n…"
                "CMD_GET_CRC 0x08001000 size 16\n…"));
          }),
      // Replies heard in the exchange they belong to, as from a prompt device: after noise,
      // late, split by a gap, cut short by the read, behind another command's reply.
      // (Its last byte was waiting too: a prompt reply, not a late one.)
      Row("a noise byte before a reply", {.device = {.faults = {.noise = {{2, bytes({0x55})}}}}},
          "…" + kDone, kPromptWire)
          .like_prompt_device()
          .traced("…<- read 7 of 7: 55 01 10 00 00 00 02\n…<- read waiting 1 of …: f7\n"
                  "…reply taken: 01 10 00 00 00 02 f7, confirms, value 0x00000002\n…"),
      Row("a late reply", {.device = {.faults = {.delay_ms = {{3, 150}}}}}, "…" + kDone,
          kPromptWire)
          .like_prompt_device(),
      Row("a reply split by a long gap", {.device = {.faults = {.split = {{3, {3, 150}}}}}},
          "…" + kDone, kPromptWire)
          .like_prompt_device(),
      Row("engine replies straddling the read, early in the band",
          {.device = {.work_ms = {{CMD_ERASE_PAGE, 110},
                                  {CMD_GET_BLID, 112},
                                  {CMD_GET_KEYID, 111},
                                  {CMD_UNBLOCK_FLASH, 111}}}},
          "…" + kDone, kPromptLog)
          .like_prompt_device(),
      Row("engine replies straddling the read, late in the band",
          {.device = {.work_ms = {{CMD_ERASE_PAGE, 116},
                                  {CMD_GET_BLID, 114},
                                  {CMD_GET_KEYID, 115},
                                  {CMD_UNBLOCK_FLASH, 114}}}},
          "…" + kDone, kPromptLog)
          .like_prompt_device(),
      Row("block replies straddling the read, 60 ms",
          {.device = {.work_ms = {{CMD_WRITE_BLOCK, 60}}}}, "…" + kDone, kPromptLog)
          .like_prompt_device(),
      Row("block replies straddling the read, 65 ms",
          {.device = {.work_ms = {{CMD_WRITE_BLOCK, 65}}}}, "…" + kDone, kPromptLog)
          .like_prompt_device(),
      Row("erases answered after 150 ms",
          {.device = {.work_ms = {{CMD_ERASE_PAGE, 150}}}, .image = 3000}, "…" + kDone,
          kToBlocks + "03@08001400 03@08001800 04@08001000…")
          .like_prompt_device(),
      Row("echo, a late reply", {.device = {.faults = {.delay_ms = {{3, 150}}}}, .echo = true},
          "…" + kDone, kPromptWire)
          .like_prompt_device(),
      // At network number 0 seven zero bytes pass for a reply, and a frame with no data holds
      // them: an echo garbled by a slow device's reply must not be taken for one.
      Row("echo at network number 0, a reply colliding with a frame",
          {.args = "VCOM1 0 @ P",
           .device = {.netnum = 0, .work_ms = {{CMD_GET_BLID, 548}}},
           .echo = true},
          "…" + kDone)
          .like_prompt_device(),
      // At network number 25 the reply to the activation is the first seven bytes of its frame:
      // an echo with a byte hit further on is still an echo, not the device's answer.
      Row("echo at network number 25 on a line that hits one byte in 100",
          {.args = "VCOM1 25 @ X",
           .device = {.netnum = 25,
                      .seed = 0,
                      .line = {.byte_errors = 100},
                      .faults = {.refuse = {{CMD_ACTIVATE, 1, 0xE0}}}},
           .image = 437,
           .echo = true},
          "…Бутлоадер был найден и активирован\n…Информация получена успешно\n" + kEnd),
      // A device eight times slower than its window answers into one of the frames it lost
      // while it worked; from then on the loader waits as long before sending a frame again,
      // whatever refusals come between.
      Row("a version that takes 932 ms, refused twice, through a 16 ms adapter",
          {.args = "VCOM1 0 @ P",
           .device = {.netnum = 0,
                      .work_ms = {{CMD_GET_BLID, 932}},
                      .line = {.latency_ms = 16},
                      .faults = {.refuse = {{CMD_GET_BLID, 2, 0xEE}, {CMD_GET_BLID, 4, 0xE6}}}},
           .image = 512},
          "…" + kDone)
          .checked([](VirtualLine& l) {
            const auto& f = l.frames_written();
            size_t run = 1, longest = 1;
            for (size_t i = 1; i < f.size(); ++i)
              longest = std::max(longest, run = f[i] == f[i - 1] ? run + 1 : 1);
            EXPECT_LE(longest, 10u);
          })
          .like_prompt_device(),
      Row("replies to other commands ahead of an erase's and a block's",
          {.device = {.faults = {.noise = {{5, bytes({1, 0x10, 0, 0, 0, 2, 0xF7})},
                                           {7, bytes({1, 0x03, 0, 0, 0, 0, 0x79})}}}}},
          "…" + kDone, kPromptWire)
          .like_prompt_device(),
      // Refused erases go out again for the same page, every page before any block.
      Row("one page, the second erase refused",
          {.device = {.faults = {.refuse = {{CMD_ERASE_PAGE, 2, 0xE7}}}}, .image = 64},
          "…Страница 4 стерта\r" + B53 + "Ошибка стирания E7\n" + B53 + "Страница 5 стерта\r" +
              B78 + kOnePage + "…" + kDone,
          kToBlocks + "03@08001000 04@08001000…"),
      Row("three pages, the third erase refused",
          {.device = {.faults = {.refuse = {{CMD_ERASE_PAGE, 3, 0xE7}}}}, .image = 3000},
          "…" + B53 + "Страница 5 стерта\r" + B53 + "Ошибка стирания E7\n" + B53 +
              "Страница 6 стерта\r" + B53 + "Страница 7 стерта\r" + B78 +
              "Все страницы "
              "стерты(конец:0x8001fff)\n[0<-Zemlot->3][4<-чисто->6][7<-резерв->63]\n…" +
              kDone,
          kToBlocks + "03@08001400 03@08001400 03@08001800 04@08001000…"),
      Row("sixty pages", {.image = 60 * 1024},
          "…" + B78 + "Все страницы стерты(конец:0x80103ff)\n" +
              "[0<-Zemlot->3][4<-чисто->63][64<-резерв->63]\n…" + kDone),
      // Images that cannot be written erase nothing.
      Row("one block more than the flash holds", {.image = 60 * 1024 + 8},
          refused(61, "превышен допустимый диапазон страниц"), "01 10 11 02")
          .detailed_status(6),
      Row("an empty image", {.image = 0}, refused(0, "нет блоков для записи"), "01 10 11 02")
          .detailed_status(6),
      Row("no whole block", {.image = 7}, refused(1, "нет блоков для записи"), "01 10 11 02")
          .detailed_status(6),
      // A device that has jumped answers no more: the jump is asked for ten times, and then the
      // run ends without its confirmation, the console still green.
      Row("the jump's confirmation lost, the application silent",
          {.device = {.after_goto = zemlot::AfterGoto::Silent, .faults = {.drop_reply = {10}}}},
          "…Переключаем выполнение кода на пользовательскую программу\n"
          "Идет выдача команды на переход (7)\r…Идет выдача команды на переход (16)\r" +
              B53 + "Подтверждение не получено\n" + kEnd,
          kToBlocks + "04@08001000 04@08001008 05@08001000 06 06 06 06 06 06 06 06 06 06")
          .detailed_status(10),
      Row("the jump's confirmation lost, the application chattering",
          {.device = {.after_goto = zemlot::AfterGoto::Chatter, .faults = {.drop_reply = {10}}},
           .echo = true},
          "…Идет выдача команды на переход (16)\r" + B53 + "Подтверждение не получено\n" + kEnd,
          "…05@08001000 06 06 06 06 06 06 06 06 06 06")
          .checked([](VirtualLine& l) { EXPECT_GT(l.model().summary().chatter_bytes, 0u); })
          .detailed_status(10),
      Row("a device that refuses every jump",
          {.device = {.faults = {.refuse = {{CMD_GOTO_APPLICATION, 1, 0xEA},
                                            {CMD_GOTO_APPLICATION, 2, 0xEA},
                                            {CMD_GOTO_APPLICATION, 3, 0xEA},
                                            {CMD_GOTO_APPLICATION, 4, 0xEA},
                                            {CMD_GOTO_APPLICATION, 5, 0xEA},
                                            {CMD_GOTO_APPLICATION, 6, 0xEA},
                                            {CMD_GOTO_APPLICATION, 7, 0xEA},
                                            {CMD_GOTO_APPLICATION, 8, 0xEA},
                                            {CMD_GOTO_APPLICATION, 9, 0xEA},
                                            {CMD_GOTO_APPLICATION, 10, 0xEA}}}}},
          "…Идет выдача команды на переход (16)\r" + B53 + "Подтверждение не получено\n" + kEnd,
          "…05@08001000 06 06 06 06 06 06 06 06 06 06")
          .detailed_status(10),
      Row("the jump confirmed at the tenth frame",
          {.device = {.faults = {.drop_reply = {10, 11, 12, 13, 14, 15, 16, 17, 18}}}},
          "…Идет выдача команды на переход (16)\r" + B53 + kDone,
          "…05@08001000 06 06 06 06 06 06 06 06 06 06"),
      // KORVEL_RESEND: a block whose reply did not pass or did not come goes out again.
      // Flash that takes a rewrite (ANDed in) confirms the copy.
      Row("a block's reply garbled once, three resends",
          {.device = {.rewrite = zemlot::Rewrite::And, .faults = {.bad_crc = {7}}}, .resend = "3"},
          "…" + B78 + kOnePage + B53 + "Записываем блок N 0\r" + B63 +
              "Блок 0 записан (0x8001000)\r" + B63 + "Блок 1 записан (0x8001008)\r…" + kDone,
          kToBlocks + "04@08001000 04@08001000 04@08001008 05@08001000 06"),
      // The first copy is in flash, and flash that holds it refuses the second: the device's
      // checksum decides, and it matches.
      Row("a block's reply lost, the copy refused as a rewrite",
          {.device = {.faults = {.drop_reply = {7}}}, .resend = "3"},
          "…" + B78 + kOnePage + B53 + "Записываем блок N 0\r" + B63 +
              "Блок 1 записан (0x8001008)\r" + B63 + "Все блоки записаны\n…" + kDone,
          kToBlocks + "04@08001000 04@08001000 04@08001008 05@08001000 06")
          .checked([](VirtualLine& l) { EXPECT_EQ(l.model().summary().rewrites_refused, 1u); }),
      Row("a block's reply garbled every time, three resends",
          {.device = {.faults = {.bad_crc = {7, 8, 9, 10}}}, .resend = "3"},
          "…" + B78 + kOnePage + B53 + "Записываем блок N 0\r" + B53 + "Записываем блок N 0\r" +
              B53 + "Записываем блок N 0\r" + B53 + "Ошибка контр. суммы в блоке 0\n" + B53 +
              "Записываем блок N 0\r" + kEnd,
          kToBlocks + "04@08001000 04@08001000 04@08001000 04@08001000")
          .detailed_status(8),
      // Each block has its own resends.
      Row("a later block's reply garbled every time, three resends",
          {.device = {.faults = {.bad_crc = {8, 9, 10, 11}}}, .resend = "3"},
          "…" + B63 + "Блок 0 записан (0x8001000)\r" + B53 + "Записываем блок N 1\r" + B53 +
              "Записываем блок N 1\r" + B53 + "Записываем блок N 1\r" + B53 +
              "Ошибка контр. суммы в блоке 1\n" + B53 + "Записываем блок N 1\r" + kEnd,
          kToBlocks + "04@08001000 04@08001008 04@08001008 04@08001008 04@08001008")
          .detailed_status(8),
      // A block in doubt leaves no doubt behind: a later block refused outright ends the run.
      Row("a block's reply garbled once, three resends, the next block refused",
          {.device = {.rewrite = zemlot::Rewrite::And,
                      .faults = {.refuse = {{CMD_WRITE_BLOCK, 3, 0xE9}}, .bad_crc = {7}}},
           .resend = "3"},
          "…" + B53 + "Записываем блок N 0\r" + B63 + "Блок 0 записан (0x8001000)\r" + B53 +
              "Ошибка записи E9 в блоке 1\n" + kEnd,
          kToBlocks + "04@08001000 04@08001000 04@08001008")
          .detailed_status(7),
      Row("a block's reply garbled once, no resend", {.device = {.faults = {.bad_crc = {7}}}},
          "…" + B78 + kOnePage + B53 + "Ошибка контр. суммы в блоке 0\n" + B53 +
              "Записываем блок N 0\r" + kEnd,
          kToBlocks + "04@08001000")
          .detailed_status(8),
      // A device that acknowledges a block and then programs it, losing what comes meanwhile:
      // the loader learns from the frames it lost to leave it that time.
      Row("reply pacing, a device busy 20 ms after each block's reply, three resends",
          {.device = {.busy_after_reply_ms = {{CMD_WRITE_BLOCK, 20}},
                      .rewrite = zemlot::Rewrite::And},
           .image = 1024,
           .pacing = "reply",
           .resend = "3"},
          "…" + kDone)
          .checked([](VirtualLine& l) {
            const auto& f = l.frames_written();
            size_t again = 0;
            for (size_t i = 1; i < f.size(); ++i)
              again += f[i] == f[i - 1];
            EXPECT_LE(again, 4u) << l.wire;
          }),
      // KORVEL_COMPARE: the device's checksum of what it holds, before anything is written.
      Row("compare, information, the same image",
          {.args = "VCOM1 1 @ I", .device = {.holds = plain_image(16)}, .compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r" + kReceived +
              "56fdc53a\nОбраз в приборе совпадает с криптоконтейнером\n"
              "Информация получена успешно\n" +
              kEnd,
          "01 10 11 05@08001000"),
      Row("compare, information, another image",
          {.args = "VCOM1 1 @ I", .device = {.holds = plain_image(16, 1)}, .compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r" + kReceived +
              "…\nОбраз в приборе отличается от криптоконтейнера\nИнформация получена успешно\n" +
              kEnd,
          "01 10 11 05@08001000")
          .detailed_status(11),
      Row("compare, information, the query refused",
          {.args = "VCOM1 1 @ I",
           .device = {.crc_before_unlock = zemlot::CrcBeforeUnlock::Refuse},
           .compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r" + B53 +
              "Сравнение невозможно (ошибка E1)\nИнформация получена успешно\n" + kEnd,
          "01 10 11 05@08001000")
          .detailed_status(12),
      Row("compare, information, the query unanswered",
          {.args = "VCOM1 1 @ I",
           .device = {.crc_before_unlock = zemlot::CrcBeforeUnlock::Ignore},
           .compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r…(12)\r" + B53 +
              "Сравнение невозможно\nИнформация получена успешно\n" + kEnd,
          "01 10 11 05@08001000 05@08001000 05@08001000 05@08001000 05@08001000 05@08001000 "
          "05@08001000 05@08001000 05@08001000 05@08001000")
          .detailed_status(12),
      // A device that holds the image is started without a prompt, an erase or a block.
      Row("compare, programming, the same image",
          {.device = {.holds = plain_image(16)}, .compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r" + kReceived +
              "56fdc53a\nОбраз в приборе совпадает с криптоконтейнером, запись не нужна\n"
              "Контрольная сумма совпала\n" +
              kRule + "Переключаем выполнение кода на пользовательскую программу\n" +
              "Идет выдача команды на переход (4)\r" + B53 + kDone,
          "01 10 11 05@08001000 06"),
      Row("compare, programming, another image", {.compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r" + kReceived +
              "…\nОбраз в приборе отличается от криптоконтейнера\n" + kPrompt + kRule +
              "\nРазблокируем flash память для стирания и записи\nСнимаем блокировку (4)\r…" +
              kDone,
          "01 10 11 05@08001000 02 03@08001000 03@08001000 04@08001000 04@08001008 05@08001000 06"),
      Row("compare, programming, the query refused, the answer N",
          {.device = {.crc_before_unlock = zemlot::CrcBeforeUnlock::Refuse},
           .input = "N\n",
           .compare = "1"},
          kReport + kId + "Идет считывание CRC-32 расшифрованного образа(3)\r" + B53 +
              "Сравнение невозможно (ошибка E1)\n" + kPrompt + kEnd,
          "01 10 11 05@08001000")
          .detailed_status(4),
      // An image the loader would not write is not compared: no query over a range the device
      // must refuse.
      Row("compare, an image larger than the flash",
          {.args = "VCOM1 1 @ I", .image = 60 * 1024 + 8, .compare = "1"},
          kReport + kId + B53 + "Сравнение невозможно\nИнформация получена успешно\n" + kEnd,
          "01 10 11")
          .detailed_status(12),
      Row("compare unknown", {.compare = "yes"}, "…" + kDone, "…",
          "KORVEL_COMPARE: unknown value 'yes', the image is not compared\n" + kClosingErr),
      Row("resend unknown", {.resend = "11"}, "…" + kDone, "…",
          "KORVEL_RESEND: unknown value '11', blocks are not sent again\n" + kClosingErr),
      // A failed block ends the run without a CRC query or a jump.
      Row("a refused block",
          {.device = {.faults = {.refuse = {{CMD_WRITE_BLOCK, 2, 0xE9}}}}, .image = 64},
          "…" + B53 + "Ошибка записи E9 в блоке 1\n" + kEnd, kToBlocks + "04@08001000 04@08001008")
          .detailed_status(7),
      Row("the device's checksum differs", {.device = {.faults = {.crc_answer = 0x1234ABCDu}}},
          "…(CRC-32-0x4c11DB7): 1234abcd\nКонтрольная сумма не совпала\n" + kEnd,
          "…04@08001008 05@08001000")
          .detailed_status(9),
      // The key version is a signed byte minus '0'; the bootloader's a signed word.
      Row("versions out of range",
          {.args = "VCOM1 1 @ I", .device = {.bootloader_version = 1u << 31, .key_version = 0x50}},
          "…Версия бутлоадера -2147483648\n…Версия шифроключа -176\n…"),
      Row("the port cannot be opened", {.fails = L::kOpen}, kOpening + "ошибка\n", "", "", 1)
          .traced("…port 'VCOM1': open: …\n…end: exit status 1\n"),
      Row("its state cannot be read", {.fails = L::kSettings}, kOpened, "",
          "Error getting device state\n", 1),
      Row("its parameters cannot be set", {.fails = L::kLineSettings}, kOpened, "",
          "Error setting device parameters\n", 1),
      Row("time-outs and close fail", {.fails = L::kTimeouts | L::kClose}, kOpened, "",
          "Error setting timeouts\n", 1, true),
      Row("the first command cannot be written", {.write_fails = 1},
          kReport + "Идет поиск бутлоадера (0)\r", "", "Write error\n", 1),
      Row("the line goes in the block phase",
          {.device = {.faults = {.vanish_after = 9}}, .image = 256},
          "…" + B63 + "Блок 2 записан (0x8001010)\r",
          kToBlocks + "04@08001000 04@08001008 04@08001010", "Write error\n", 1),
      Row("the port cannot be closed", {.args = "VCOM1 1 @ I", .fails = L::kClose}, kInfo + kRule,
          "…", "Закрываю СОМ порт... Error\n", 1, true),
      Row("no container", {.args = "VCOM1 1 /nonexistent/boot.cct I", .image = kNoFile},
          "…" + kRule + "Открываем криптоконтейнер .cct \nНе найден криптоконтейнер.cct \n", "", "",
          1, true),
      // The image read at the start goes to the device, whatever becomes of the file.
      Row("container changed at the prompt",
          {.image = 64,
           .at_answer = [](auto& path) { write_container(path, plain_image(64, 2), false); }},
          "…" + kDone),
      Row("container removed at the prompt",
          {.image = 64, .at_answer = [](auto& path) { std::filesystem::remove(path); }},
          "…" + kDone),
      Row("a damaged container sends nothing", {.damaged = true},
          "…" + kRule + "Контрольная сумма не совпала! Проверьте целостность файла …cct!\n" +
              kRule + kEnd,
          "+2000")
          .detailed_status(5),
      // The same device on an adapter that echoes, or paced by its replies.
      Row("echo, a refused erase",
          {.device = {.faults = {.refuse = {{CMD_ERASE_PAGE, 2, 0xE7}}}}, .echo = true},
          "…Ошибка стирания E7\n…" + kDone),
      Row("echo, a block reply lost", {.device = {.faults = {.drop_reply = {8}}}, .echo = true},
          "…" + B53 + "Ошибка контр. суммы в блоке 1\n" + B53 + "Записываем блок N 1\r" + kEnd,
          kToBlocks + "04@08001000 04@08001008")
          .detailed_status(8),
      // With netnum 25 the reply to CMD_ACTIVATE is the first seven bytes of its frame; the
      // first reply is lost, and the frame's echo must not pass for it.
      Row("echo, a reply beginning like the frame",
          {.args = "VCOM1 25 @ I",
           .device = {.netnum = 25, .faults = {.silent_first = 1}},
           .echo = true},
          "…Идет поиск бутлоадера (1)\rБутлоадер был найден…Версия бутлоадера 2\n…"),
      // Every frame after a reply waits out the 4 ms the device needs to let go of the line
      // (the first frame follows none, and the one after the answer follows its 100 ms pause).
      Row("reply pacing", {.pacing = "reply"}, "…" + kDone,
          "01 +4 10 +4 11 +100 02 +4 03@08001000 +4 03@08001000 +4 04@08001000 +4 04@08001008 +4 "
          "05@08001000 +4 06 +2000"),
      // After a failed read the next frame must not go out over the reply still on its way.
      Row("reply pacing, echo, a read fails in the search",
          {.image = 64, .read_fails = 1, .echo = true, .pacing = "reply"},
          kReport + "Идет поиск бутлоадера (0)\rRead error\nИдет поиск бутлоадера (0)\r…" + kDone),
      Row("reply pacing, a read fails in the block phase",
          {.image = 64, .read_fails = 7, .pacing = "reply"}, "…" + kDone),
      // Many USB adapters hand over what they receive every 16 ms.
      Row("reply pacing, an adapter with 16 ms latency",
          {.device = {.line = {.latency_ms = 16}}, .echo = true, .pacing = "reply"}, "…" + kDone),
      Row("reply pacing, slow erase and write",
          {.device = {.work_ms = {{CMD_ERASE_PAGE, 90}, {CMD_WRITE_BLOCK, 50}}}, .pacing = "reply"},
          "…" + kDone),
      Row("reply pacing, a block answered 100 ms after it",
          {.device = {.work_ms = {{CMD_WRITE_BLOCK, 100}}}, .pacing = "reply"}, "…" + kDone)
          .like_prompt_device(),
      Row("reply pacing, erase replies straddling the deadline",
          {.device = {.work_ms = {{CMD_ERASE_PAGE, 140}}}, .pacing = "reply"}, "…" + kDone)
          .like_prompt_device(),
      Row("the fixed pauses asked for by name", {.pacing = "spec"}, "…" + kDone),
      Row("pacing unknown", {.pacing = "Reply"}, "…" + kDone, "…",
          "KORVEL_PACING: unknown value 'Reply', the documented pauses are kept\n" + kClosingErr),
      Row("status unknown", {.status = "Detailed"}, "…" + kDone, "…",
          "KORVEL_STATUS: unknown value 'Detailed', the documented statuses are kept\n" +
              kClosingErr),
      Row("a trace that cannot be written", {.trace = "/nonexistent/korvel.trace"}, "…" + kDone,
          "…",
          "KORVEL_TRACE: cannot open '/nonexistent/korvel.trace': No such file or directory; no "
          "trace is written\n" +
              kClosingErr),
      // A wrong argument count gives the usage text and touches nothing. The program's name is
      // the system's text: its bytes pass through unconverted ("ВНИМАНИЕ" is C2 CD ...).
      Row("five arguments", {.args = "COM3 1 boot.cct P extra", .image = kNoFile}, kUsage, "", "")
          .detailed_status(3),
      Row("usage in Windows-1251",
          {.program = "\xD0\xBA\xFF/korvel", .args = "", .image = kNoFile, .cp1251 = true},
          "…\xC2\xCD\xC8\xCC\xC0\xCD\xC8\xC5!…usage: \xD0\xBA\xFF/korvel <port>…", "", "")
          .detailed_status(3),
  };
}

// A row's name as its test's: letters and digits, one '_' for each run of anything else.
std::string test_name(const ::testing::TestParamInfo<Row>& info) {
  std::string name;
  for (const char c : std::string_view(info.param.name))
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += c;
    else if (c != '\'' && !name.ends_with('_'))
      name += '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, Scenario, ::testing::ValuesIn(rows()), test_name);

TEST(Arguments, NetworkNumberConvertsAsAtoiButSaturates) {
  using P = std::pair<const char*, int32_t>;
  const P cases[] = {{"1", 1},        {"abc", 0},          {"", 0},    {"-1", -1},  {"+7", 7},
                     {"  42xyz", 42}, {"\t\n\v\f\r 5", 5}, {"- 5", 0}, {"0x10", 0}, {"256", 256}};
  const P edges[] = {{"2147483647", INT32_MAX},           {"2147483648", INT32_MAX},
                     {"99999999999999999999", INT32_MAX}, {"-2147483648", INT32_MIN},
                     {"-2147483649", INT32_MIN},          {"-99999999999999999999", INT32_MIN}};
  for (const auto& [text, want] : cases)
    EXPECT_EQ(parse_netnum(text), want) << text;
  for (const auto& [text, want] : edges)
    EXPECT_EQ(parse_netnum(text), want) << text;
}

}  // namespace
}  // namespace korvel
