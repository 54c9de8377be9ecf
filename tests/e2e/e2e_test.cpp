// The real programs end to end: build/korvel against build/zemlot-sim on a pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kEnv = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TZ=UTC"};
const std::string kRule = std::string(79, '-') + "\n";
const std::string B53 = std::string(53, ' ') + "\r";
const std::string B63 = std::string(63, ' ') + "\r";
const std::string B78 = std::string(78, ' ') + "\r";

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    sim_.reset();
    fs::remove_all(dir_);
  }

  // A container made by the container tool from `size` bytes of a fixed pattern.
  std::string make_container(size_t size, const std::string& name = "boot.cct") {
    image_.assign(size, '\0');
    for (size_t i = 0; i < size; ++i)
      image_[i] = static_cast<char>((i * 29 + 5) & 0xFF);
    const std::string in = dir_ + "/image.bin", out = dir_ + "/" + name;
    std::ofstream(in, std::ios::binary) << image_;
    Child cct({CCT_PATH, "make", "--in", in, "--out", out, "--time", "1765051182"}, kEnv);
    EXPECT_EQ(cct.wait(10000), 0) << cct.err;
    return out;
  }

  // Starts the emulator; returns the terminal it plays the device on.
  std::string start_sim(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {ZEMLOT_SIM_PATH, "--dump", dir_ + "/flash.bin"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<Child>(argv, kEnv);
    return sim_->read_line(5000);
  }

  std::string stop_sim() {
    sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->wait(5000), 0);
    return sim_->out;
  }

  std::string dir_;
  std::string image_;
  std::unique_ptr<Child> sim_;
};

std::string report(const std::string& path, size_t payload, int blocks, int pages,
                   const std::string& crc) {
  const std::string size = std::to_string(payload + 64), bin = std::to_string(payload);
  return "Открываем криптоконтейнер .cct \n"
         "Размер " +
         path + " файла: " + size + "     Размер вложенного firmware.bin файла: " + bin +
         "\n"
         "Прочитано из " +
         path + ": " + size + "     Прочитано из firmware.bin: " + bin +
         "\n"
         "Файл .cct: создан Sat Dec 06 19:59:42 2025\n"
         "Версия программы-создателя криптоконтейнера Tessaro: 1\n"
         "\nРассчитана контрольная сумма файла firmware.bin (CRC-32-0x4c11DB7): " +
         crc +
         "\n"
         "Контрольная сумма совпала\n"
         "Приготовлено для загрузки " +
         std::to_string(blocks) +
         " блоков по 8 байт\n"
         "Необходимо стереть " +
         std::to_string(pages) + " страниц\n" + kRule;
}

std::string banner(const std::string& port, bool prog) {
  return "Открываем СОМ порт... \nОК\n"
         "                                      Set font Lucida Console - 16 for russian!\n" +
         kRule +
         "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!\n"
         "Программа - загрузчик Korvel-K1 V2.0\n"
         "Loader: Port " +
         port + "; Speed 9600; 8N1\n" +
         (prog ? "Читаем информацию о приборе и программируем\n"
               : "Только читаем информацию о приборе\n") +
         kRule;
}

const std::string kIdentification =
    "Идет поиск бутлоадера (0)\r"
    "Бутлоадер был найден и активирован\n"
    "Идет запрос версии бутлоадера (1)\r" +
    B53 +
    "Версия бутлоадера 2\n"
    "Идет запрос версии шифроключа (2)\r" +
    B53 + "Версия шифроключа 3\n";
const std::string kClosing =
    "Закрываю криптоконтейнер\nКриптоконтейнер закрыт\nПрограмма закрыта\n";

// The payload's CRC-32 as the container tool printed it into the header (cct info).
std::string stored_crc(const std::string& container) {
  Child info({CCT_PATH, "info", container}, kEnv);
  info.wait(10000);
  const std::string key = "crc_BIN: 0x";
  const size_t at = info.out.find(key);
  std::string hex = info.out.substr(at + key.size(), 8);
  hex.erase(0, hex.find_first_not_of('0'));
  return hex.empty() ? "0" : hex;
}

