// Whole loader runs in virtual time against the bootloader model: exact console bytes,
// exact frames on the wire, exact pauses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "capture_console.h"
#include "container/container_format.h"
#include "frontend.h"
#include "lib/crc32.h"
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

std::vector<uint8_t> plain_image(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>((i * 13) ^ (i >> 8));
  return v;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

// One frame as "code@address" (the address only where the command has one).
std::string describe(const std::vector<uint8_t>& f) {
  const uint32_t adr = load_le32(&f[kCmdArg]);
  char b[32];
  std::snprintf(b, sizeof b, adr ? "%02x@%08x" : "%02x", f[kCmdCode], adr);
  return b;
}

struct Outcome {
  int status = -1;
  std::string dialogue;  // standard output after the container report
  std::string out, err, all;
  std::vector<Color> colors;
  std::vector<std::string> wire;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint32_t> pauses;
};

class DialogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel-dialogue-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A container of the plain image (enciphered with the model's default key), as the
  // container tool makes it; the image should be a multiple of 8 for a device CRC match.
  std::string container(const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> payload = plain;
    cipher::encipher(cipher::kDefaultKey, payload.data(), payload.size());
    std::vector<uint8_t> file(sizehead, 0);
    ContainerHeader h;
    h.creator_version = 1;
    h.crc_decrypted = crc32(plain.data(), static_cast<uint32_t>(plain.size()));
    h.crc_BIN = crc32(payload.data(), static_cast<uint32_t>(payload.size()));
    encode_header(h, file.data());
    file.insert(file.end(), payload.begin(), payload.end());
    const std::string path = dir_ + "/boot.cct";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    return path;
  }

  Outcome run(VirtualLine& line, const std::string& path, const char* directive,
              const std::string& input = "", const char* netnum = "1",
              std::unique_ptr<Encoder> enc = Encoder::utf8(), const char* pacing = nullptr) {
    CaptureConsole con(std::move(enc), input);
    Platform p{con, line, line, pacing};
    const char* argv[] = {"korvel", "VCOM1", netnum, path.c_str(), directive};
    Outcome o;
    o.status = run_loader(5, argv, p);
    o.out = con.out;
    o.err = con.err;
    o.all = con.all;
    o.colors = con.colors;
    const std::string mark = "страниц\n" + kRule;
    const size_t at = con.out.find(mark);
    if (at != std::string::npos)
      o.dialogue = con.out.substr(at + mark.size());
    for (const auto& f : line.frames_written())
      o.wire.push_back(describe(f));
    o.frames = line.frames_written();
    o.pauses = line.pauses();
    return o;
  }

  std::string dir_;
};

std::string identification(int blid = 2, int key = 3) {
  return "Идет поиск бутлоадера (0)\r"
         "Бутлоадер был найден и активирован\n"
         "Идет запрос версии бутлоадера (1)\r" +
         B53 + "Версия бутлоадера " + std::to_string(blid) +
         "\n"
         "Идет запрос версии шифроключа (2)\r" +
         B53 + "Версия шифроключа " + std::to_string(key) + "\n";
}

const std::string kPrompt =
    "Информация получена успешно, программирование возможно\n"
    "Для программирования введите Y, для выхода N  ";
const std::string kUnlocking = kRule + "\nРазблокируем flash память для стирания и записи\n";

TEST_F(DialogueTest, InformationRun) {
  VirtualLine line({});
  const Outcome o = run(line, container(plain_image(16)), "I");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.dialogue, identification() + "Информация получена успешно\n" + kRule + kClosingOut);
  EXPECT_EQ(o.err, kClosingErr);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"01", "10", "11"}));
  EXPECT_EQ(o.pauses, (std::vector<uint32_t>{98, 21, 98, 21, 98, 21, 2000}));
  EXPECT_FALSE(line.is_open());
  EXPECT_EQ(line.baud(), 9600);
  // The port closes before the container is released.
  EXPECT_LT(o.all.find("[err:OK\n]"), o.all.find("Закрываю криптоконтейнер"));
}

