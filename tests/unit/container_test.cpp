#include "container/container.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "capture_console.h"
#include "lib/crc32.h"

namespace korvel {
namespace {

using testing::CaptureConsole;
namespace fs = std::filesystem;

// Our texts, with \1, \2... standing for the path and the numbers, printed as they are.
const std::string kRule = std::string(79, '-') + "\n";
const std::string kHead =
    "Открываем криптоконтейнер .cct \nРазмер \1 файла: \2     Размер вложенного firmware.bin "
    "файла: \3\n";
const std::string kBody =
    "Прочитано из \1: \2     Прочитано из firmware.bin: \3\nФайл .cct: создан \4Версия "
    "программы-создателя криптоконтейнера Tessaro: \5\n\nРассчитана контрольная сумма файла "
    "firmware.bin (CRC-32-0x4c11DB7): \6\n";
const std::string kGood =
    "Контрольная сумма совпала\nПриготовлено для загрузки \7 блоков по 8 "
    "байт\nНеобходимо стереть \10 страниц\n" +
    kRule;
const std::string kBad =
    kRule + "Контрольная сумма не совпала! Проверьте целостность файла \1!\n" + kRule;

std::string fill(const std::string& text, const std::vector<std::string>& args, bool cp1251) {
  CaptureConsole con(cp1251 ? Encoder::cp1251() : Encoder::utf8());
  con.print(text.c_str());
  for (size_t at; (at = con.out.find_first_of("\1\2\3\4\5\6\7\10")) != std::string::npos;)
    con.out.replace(at, 1, args.at(con.out[at] - 1));
  return con.out;
}

class ContainerTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }
  int load(const std::string& path, bool cp1251 = false) {
    CaptureConsole con(cp1251 ? Encoder::cp1251() : Encoder::utf8());
    ct_ = {};
    const int rc = load_container(con, path.c_str(), ct_, v_);
    out_ = con.out;
    return rc;
  }

  // Not ASCII, to show that the path is printed as given whatever the console's encoding.
  const std::string dir_ = [] {
    char t[] = "/tmp/korvel-контейнер-XXXXXX";
    return std::string(mkdtemp(t));
  }();
  Container ct_;
  Verdict v_ = Verdict::Good;
  std::string out_;
};

TEST_F(ContainerTest, SoundOrWronglySummedContainersAreReported) {
  const char* kSat = "Sat Dec 06 19:59:42 2025\n";
  struct Row {
    uint32_t payload, version;
    int32_t time;
    const char *tz, *created, *crc, *blocks, *pages;
    uint32_t stored_crc;  // 0: the payload's own
    bool cp1251;
  } const rows[] = {
      {0, 7, 1765051182, "UTC", kSat, "0", "0", "0", 0, false},
      {16, 7, 1765051182, "UTC", kSat, "cecee288", "2", "1", 0, true},
      {20, 7, 0, "UTC-3", "Thu Jan 01 03:00:00 1970\n", "3bddffa4", "2", "1", 0, false},
      {1024, 7, 1765137582, "UTC", "Sun Dec 07 19:59:42 2025\n", "b70b4c26", "128", "1", 0, false},
      {1032, 7, 1765051182, "UTC", kSat, "fc383884", "129", "2", 0, false},
      {24, 0x80000001u, -1, "UTC", "Wed Dec 31 23:59:59 1969\n", "8295a696", "", "", 1, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.payload);
    ASSERT_EQ(setenv("TZ", r.tz, 1), 0);
    tzset();
    std::vector<uint8_t> file(sizehead + r.payload);
    std::iota(file.begin() + sizehead, file.end(), uint8_t{0});
    const uint32_t crc = r.stored_crc ? r.stored_crc : crc32(file.data() + sizehead, r.payload);
    encode_header({r.version, 0x12345678u, crc, r.time}, file.data());
    const std::string path = dir_ + "/boot.cct";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<char*>(file.data()), file.size());
    ASSERT_EQ(load(path, r.cp1251), 0);
    EXPECT_EQ(out_,
              fill(kHead + kBody + (r.stored_crc ? kBad : kGood),
                   {path, std::to_string(file.size()), std::to_string(r.payload), r.created,
                    std::to_string(static_cast<int32_t>(r.version)), r.crc, r.blocks, r.pages},
                   r.cp1251));
    EXPECT_EQ(v_, r.stored_crc ? Verdict::Bad : Verdict::Good);
    EXPECT_EQ(ct_.crc_decrypted(), 0x12345678u);
  }
}