TEST_F(EndToEnd, UsageWithThreeArguments) {
  Child k({KORVEL_PATH, "COM3", "1", "boot.cct"}, kEnv);
  EXPECT_EQ(k.wait(5000), 0);
  EXPECT_EQ(k.out,
            "Set font Lucida Console - 16 for russian!\n"
            "Korvel-K1 loader\n"
            "ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!\n"
            "Скорость обмена фиксированная - 9600;\n"
            "usage: " KORVEL_PATH
            " <port> <netnum> <file> <directive>\n"
            "<port>  -     номер порта, например COM1\n"
            "<netnum>  -   номер устройства, 1 (всегда)\n"
            "<file> -      файл криптоконтейнер, например boot.cct\n"
            "<directive> - P - программировать устройство\n"
            "              I - только считывание информации о устройстве\n"
            "Example:   Korvel COM3 1 boot.cct P\n");
  EXPECT_EQ(k.err, "");
}

TEST_F(EndToEnd, InformationRun) {
  const std::string cct = make_container(1000);
  const std::string pty = start_sim();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;
  Child k({KORVEL_PATH, pty, "1", cct, "I"}, kEnv);
  EXPECT_EQ(k.wait(20000), 0);
  EXPECT_EQ(k.out, banner(pty, false) + report(cct, 1000, 125, 1, stored_crc(cct)) +
                       kIdentification + "Информация получена успешно\n" + kRule + kClosing);
  EXPECT_EQ(k.err, "Закрываю СОМ порт... OK\n");
  const std::string summary = stop_sim();
  EXPECT_NE(summary.find("commands: activate 1, get_blid 1, get_keyid 1, unblock_flash 0"),
            std::string::npos)
      << summary;
}

TEST_F(EndToEnd, ProgrammingRunOf1KB) {
  const std::string cct = make_container(1024);
  const std::string pty = start_sim();
  Child k({KORVEL_PATH, pty, "1", cct, "P"}, kEnv);
  k.write_input("Y\n");
  k.close_input();
  const long long t0 = now_ms();
  EXPECT_EQ(k.wait(60000), 0);
  const long long took = now_ms() - t0;

  std::string blocks;
  for (int b = 0; b < 128; ++b) {
    char line[64];
    std::snprintf(line, sizeof line, "Блок %d записан (0x%X)\r", b, 0x08001000u + 8u * b);
    blocks += B63 + line;
  }
  const std::string tail_start = "Контрольная сумма совпала\n" + kRule +
                                 "Переключаем выполнение кода на пользовательскую программу\n";
  const std::string want_head =
      banner(pty, true) + report(cct, 1024, 128, 1, stored_crc(cct)) + kIdentification +
      "Информация получена успешно, программирование возможно\n"
      "Для программирования введите Y, для выхода N  " +
      kRule +
      "\nРазблокируем flash память для стирания и записи\n"
      "Снимаем блокировку (3)\r"
      "Блокировка успешно снята\n"
      "Начинаем стирать 1 страниц flash (старт:0x8001000; 4 страница)\n" +
      B53 + "Стираем страницу(4)\r" + B53 + "Страница 4 стерта\r" + B53 + "Страница 5 стерта\r" +
      B78 +
      "Все страницы стерты(конец:0x80017ff)\n"
      "[0<-Zemlot->3][4<-чисто->4][5<-резерв->63]\n" +
      blocks + B63 + "Все блоки записаны\n" + kRule +
      "Идет считывание CRC-32 расшифрованного образа(6)\r"
      "Получена контрольная сумма расшифрованногo файла firmware.bin (CRC-32-0x4c11DB7): ";
  ASSERT_GE(k.out.size(), want_head.size());
  EXPECT_EQ(k.out.substr(0, want_head.size()), want_head);
  EXPECT_NE(k.out.find(tail_start + "Идет выдача команды на переход (7)\r" + B53 +
                       "Подтверждение получено\n" + kRule + kClosing),
            std::string::npos)
      << k.out.substr(want_head.size());
  EXPECT_EQ(k.err, "Закрываю СОМ порт... OK\n");

  const std::string summary = stop_sim();
  EXPECT_NE(summary.find("blocks written: 128\n"), std::string::npos) << summary;
  EXPECT_NE(summary.find("pages erased: 1 (erase commands: 2)\n"), std::string::npos);
  EXPECT_NE(summary.find("application started: yes\n"), std::string::npos);
  const std::string flash = read_file(dir_ + "/flash.bin");
  ASSERT_EQ(flash.size(), 65536u);
  EXPECT_EQ(flash.substr(0x1000, 1024), image_) << "the device holds the plain image";
  // The documented pauses are a floor: 128 blocks of 69 ms, 8 engine exchanges of 98 + 21 ms,
  // 100 ms before the answer and 2000 ms at the end.
  EXPECT_GE(took, 128 * 69 + 8 * (98 + 21) + 100 + 2000);
}

