#include "container/container.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "capture_console.h"
#include "process.h"
#include "wire/crc32.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

// Our texts, with \1, \2... standing for the path and the numbers, printed as they are.
const std::string kHead =
    "Открываем криптоконтейнер .cct \nРазмер \1 файла: \2     Размер вложенного firmware.bin "
    "файла: \3\n";
const std::string kBody =
    "Прочитано из \1: \2     Прочитано из firmware.bin: \3\nФайл .cct: создан \4Версия "
    "программы-создателя криптоконтейнера Tessaro: \5\n\nРассчитана контрольная сумма файла "
    "firmware.bin (CRC-32-0x4c11DB7): \6\nКонтрольная сумма совпала\nПриготовлено для загрузки "
    "\7 блоков по 8 байт\nНеобходимо стереть \10 страниц\n" +
    std::string(79, '-') + "\n";

std::string fill(const std::string& text, const std::vector<std::string>& args, bool cp1251) {
  testing::CaptureConsole con(cp1251 ? Encoder::cp1251() : Encoder::utf8());
  con.print(text.c_str());
  for (size_t at; (at = con.out.find_first_of("\1\2\3\4\5\6\7\10")) != std::string::npos;)
    con.out.replace(at, 1, args.at(con.out[at] - 1));
  return con.out;
}

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(fs::path(f_).parent_path()); }

  int load(const std::string& path, bool cp1251 = false) {
    testing::CaptureConsole con(cp1251 ? Encoder::cp1251() : Encoder::utf8());
    const int rc = load_container(con, path.c_str(), ct_, v_);
    out_ = con.out;
    return rc;
  }

  // Not ASCII, printed as given whatever the console's encoding; longer than a 512-byte line.
  const testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.file("контейнер");
  const std::string f_ = dir_ + "/" + std::string(250, 'd') + "/" + std::string(250, 'f');
  Container ct_;
  Verdict v_ = Verdict::Good;
  std::string out_;
};

TEST_F(ContainerTest, SoundContainersAreReported) {
  struct Row {
    int32_t payload, version, time;
    const char *tz, *created, *crc, *blocks, *pages;
    bool cp1251;
  } const rows[] = {
      {0, 7, 1765051182, "UTC", "Sat Dec 06 19:59:42 2025\n", "0", "0", "0", false},
      {20, 7, 0, "UTC-3", "Thu Jan 01 03:00:00 1970\n", "3bddffa4", "2", "1", false},
      {1032, 7, 1765051182, "UTC", "Sat Dec 06 19:59:42 2025\n", "fc383884", "129", "2", true},
      {24, -2147483647, -1, "UTC", "Wed Dec 31 23:59:59 1969\n", "8295a696", "3", "1", true}};
  for (const Row& r : rows) {
    setenv("TZ", r.tz, 1);
    tzset();
    std::vector<uint8_t> cct(sizehead + r.payload);
    std::iota(cct.begin() + sizehead, cct.end(), uint8_t{0});
    encode_header({uint32_t(r.version), 0, crc32(&cct[0] + sizehead, r.payload), r.time}, &cct[0]);
    std::ofstream(f_, std::ios::binary).write(reinterpret_cast<char*>(cct.data()), cct.size());
    ASSERT_EQ(load(f_, r.cp1251), 0);
    EXPECT_EQ(out_, fill(kHead + kBody,
                         {f_, std::to_string(cct.size()), std::to_string(r.payload), r.created,
                          std::to_string(r.version), r.crc, r.blocks, r.pages},
                         r.cp1251));
  }
}

TEST_F(ContainerTest, EdgeFilesAreRefused) {
  // Larger than 4 GiB (sparse: costs no disk), refused before anything is allocated.
  std::ofstream(f_).seekp((int64_t{1} << 32) + 99).put('\0');
  ASSERT_EQ(load(f_), 2);
  EXPECT_EQ(out_,
            fill(kHead, {f_, "4294967396", "4294967332"}, false) + "Error malloc .cct file !\n");
  EXPECT_EQ(ct_.buff_CCT, nullptr);
  std::ofstream(f_).seekp(62).put('\0');  // too short for a header: the payload's size wraps
  ASSERT_EQ(load(f_), 2);
  EXPECT_EQ(out_,
            fill(kHead, {f_, "63", "4294967295"}, false) + "Error malloc firmware.bin file!\n");
  // The refused file stays open as long as its container, and no longer.
  const auto open_files = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto before = open_files();
  {
    Container held;
    testing::CaptureConsole con;
    ASSERT_EQ(load_container(con, f_.c_str(), held, v_), 2);
    EXPECT_EQ(open_files(), before + 1);
  }
  EXPECT_EQ(open_files(), before);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  for (const std::string& path : {dir_, dir_ + "/fifo", std::string("/dev/null")})
    EXPECT_EQ(load(path), 1) << path;
}

TEST_F(ContainerTest, BytesTheFileDoesNotDeliverAreZero) {
  // A /sys file claims a page, delivers a few bytes; the memory the loader gets held other bytes.
  const char* path = "/sys/devices/system/cpu/online";
  std::ifstream in(path, std::ios::binary);
  std::string file{std::istreambuf_iterator<char>(in), {}};
  file.resize(fs::file_size(path), '\0');
  (void)crc32(std::vector<uint8_t>(8 * file.size(), 0xA5).data(), 8 * file.size());
  ASSERT_EQ(load(path), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ct_.buff_CCT.get()), ct_.sizefile_cct), file);
}

TEST_F(ContainerTest, LargeFileIsHeldOnce) {
  // One copy of the file, not a second one of its payload (a sanitizer adds an eighth).
  const size_t size = size_t{64} << 20;
  std::ofstream(f_).seekp(size - 1).put('\0');
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  ASSERT_EQ(load(f_), 0);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(static_cast<double>(after.ru_maxrss - before.ru_maxrss) * 1024, 1.5 * size);
}

TEST(CreationTime, PlaceholderForATimeWithoutName) {
  char out[64];
  format_creation_time(nullptr, -42, out);
  EXPECT_STREQ(out, "unknown date (UNIX time -42)\n");
}

}  // namespace
}  // namespace korvel