TEST_F(DialogueTest, ProgrammingRunOfTwoBlocks) {
  const auto image = plain_image(16);
  VirtualLine line({});
  const Outcome o = run(line, container(image), "P", "Y\n");
  const uint32_t crc = crc32(image.data(), 16);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.dialogue, identification() + kPrompt + kUnlocking + "Снимаем блокировку (3)\r" +
                            "Блокировка успешно снята\n"
                            "Начинаем стирать 1 страниц flash (старт:0x8001000; 4 страница)\n" +
                            B53 + "Стираем страницу(4)\r" + B53 + "Страница 4 стерта\r" + B53 +
                            "Страница 5 стерта\r" + B78 +
                            "Все страницы стерты(конец:0x80017ff)\n"
                            "[0<-Zemlot->3][4<-чисто->4][5<-резерв->63]\n" +
                            B63 + "Блок 0 записан (0x8001000)\r" + B63 +
                            "Блок 1 записан (0x8001008)\r" + B63 + "Все блоки записаны\n" + kRule +
                            "Идет считывание CRC-32 расшифрованного образа(6)\r"
                            "Получена контрольная сумма расшифрованногo файла firmware.bin "
                            "(CRC-32-0x4c11DB7): " +
                            hex(crc) +
                            "\n"
                            "Контрольная сумма совпала\n" +
                            kRule +
                            "Переключаем выполнение кода на пользовательскую программу\n"
                            "Идет выдача команды на переход (7)\r" +
                            B53 + "Подтверждение получено\n" + kRule + kClosingOut);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"01", "10", "11", "02", "03@08001000", "03@08001000",
                                              "04@08001000", "04@08001008", "05@08001000", "06"}));
  EXPECT_EQ(o.pauses, (std::vector<uint32_t>{98, 21, 98, 21, 98, 21, 100, 98, 21, 98,
                                             21, 98, 21, 69, 69, 98, 21,  98, 21, 2000}));
  EXPECT_EQ(o.colors, (std::vector<Color>{Color::Grey, Color::Green}));
  // The device holds the image and was told to start it.
  const auto s = line.model().summary();
  EXPECT_TRUE(s.app_started);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), line.model().flash().begin() + 0x1000));
  // GET_CRC carries the payload size in bytes 11 to 14; bytes 7 to 10 keep block 1's start.
  const auto& crc_frame = line.frames_written().at(8);
  EXPECT_EQ(load_le32(&crc_frame[11]), 16u);
  const auto& block1 = line.frames_written().at(7);
  EXPECT_TRUE(std::equal(block1.begin() + 7, block1.begin() + 11, crc_frame.begin() + 7));
  // GOTO keeps the size too: data bytes nobody assigned keep what they held.
  EXPECT_EQ(load_le32(&line.frames_written().at(9).at(11)), 16u);
}

