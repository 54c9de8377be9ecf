#include "container/container.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture_console.h"
#include "lib/crc32.h"

namespace korvel {
namespace {

using testing::CaptureConsole;
namespace fs = std::filesystem;

const std::string kRule = std::string(79, '-') + "\n";

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/korvel-container-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // A container whose header carries the given fields and the payload's true CRC-32,
  // unless crc_bin overrides it.
  std::string make(const std::vector<uint8_t>& payload, uint32_t version, int32_t time,
                   const uint32_t* crc_bin = nullptr) {
    std::vector<uint8_t> file(sizehead, 0);
    ContainerHeader h;
    h.creator_version = version;
    h.crc_decrypted = 0x12345678u;
    h.crc_BIN = crc_bin ? *crc_bin : crc32(payload.data(), static_cast<uint32_t>(payload.size()));
    h.UNIXtimestamp = time;
    encode_header(h, file.data());
    file.insert(file.end(), payload.begin(), payload.end());
    return write_file("boot.cct", file);
  }

  std::string dir_;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%x", v);
  return b;
}

TEST_F(ContainerTest, SoundContainersReportSizesCountsAndTime) {
  struct Case {
    size_t payload;
    uint32_t blocks, pages;
  };
  const Case cases[] = {{0, 0, 0}, {16, 2, 1}, {20, 2, 1}, {1024, 128, 1}, {1032, 129, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    const auto payload = pattern(c.payload);
    const std::string path = make(payload, 7, 1765051182);
    const uint32_t crc = crc32(payload.data(), static_cast<uint32_t>(payload.size()));
    const std::string size = std::to_string(c.payload + 64), bin = std::to_string(c.payload);
    CaptureConsole con;
    Container ct;
    Verdict v = Verdict::Bad;
    ASSERT_EQ(load_container(con, path.c_str(), ct, v), 0);
    EXPECT_EQ(v, Verdict::Good);
    EXPECT_EQ(con.out,
              "Открываем криптоконтейнер .cct \n"
              "Размер " +
                  path + " файла: " + size + "     Размер вложенного firmware.bin файла: " + bin +
                  "\n"
                  "Прочитано из " +
                  path + ": " + size + "     Прочитано из firmware.bin: " + bin +
                  "\n"
                  "Файл .cct: создан Sat Dec 06 19:59:42 2025\n"
                  "Версия программы-создателя криптоконтейнера Tessaro: 7\n"
                  "\nРассчитана контрольная сумма файла firmware.bin (CRC-32-0x4c11DB7): " +
                  hex(crc) +
                  "\n"
                  "Контрольная сумма совпала\n"
                  "Приготовлено для загрузки " +
                  std::to_string(c.blocks) +
                  " блоков по 8 байт\n"
                  "Необходимо стереть " +
                  std::to_string(c.pages) + " страниц\n" + kRule);
    EXPECT_EQ(ct.numloadblocs, c.blocks);
    EXPECT_EQ(ct.numpageerase, c.pages);
    EXPECT_EQ(ct.crc_decrypted(), 0x12345678u);
    ASSERT_EQ(ct.sizefile_bin, c.payload);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), ct.buff_BIN));

    CaptureConsole closing;
    release_container(closing, ct);
    EXPECT_EQ(closing.out, "Закрываю криптоконтейнер\nКриптоконтейнер закрыт\n");
  }
}

TEST_F(ContainerTest, KnownPayloadChecksum) {
  std::vector<uint8_t> payload(16);
  for (int i = 0; i < 16; ++i)
    payload[i] = static_cast<uint8_t>(i);
  const std::string path = make(payload, 1, 0);
  CaptureConsole con;
  Container ct;
  Verdict v;
  ASSERT_EQ(load_container(con, path.c_str(), ct, v), 0);
  EXPECT_NE(con.out.find("(CRC-32-0x4c11DB7): cecee288\n"), std::string::npos);
}