TEST_F(EndToEnd, AnswersThatEndTheRunWithoutProgramming) {
  struct Case {
    const char* name;
    const char* input;
  };
  const Case cases[] = {{"N", "N\n"}, {"end of input", ""}};
  const std::string cct = make_container(64);
  const std::string pty = start_sim();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Child k({KORVEL_PATH, pty, "1", cct, "P"}, kEnv);
    k.write_input(c.input);
    k.close_input();
    EXPECT_EQ(k.wait(20000), 0);
    const std::string tail = "Для программирования введите Y, для выхода N  " + kRule + kClosing;
    ASSERT_GE(k.out.size(), tail.size());
    EXPECT_EQ(k.out.substr(k.out.size() - tail.size()), tail);
  }
  const std::string summary = stop_sim();
  EXPECT_NE(summary.find("unblock_flash 0, erase_page 0, write_block 0"), std::string::npos)
      << summary;
}

TEST_F(EndToEnd, SecondLoaderOnTheSamePortIsRefused) {
  const std::string cct = make_container(64);
  const std::string pty = start_sim();
  Child first({KORVEL_PATH, pty, "1", cct, "P"}, kEnv);
  // Wait until the first loader sits at the prompt, holding the port.
  const long long deadline = now_ms() + 10000;
  while (first.out.find("выхода N  ") == std::string::npos && now_ms() < deadline) {
    first.read_line(100);
  }
  Child second({KORVEL_PATH, pty, "1", cct, "I"}, kEnv);
  EXPECT_EQ(second.wait(10000), 1);
  EXPECT_EQ(second.out, "Открываем СОМ порт... \nошибка\n");
  EXPECT_EQ(second.err, "");
  first.write_input("N\n");
  first.close_input();
  EXPECT_EQ(first.wait(10000), 0);
  // Once the first has let go, the port can be had again.
  Child third({KORVEL_PATH, pty, "1", cct, "I"}, kEnv);
  EXPECT_EQ(third.wait(20000), 0);
}

TEST_F(EndToEnd, PortFailures) {
  struct Case {
    const char* name;
    std::string port;
    std::string out, err;
  };
  const std::string regular = dir_ + "/not-a-tty";
  std::ofstream(regular) << "x";
  const Case cases[] = {
      {"missing port", dir_ + "/no-such-tty", "Открываем СОМ порт... \nошибка\n", ""},
      {"not a terminal", regular, "Открываем СОМ порт... \nОК\n", "Error getting device state\n"},
  };
  const std::string cct = make_container(64);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Child k({KORVEL_PATH, c.port, "1", cct, "I"}, kEnv);
    EXPECT_EQ(k.wait(10000), 1);
    EXPECT_EQ(k.out, c.out);
    EXPECT_EQ(k.err, c.err);
  }
}

}  // namespace
}  // namespace korvel::testing