TEST_F(ContainerTest, EdgeFilesAreRefused) {
  // Too short for a header (the payload's size wraps), or too large (sparse: costs no disk).
  const std::string f = dir_ + "/f.cct", kNoPayload = "Error malloc firmware.bin file!\n";
  const int64_t kHuge = (int64_t{1} << 32) + 100;
  const std::tuple<int64_t, const char*, std::string> rows[] = {
      {0, "4294967232", kNoPayload},
      {10, "4294967242", kNoPayload},
      {63, "4294967295", kNoPayload},
      {kHuge, "4294967332", "Error malloc .cct file !\n"}};
  for (const auto& [size, payload, tail] : rows) {
    std::ofstream(f).close();
    fs::resize_file(f, static_cast<uint64_t>(size));
    ASSERT_EQ(load(f), 2) << size;
    EXPECT_EQ(out_, fill(kHead, {f, std::to_string(size), payload}, false) + tail);
  }
  EXPECT_EQ(ct_.buff_CCT, nullptr) << "allocated for a huge file";
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {dir_, dir_ + "/fifo", dir_ + "/missing", std::string("/dev/null"), std::string()}) {
    ASSERT_EQ(load(path), 1) << path;
    EXPECT_EQ(out_, "Открываем криптоконтейнер .cct \nНе найден криптоконтейнер.cct \n");
  }
}

TEST_F(ContainerTest, BytesTheFileDoesNotDeliverAreZero) {
  // A /sys file claims a page and delivers a few bytes, as a file shrinking under the loader
  // would. Memory that held other bytes is what the loader would otherwise see.
  const char* path = "/sys/devices/system/cpu/online";
  std::ifstream in(path, std::ios::binary);
  std::string file{std::istreambuf_iterator<char>(in), {}};
  ASSERT_LT(file.size(), sizehead);
  file.resize(fs::file_size(path), '\0');
  {
    std::vector<uint8_t> used(8 * file.size(), 0xA5);
    (void)crc32(used.data(), static_cast<uint32_t>(used.size()));
  }
  ASSERT_EQ(load(path), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ct_.buff_CCT.get()), ct_.sizefile_cct), file);
}

TEST_F(ContainerTest, LargeFileIsHeldOnce) {
  // 64 MiB: one copy of the file, not a second one of its payload (the peak grows by the
  // file's size and a little, under a sanitizer by an eighth more).
  const size_t size = size_t{64} << 20;
  std::ofstream(dir_ + "/large.cct").close();
  fs::resize_file(dir_ + "/large.cct", size);
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  ASSERT_EQ(load(dir_ + "/large.cct"), 0);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(static_cast<double>(after.ru_maxrss - before.ru_maxrss) * 1024, 1.5 * size);
}

TEST(CreationTime, PlaceholderForATimeWithoutName) {
  // Weekdays and months just past the ends of their tables, then no time at all.
  std::tm tm{};
  char out[64];
  for (const auto& [wday, mon] : {std::pair{7, 0}, {-1, 0}, {0, 12}, {0, -1}}) {
    tm.tm_wday = wday;
    tm.tm_mon = mon;
    format_creation_time(&tm, -42, out);
    EXPECT_STREQ(out, "unknown date (UNIX time -42)\n") << wday << " " << mon;
  }
  format_creation_time(nullptr, -42, out);
  EXPECT_STREQ(out, "unknown date (UNIX time -42)\n");
}

}  // namespace
}  // namespace korvel
