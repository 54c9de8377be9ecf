// The container tool as its user meets it: cct run with a deadline, so that a hang fails.
#include "cct.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>

#include "process.h"
#include "wire/crc32.h"

namespace korvel::cct {
namespace {

namespace fs = std::filesystem;

TEST(IsoTime, AgreesWithGmtimeAtTheEdgesAndOnDayBoundaries) {
  for (int64_t t = INT32_MIN; t <= INT32_MAX - 86400; t += 999'983)
    for (const time_t p : {t, t - t % 86400 - 1, int64_t{INT32_MAX}, int64_t{951868799}}) {
      std::tm tm{};
      char want[32];
      std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&p, &tm));
      ASSERT_EQ(iso8601_utc(static_cast<int32_t>(p)), want) << p;
    }
}

// A scratch directory per test; cct's status (-1 at the deadline), standard error and output.
class Cct : public ::testing::Test {
 protected:
  // Back where it was afterwards: the next test must not find itself in a removed folder.
  void SetUp() override { fs::current_path(scratch_.path); }
  void TearDown() override { fs::current_path(back_); }
  static std::string cct(const std::string& line) {
    testing::Child c(testing::words(CCT_PATH, line));
    const int status = c.wait(10000);
    return std::to_string(status) + " " + c.err + c.out;
  }
  const fs::path back_ = fs::current_path();
  const testing::ScratchDir scratch_;
};

// What make writes, info reads back sound (the loader too: the fault runs program one).
TEST_F(Cct, MakeWritesWhatInfoReadsBackSoundAndRefusesWhatWouldMisleadAUser) {
  for (const uint32_t image : {20, 2048, 61440}) {  // padded to 3 blocks, 2 pages, 60 pages
    std::ofstream("img") << std::string(image, 'k');
    const std::string made =
        cct("make --in img --out c.cct --force --allow-tail --time 951782400 --creator-version 7");
    ASSERT_TRUE(made.starts_with("0 "));
    EXPECT_EQ(made.find("padded 4 bytes with 0xFF") != std::string::npos, image == 20) << made;
    const std::string info = cct("info c.cct");
    EXPECT_TRUE(
        info.starts_with("0 ") && info.find("\ncreator version: 7\n") != std::string::npos &&
        info.ends_with("created: 2000-02-29T00:00:00Z\nblocks: " + std::to_string((image + 7) / 8) +
                       " blocks of 8 bytes\npages: " + std::to_string((image + 1023) / 1024) +
                       " of 60\nfits application area: yes\nresult: sound\n"))
        << info;
  }
  // Longer than one read: the payload's CRC-32 runs on from piece to piece.
  std::vector<uint8_t> longer(sizehead + 70000, 'k');
  encode_header({1, 0, crc32(&longer[sizehead], 70000), 0}, longer.data());
  std::ofstream("long.cct").write(reinterpret_cast<const char*>(longer.data()), longer.size());
  const std::string info = cct("info long.cct");
  EXPECT_NE(info.find("(payload matches)\n"), std::string::npos) << info;
  fs::copy_file("c.cct", "bad.cct");
  std::ofstream("img13") << std::string(13, 'k');
  std::ofstream("empty").close();
  fs::resize_file("c.cct", 63);
  std::ofstream("big") << std::string(kAppAreaBytes + 1, 'k');
  std::fstream("bad.cct", std::ios::in | std::ios::out).seekp(4 * kHeadCrcBin).put('X');
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  const std::string bad = cct("info bad.cct");
  EXPECT_TRUE(bad.starts_with("1 ") && bad.ends_with("\nresult: not sound (crc_BIN mismatch)\n"));
  const std::string kTry = "Try 'cct info --help' for more information.\n";
  for (const auto& [line, text] : std::initializer_list<std::pair<const char*, std::string>>{
           {"make --in empty --out o --allow-tail",
            "1 cct: empty: empty image, nothing to program\n"},
           {"make --in img13 --out o",
            "1 cct: img13: 13 bytes, not a multiple of 8: the last 5 do not fill a block (pad the "
            "image, or give --allow-tail to pad it with 0xFF)\n"},
           {"make --in img --out c.cct",
            "1 cct: c.cct: already exists (use --force to replace it)\n"},
           {"make --in img --out nodir/o",
            "1 cct: nodir/o: cannot create a temporary file next to it: No such file or "
            "directory\n"},
           {"make --in img --out fifo --force",
            "1 cct: fifo: not a regular file (a FIFO); only a regular file is replaced\n"},
           {"info c.cct",
            "1 cct: c.cct: too short for a container: 63 bytes, the header alone is 64\n"},
           {"make --in big --out o",
            "1 cct: big: image too large: 61441 bytes; the application area holds 61440 bytes (60 "
            "pages)\n"},
           {"make --in /proc/kallsyms --out o",  // a size of 0, and megabytes to read
            "1 cct: /proc/kallsyms: image too large: more than 61440 bytes; the application area "
            "holds 61440 bytes (60 pages)\n"},
           {"info", "2 cct: info needs a FILE\n" + kTry},
           {"make --out o --in",
            "2 cct: option '--in' needs a value\nTry 'cct make --help' for more information.\n"},
           {"info img img", "2 cct: info takes exactly one FILE\n" + kTry}})
    EXPECT_EQ(cct(line), text) << line;
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 8);  // no temporary left behind
}

TEST_F(Cct, InfoOnAContainerCutShortWhileItIsReadFailsWithAMessage) {
  std::ofstream("big.cct").close();  // sparse and big: far longer to check than to cut short
  fs::resize_file("big.cct", uint64_t{1} << 32);  // 4 GiB, where a 32-bit size wraps
  EXPECT_EQ(cct("info big.cct").substr(0, 37), "1 cct: big.cct: too large: 4294967296");
  fs::resize_file("big.cct", uint64_t{3} << 30);
  testing::Child c({CCT_PATH, "info", "big.cct"});
  const std::string fds = "/proc/" + std::to_string(c.pid()) + "/fd";
  std::error_code ec;
  for (bool open = false; !open && fs::exists(fds, ec);)  // until cct has the file open
    for (const auto& e : fs::directory_iterator(fds, ec))
      open = open || fs::read_symlink(e.path(), ec) == fs::absolute("big.cct");
  fs::resize_file("big.cct", 100);
  EXPECT_EQ(c.wait(10000), 1);
  EXPECT_TRUE(c.err.starts_with("cct: big.cct: changed size while being read: 3221225472 bytes"))
      << c.err;
}

}  // namespace
}  // namespace korvel::cct