TEST_F(ContainerTest, WrongStoredChecksumIsReportedNotFatal) {
  const auto payload = pattern(24);
  const uint32_t wrong = 0xDEADBEEFu;
  const std::string path = make(payload, 0x80000001u, -1, &wrong);
  CaptureConsole con;
  Container ct;
  Verdict v = Verdict::Good;
  ASSERT_EQ(load_container(con, path.c_str(), ct, v), 0);
  EXPECT_EQ(v, Verdict::Bad);
  const std::string tail =
      "Файл .cct: создан Wed Dec 31 23:59:59 1969\n"
      "Версия программы-создателя криптоконтейнера Tessaro: -2147483647\n"
      "\nРассчитана контрольная сумма файла firmware.bin (CRC-32-0x4c11DB7): " +
      hex(crc32(payload.data(), 24)) + "\n" + kRule +
      "Контрольная сумма не совпала! Проверьте целостность файла " + path + "!\n" + kRule;
  ASSERT_GE(con.out.size(), tail.size());
  EXPECT_EQ(con.out.substr(con.out.size() - tail.size()), tail);
  EXPECT_EQ(ct.numloadblocs, 0u) << "counts are not computed for a bad container";
}

TEST_F(ContainerTest, ShortFilesFailTheAllocationOfThePayload) {
  struct Case {
    size_t size;
    const char* wrapped;
  };
  const Case cases[] = {{10, "4294967242"}, {0, "4294967232"}, {63, "4294967295"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string path = write_file("short.cct", std::vector<uint8_t>(c.size, 0xAB));
    CaptureConsole con;
    Container ct;
    Verdict v;
    EXPECT_EQ(load_container(con, path.c_str(), ct, v), 2);
    EXPECT_EQ(con.out, "Открываем криптоконтейнер .cct \nРазмер " + path +
                           " файла: " + std::to_string(c.size) +
                           "     Размер вложенного firmware.bin файла: " + c.wrapped +
                           "\nError malloc firmware.bin file!\n");
  }
}

TEST_F(ContainerTest, HugeFileIsRefusedWithoutAllocating) {
  const std::string path = dir_ + "/huge.cct";
  { std::ofstream(path).put('x'); }
  fs::resize_file(path, (uint64_t{1} << 32) + 100);  // sparse: costs no disk
  CaptureConsole con;
  Container ct;
  Verdict v;
  EXPECT_EQ(load_container(con, path.c_str(), ct, v), 2);
  EXPECT_EQ(con.out, "Открываем криптоконтейнер .cct \nРазмер " + path +
                         " файла: 4294967396     Размер вложенного firmware.bin файла: "
                         "4294967332\nError malloc .cct file !\n");
  EXPECT_EQ(ct.buff_CCT, nullptr);
}

TEST_F(ContainerTest, BytesTheFileDoesNotDeliverAreZero) {
  // A /sys file claims a page and delivers a few bytes, as a file shrinking under the loader
  // would. Memory that held other bytes is what the loader would otherwise see.
  const char* path = "/sys/devices/system/cpu/online";
  const auto size = static_cast<size_t>(fs::file_size(path));
  std::ifstream in(path, std::ios::binary);
  std::string file{std::istreambuf_iterator<char>(in), {}};
  ASSERT_LT(file.size(), sizehead);
  file.resize(size, '\0');
  CaptureConsole con;
  Container ct;
  Verdict v;
  {
    std::vector<uint8_t> used(8 * size, 0xA5);
    (void)crc32(used.data(), static_cast<uint32_t>(used.size()));
  }
  ASSERT_EQ(load_container(con, path, ct, v), 0);
  const auto* payload = reinterpret_cast<const uint8_t*>(file.data()) + sizehead;
  EXPECT_NE(con.out.find("(CRC-32-0x4c11DB7): " +
                         hex(crc32(payload, static_cast<uint32_t>(size - sizehead))) + "\n"),
            std::string::npos)
      << con.out;
}

TEST_F(ContainerTest, LargeFileIsHeldOnce) {
  // 64 MiB: one copy of the file, not a second one of its payload (the peak grows by the
  // file's size and a little, under a sanitizer by an eighth more).
  const size_t size = size_t{64} << 20;
  const std::string path = dir_ + "/large.cct";
  { std::ofstream(path).put('x'); }
  fs::resize_file(path, size);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  CaptureConsole con;
  Container ct;
  Verdict v;
  ASSERT_EQ(load_container(con, path.c_str(), ct, v), 0);
  getrusage(RUSAGE_SELF, &after);
  const double grown_kib = static_cast<double>(after.ru_maxrss - before.ru_maxrss);
  EXPECT_LT(grown_kib * 1024, 1.5 * static_cast<double>(size));
}

TEST_F(ContainerTest, WhatIsNoRegularFileCannotBeOpened) {
  const std::string fifo = dir_ + "/fifo.cct";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = dir_ + "/missing.cct";
  const char* paths[] = {dir_.c_str(), fifo.c_str(), missing.c_str(), "/dev/null", ""};
  for (const char* p : paths) {
    SCOPED_TRACE(p);
    CaptureConsole con;
    Container ct;
    Verdict v;
    EXPECT_EQ(load_container(con, p, ct, v), 1);
    EXPECT_EQ(con.out, "Открываем криптоконтейнер .cct \nНе найден криптоконтейнер.cct \n");
  }
}

TEST(CreationTime, LayoutAndPlaceholder) {
  // Every weekday and month at the ends of their tables, and just past them.
  struct Case {
    int wday, mon;
    const char* want;
  };
  const Case cases[] = {
      {5, 1, "Fri Feb 09 07:05:03 2001\n"},    {0, 0, "Sun Jan 09 07:05:03 2001\n"},
      {6, 11, "Sat Dec 09 07:05:03 2001\n"},   {7, 0, "unknown date (UNIX time 5)\n"},
      {-1, 0, "unknown date (UNIX time 5)\n"}, {0, 12, "unknown date (UNIX time 5)\n"},
      {0, -1, "unknown date (UNIX time 5)\n"}};
  for (const auto& c : cases) {
    std::tm tm{};
    tm.tm_wday = c.wday;
    tm.tm_mon = c.mon;
    tm.tm_mday = 9;
    tm.tm_hour = 7;
    tm.tm_min = 5;
    tm.tm_sec = 3;
    tm.tm_year = 2001 - 1900;
    char out[64];
    format_creation_time(&tm, 5, out);
    EXPECT_STREQ(out, c.want) << c.wday << " " << c.mon;
  }
  char out[64];
  format_creation_time(nullptr, -42, out);
  EXPECT_STREQ(out, "unknown date (UNIX time -42)\n");
}

TEST_F(ContainerTest, LocalTimeIsUsed) {
  setenv("TZ", "UTC-3", 1);  // POSIX sign: three hours east
  tzset();
  const std::string path = make({}, 1, 0);
  CaptureConsole con;
  Container ct;
  Verdict v;
  ASSERT_EQ(load_container(con, path.c_str(), ct, v), 0);
  EXPECT_NE(con.out.find("создан Thu Jan 01 03:00:00 1970\n"), std::string::npos);
}

TEST_F(ContainerTest, OutputInWindows1251) {
  const std::string path = make(pattern(8), 1, 0);
  CaptureConsole con(Encoder::cp1251());
  Container ct;
  Verdict v;
  ASSERT_EQ(load_container(con, path.c_str(), ct, v), 0);
  // "Открываем" in Windows-1251, then the path exactly as given.
  EXPECT_EQ(con.out.rfind("\xCE\xF2\xEA\xF0\xFB\xE2\xE0\xE5\xEC ", 0), 0u);
  EXPECT_NE(con.out.find(" " + path + " "), std::string::npos);
  EXPECT_NE(con.out.find("\xD0\xE0\xE7\xEC\xE5\xF0 "), std::string::npos);  // "Размер"
  EXPECT_EQ(con.out.find("\xD0\xA0\xD0\xB0"), std::string::npos) << "no UTF-8 left";
}

}  // namespace
}  // namespace korvel