// The same device on another kind of line, or paced by its replies: everything the operator
// and the device see is the same as in the reference run, byte for byte.
TEST_F(DialogueTest, SameRunOnAnotherLineOrPacing) {
  struct Side {
    bool echo = false;
    const char* pacing = nullptr;  // KORVEL_PACING
    zemlot::Faults faults{};
    std::map<uint8_t, uint32_t> work_ms{};
  };
  enum class Time { Same, Shorter, Any };  // pauses the same, or the time far shorter
  struct Case {
    const char* name;
    int32_t netnum;
    size_t image;
    const char* directive;
    Side run, ref;
    std::string shows;  // in both runs' output: the case did what it is about
    Time time = Time::Same;
    std::string err_first{};  // what the run alone prints first, on standard error
  };
  zemlot::Faults refused_erase, lost_block_reply;
  refused_erase.refuse = {{CMD_ERASE_PAGE, 2, 0xE7}};
  lost_block_reply.drop_reply = {8};
  const std::map<uint8_t, uint32_t> slow = {{CMD_ERASE_PAGE, 90}, {CMD_WRITE_BLOCK, 60}};
  const std::map<uint8_t, uint32_t> too_slow = {{CMD_WRITE_BLOCK, 100}};
  const std::string done = "Подтверждение получено\n";
  const Case cases[] = {
      {"echo, information", 1, 16, "I", {true}, {}, "Информация получена успешно\n"},
      {"echo, programming", 1, 64, "P", {true}, {}, done},
      // 19 and 17 are the flow-control characters XOFF and XON.
      {"echo, netnum 19, refused erase",
       19,
       3000,
       "P",
       {true, nullptr, refused_erase},
       {false, nullptr, refused_erase},
       "Ошибка стирания E7\n"},
      {"echo, reply lost after it",
       1,
       64,
       "P",
       {true, nullptr, lost_block_reply},
       {false, nullptr, lost_block_reply},
       "Ошибка контр. суммы в блоке 1\n"},
      // With netnum 25 the reply to CMD_ACTIVATE is the first seven bytes of its frame.
      {"echo, reply beginning like the frame", 25, 16, "I", {true}, {}, "Версия бутлоадера 2\n"},
      {"reply pacing, programming", 1, 64, "P", {false, "reply"}, {}, done, Time::Shorter},
      {"reply pacing, echo", 1, 64, "P", {true, "reply"}, {}, done, Time::Shorter},
      {"reply pacing, 90 ms an erase and 60 ms a block",
       1,
       64,
       "P",
       {false, "reply", {}, slow},
       {},
       done,
       Time::Any},
      {"a block answered after the documented limit",
       1,
       64,
       "P",
       {false, "reply", {}, too_slow},
       {false, nullptr, {}, too_slow},
       "Ошибка контр. суммы в блоке 0\n",
       Time::Any},
      {"pacing spec", 1, 16, "I", {false, "spec"}, {}, "Информация получена успешно\n"},
      {"pacing empty", 1, 16, "I", {false, ""}, {}, "Информация получена успешно\n"},
      {"pacing unknown",
       1,
       16,
       "I",
       {false, "Reply"},
       {},
       "Информация получена успешно\n",
       Time::Same,
       "KORVEL_PACING: unknown value 'Reply', the documented pauses are kept\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = container(plain_image(c.image));
    const std::string netnum = std::to_string(c.netnum);
    Outcome o[2];
    uint64_t us[2];
    for (int i = 0; i < 2; ++i) {
      const Side& side = i == 0 ? c.run : c.ref;
      zemlot::Options opts;
      opts.netnum = c.netnum;
      opts.faults = side.faults;
      opts.work_ms = side.work_ms;
      VirtualLine line(opts);
      line.echo(side.echo);
      o[i] = run(line, path, c.directive, "Y\n", netnum.c_str(), Encoder::utf8(), side.pacing);
      us[i] = line.now_us();
      EXPECT_NE(o[i].out.find(c.shows), std::string::npos) << o[i].out;
    }
    EXPECT_EQ(o[0].status, o[1].status);
    EXPECT_EQ(o[0].out, o[1].out);
    EXPECT_EQ(o[0].err, c.err_first + o[1].err);
    if (!c.err_first.empty()) {
      EXPECT_EQ(o[0].all.rfind("[err:" + c.err_first, 0), 0u) << o[0].all;
    }
    EXPECT_EQ(o[0].frames, o[1].frames);
    if (c.time == Time::Same) {
      EXPECT_EQ(o[0].pauses, o[1].pauses);
    }
    // Both end with the answer's 100 ms and the last 2000 ms.
    if (c.time == Time::Shorter) {
      EXPECT_LT(us[0] - 2100000, (us[1] - 2100000) * 4 / 10) << us[0] << " us against " << us[1];
    }
  }
}

TEST_F(DialogueTest, OperatorAnswers) {
  struct Case {
    const char* name;
    std::string input;
    size_t keyid_exchanges;  // CMD_GET_KEYID frames on the wire
    bool programs;
  };
  const Case cases[] = {
      {"N", "N\n", 1, false},
      {"end of input", "", 1, false},
      {"lower-case y then N", "y\nN\n", 2, false},
      {"YES, empty line, then Y", "YES\n\nY\n", 2, true},
      {"Y with CRLF", "Y\r\n", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualLine line({});
    const Outcome o = run(line, container(plain_image(8)), "P", c.input);
    EXPECT_EQ(o.status, 0);
    size_t keyids = 0;
    for (const auto& w : o.wire)
      keyids += w == "11";
    EXPECT_EQ(keyids, c.keyid_exchanges);
    EXPECT_EQ(line.model().summary().app_started, c.programs);
    if (!c.programs) {
      EXPECT_EQ(o.dialogue, identification() + kPrompt + kRule + kClosingOut);
      EXPECT_EQ(o.wire.size(), 2 + c.keyid_exchanges);
    }
  }
}

TEST_F(DialogueTest, AnswerThatIsNeitherRepeatsOneKeyExchangeThenWaitsQuietly) {
  VirtualLine line({});
  const Outcome o = run(line, container(plain_image(8)), "P", "x\nyes\nmaybe\nN\n");
  EXPECT_EQ(o.wire, (std::vector<std::string>{"01", "10", "11", "11"}));
  // Each answer read is preceded by 100 ms; only the first repeat exchanges frames.
  EXPECT_EQ(o.pauses,
            (std::vector<uint32_t>{98, 21, 98, 21, 98, 21, 100, 98, 21, 100, 100, 100, 2000}));
}

// Erase phase: pages and texts for several image sizes, with and without refusals.
TEST_F(DialogueTest, ErasePhase) {
  struct Case {
    const char* name;
    size_t image;
    std::vector<zemlot::Refusal> refuse;
    std::vector<uint32_t> pages;  // erase commands on the wire, by page
    std::string end_text;         // completion line, "" when no erase completes
  };
  const Case cases[] = {
      {"one page",
       8,
       {},
       {4, 4},
       "Все страницы стерты(конец:0x80017ff)\n[0<-Zemlot->3][4<-чисто->4][5<-резерв->63]\n"},
      {"three pages, third refused",
       3000,
       {{CMD_ERASE_PAGE, 3, 0xE7}},
       {4, 4, 5, 5, 5, 6},
       "Все страницы стерты(конец:0x8001fff)\n[0<-Zemlot->3][4<-чисто->6][7<-резерв->63]\n"},
      {"three pages, first refused twice",
       3000,
       {{CMD_ERASE_PAGE, 1, 0xE7}, {CMD_ERASE_PAGE, 2, 0xE7}},
       {4, 4, 4, 4, 5, 6},
       "Все страницы стерты(конец:0x8001fff)\n[0<-Zemlot->3][4<-чисто->6][7<-резерв->63]\n"},
      {"sixty pages",
       60 * 1024,
       {},
       {},
       "Все страницы стерты(конец:0x80103ff)\n[0<-Zemlot->3][4<-чисто->63][64<-резерв->63]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zemlot::Options opts;
    opts.faults.refuse = c.refuse;
    VirtualLine line(opts);
    const Outcome o = run(line, container(plain_image(c.image)), "P", "Y\n");
    EXPECT_EQ(o.status, 0);
    std::vector<uint32_t> pages;
    for (const auto& f : line.frames_written()) {
      if (f[kCmdCode] == CMD_ERASE_PAGE)
        pages.push_back((load_le32(&f[kCmdArg]) - FLASH_BASE) / 1024);
    }
    if (!c.pages.empty()) {
      EXPECT_EQ(pages, c.pages);
    }
    EXPECT_NE(o.dialogue.find(B78 + c.end_text), std::string::npos);
    // Every page the image lands in was erased before any block went out.
    const uint32_t need = pages_needed(static_cast<uint32_t>(c.image));
    EXPECT_EQ(line.model().summary().pages_erased, need);
    EXPECT_TRUE(line.model().summary().app_started);
  }
}

TEST_F(DialogueTest, RefusedEraseShowsTheDeviceCode) {
  zemlot::Options opts;
  opts.faults.refuse = {{CMD_ERASE_PAGE, 3, 0xE7}};
  VirtualLine line(opts);
  const Outcome o = run(line, container(plain_image(3000)), "P", "Y\n");
  EXPECT_NE(o.dialogue.find(B53 + "Страница 5 стерта\r" + B53 + "Ошибка стирания E7\n" + B53 +
                            "Страница 5 стерта\r"),
            std::string::npos);
}

TEST_F(DialogueTest, ImagesThatCannotBeWrittenEraseNothing) {
  const std::pair<size_t, std::string> cases[] = {
      {60 * 1024 + 8, "Начинаем стирать 61 страниц flash (старт:0x8001000; 4 страница)\n" + B57 +
                          "Ошибка стирания 3 - превышен допустимый диапазон страниц\n"},
      {0, "Начинаем стирать 0 страниц flash (старт:0x8001000; 4 страница)\n" + B57 +
              "Ошибка стирания 3 - нет блоков для записи\n"},
      {7, "Начинаем стирать 1 страниц flash (старт:0x8001000; 4 страница)\n" + B57 +
              "Ошибка стирания 3 - нет блоков для записи\n"},
  };
  for (const auto& [size, text] : cases) {
    SCOPED_TRACE(size);
    VirtualLine line({});
    const Outcome o = run(line, container(plain_image(size)), "P", "Y\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.dialogue.find(text + kRule + kClosingOut), std::string::npos) << o.dialogue;
    EXPECT_EQ(o.wire, (std::vector<std::string>{"01", "10", "11", "02"}));
    EXPECT_EQ(line.model().summary().erase_operations, 0u);
  }
}

TEST_F(DialogueTest, BlockPhaseFailures) {
  struct Case {
    const char* name;
    zemlot::Faults faults;
    std::string text;  // what ends the block phase
    uint32_t blocks_sent;
  };
  zemlot::Faults refused, dropped, other_address;
  refused.refuse = {{CMD_WRITE_BLOCK, 2, 0xE9}};
  // Frames: activate, blid, keyid, unblock, erase x2, then blocks from frame 7.
  dropped.drop_reply = {8};
  other_address.wrong_address = {7};
  const Case cases[] = {
      {"refused block", refused, B53 + "Ошибка записи E9 в блоке 1\n", 2},
      {"missing reply", dropped,
       B53 + "Ошибка контр. суммы в блоке 1\n" + B53 + "Записываем блок N 1\r", 2},
      {"reply from another address", other_address,
       B53 + "Ошибка контр. суммы в блоке 0\n" + B53 + "Записываем блок N 0\r", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zemlot::Options opts;
    opts.faults = c.faults;
    VirtualLine line(opts);
    const Outcome o = run(line, container(plain_image(64)), "P", "Y\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.dialogue.find(c.text + kRule + kClosingOut), std::string::npos) << o.dialogue;
    size_t blocks = 0;
    for (const auto& w : o.wire)
      blocks += w.rfind("04", 0) == 0;
    EXPECT_EQ(blocks, c.blocks_sent);
    EXPECT_EQ(o.wire.back().substr(0, 2), "04") << "no CRC query or jump after a failed block";
    EXPECT_FALSE(line.model().summary().app_started);
  }
}

TEST_F(DialogueTest, DeviceChecksumMismatchTurnsRedAndDoesNotStart) {
  zemlot::Options opts;
  opts.faults.crc_answer = 0x1234ABCDu;
  VirtualLine line(opts);
  const Outcome o = run(line, container(plain_image(16)), "P", "Y\n");
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.dialogue.find("(CRC-32-0x4c11DB7): 1234abcd\nКонтрольная сумма не совпала\n" + kRule +
                            kClosingOut),
            std::string::npos);
  EXPECT_EQ(o.colors, (std::vector<Color>{Color::Grey, Color::Red}));
  EXPECT_EQ(o.wire.back(), "05@08001000");
}

TEST_F(DialogueTest, SearchKeepsCountingUntilTheDeviceAnswers) {
  struct Case {
    const char* name;
    zemlot::Faults faults;
    const char* netnum;
  };
  zemlot::Faults silent, other;
  silent.silent_first = 5;
  other.wrong_address = {1, 2, 3, 4, 5};
  const Case cases[] = {{"device silent for a while", silent, "1"},
                        {"replies for another address", other, "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zemlot::Options opts;
    opts.faults = c.faults;
    VirtualLine line(opts);
    const Outcome o = run(line, container(plain_image(8)), "I", "", c.netnum);
    EXPECT_EQ(o.status, 0);
    std::string search;
    for (int i = 0; i <= 5; ++i)
      search += "Идет поиск бутлоадера (" + std::to_string(i) + ")\r";
    EXPECT_EQ(o.dialogue.rfind(search + "Бутлоадер был найден и активирован\n", 0), 0u)
        << o.dialogue;
    EXPECT_EQ(o.wire.size(), 6u + 2u);
  }
}

TEST_F(DialogueTest, PortFailuresDuringTheDialogue) {
  struct Case {
    const char* name;
    size_t fail_write, fail_read;
    int status;
    std::string out_tail, err;
  };
  const Case cases[] = {
      // The first engine command cannot be written.
      {"engine write", 1, 0, 1, "Идет поиск бутлоадера (0)\r", "Write error\n"},
      // Frame 7 is block 0: the port is gone, the run ends instead of spinning.
      {"block write", 7, 0, 1,
       "Страница 5 стерта\r" + B78 + "Все страницы стерты(конец:0x80017ff)\n" +
           "[0<-Zemlot->3][4<-чисто->4][5<-резерв->63]\n",
       "Write error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualLine line({});
    if (c.fail_write)
      line.fail_write_at(c.fail_write);
    const Outcome o = run(line, container(plain_image(16)), "P", "Y\n");
    EXPECT_EQ(o.status, c.status);
    ASSERT_GE(o.dialogue.size(), c.out_tail.size());
    EXPECT_EQ(o.dialogue.substr(o.dialogue.size() - c.out_tail.size()), c.out_tail);
    EXPECT_EQ(o.err, c.err);
    EXPECT_FALSE(line.is_open()) << "the handle is closed";
    EXPECT_TRUE(o.pauses.empty() || o.pauses.back() != 2000) << "no Finish after a fatal failure";
  }
}

TEST_F(DialogueTest, ReadFailureIsReportedAndTheCommandRepeats) {
  struct Case {
    const char* name;
    size_t fail_read;
    std::string text;
  };
  const Case cases[] = {
      {"engine read", 1, "Read error\nИдет поиск бутлоадера (0)\r"},
      // Read 7 is block 0's: nothing printed, block 0 goes out again.
      {"block read", 7, B63 + "Блок 0 записан (0x8001000)\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualLine line({});
    line.fail_read_at(c.fail_read);
    const Outcome o = run(line, container(plain_image(16)), "P", "Y\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.dialogue.find(c.text), std::string::npos) << o.dialogue;
    EXPECT_TRUE(line.model().summary().app_started);
  }
  // After a block read failure block 0 was sent twice.
  VirtualLine line({});
  line.fail_read_at(7);
  const Outcome o = run(line, container(plain_image(16)), "P", "Y\n");
  std::vector<std::string> blocks;
  for (const auto& w : o.wire) {
    if (w.rfind("04", 0) == 0)
      blocks.push_back(w);
  }
  EXPECT_EQ(blocks, (std::vector<std::string>{"04@08001000", "04@08001000", "04@08001008"}));
}

TEST_F(DialogueTest, CloseFailureEndsWithStatus1BeforeRelease) {
  VirtualLine line({});
  line.fail_close();
  const Outcome o = run(line, container(plain_image(8)), "I");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Закрываю СОМ порт... Error\n");
  EXPECT_EQ(o.out.find("Закрываю криптоконтейнер"), std::string::npos);
}

TEST_F(DialogueTest, BadContainerSendsNothing) {
  std::vector<uint8_t> file(sizehead + 8, 0x11);  // header CRC cannot match
  const std::string path = dir_ + "/bad.cct";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), 72);
  VirtualLine line({});
  CaptureConsole con;
  Platform p{con, line, line};
  const char* argv[] = {"korvel", "VCOM1", "1", path.c_str(), "P"};
  EXPECT_EQ(run_loader(5, argv, p), 0);
  EXPECT_TRUE(line.frames_written().empty());
  const std::string tail = kRule + "Контрольная сумма не совпала! Проверьте целостность файла " +
                           path + "!\n" + kRule + kRule + kClosingOut;
  ASSERT_GE(con.out.size(), tail.size());
  EXPECT_EQ(con.out.substr(con.out.size() - tail.size()), tail);
  EXPECT_EQ(line.pauses(), (std::vector<uint32_t>{2000}));
}

TEST_F(DialogueTest, KeyVersionIsASignedByteMinusAsciiZero) {
  struct Case {
    uint8_t key_version;  // the model answers 0x30 + this
    int shown;
  };
  const Case cases[] = {{3, 3}, {0, 0}, {9, 9}, {0x4F, 79}, {0x50, -176}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    zemlot::Options opts;
    opts.key_version = c.key_version;
    opts.bootloader_version = 0x80000000u;
    VirtualLine line(opts);
    const Outcome o = run(line, container(plain_image(8)), "I");
    EXPECT_NE(o.dialogue.find("Версия шифроключа " + std::to_string(c.shown) + "\n"),
              std::string::npos);
    EXPECT_NE(o.dialogue.find("Версия бутлоадера -2147483648\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace korvel
