// The container tool as its user meets it: cct run as a child process in a scratch directory,
// with a deadline so that a hang on a FIFO fails, and its containers read by the loader.
#include "cct.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "capture_console.h"
#include "container/container.h"
#include "lib/crc32.h"
#include "process.h"

namespace korvel::cct {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

TEST(IsoTime, AgreesWithGmtimeAtTheEdgesAndOnEveryDayBoundary) {
  std::vector<time_t> probes = {-1, INT32_MIN, INT32_MAX, 951868799};  // 2000-02-29T23:59:59
  for (int64_t t = INT32_MIN; t <= INT32_MAX - 86400; t += 999'983)
    probes.insert(probes.end(), {t, t - t % 86400, t - t % 86400 - 1});
  for (const time_t t : probes) {
    std::tm tm{};
    char want[32];
    std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &tm));
    ASSERT_EQ(iso8601_utc(static_cast<int32_t>(t)), want) << t;
  }
}

// Not periodic within a block or a page, so misplaced bytes show.
Bytes pattern(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i * 37 + 11 + (i >> 8));
  return v;
}

void write_file(const std::string& path, const Bytes& b) {
  std::ofstream(path).write(reinterpret_cast<const char*>(b.data()), std::ssize(b));
}

// Each test in a scratch directory of its own, with cct run there (its arguments split at
// spaces) and killed at a deadline: status -1.
class Cct : public ::testing::Test {
 protected:
  void SetUp() override { fs::current_path(dir = ::mkdtemp(tmpl)); }
  void TearDown() override { fs::remove_all(dir); }
  static std::tuple<int, std::string, std::string> cct(const std::string& line) {
    std::vector<std::string> args = {CCT_EXE};
    std::istringstream words(line);
    for (std::string w; words >> w;)
      args.push_back(w);
    testing::Child c(args);
    const int status = c.wait(10000);
    return {status, c.out, c.err};
  }
  char tmpl[32] = "/tmp/cct_test.XXXXXX";
  std::string dir;
};

TEST_F(Cct, MakeWritesWhatInfoAndTheLoaderReadBackSound) {
  const struct {
    uint32_t image, blocks, pages;
  } cases[] = {{1, 1, 1}, {20, 3, 1}, {1024, 128, 1}, {1032, 129, 2}, {61440, 7680, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    write_file("img", pattern(c.image));
    ASSERT_EQ(get<0>(cct("make --in img --out c.cct --force --allow-tail --time 951782400")), 0);
    const auto [status, out, err] = cct("info c.cct");
    EXPECT_EQ(status, 0) << err;
    const std::string s = c.blocks == 1 ? "" : "s";
    EXPECT_NE(out.find("created: 2000-02-29T00:00:00Z\nblocks: " + std::to_string(c.blocks) +
                       " block" + s + " of 8 bytes\npages: " + std::to_string(c.pages) +
                       " of 60\nfits application area: yes\nresult: sound\n"),
              std::string::npos)
        << out;
    // The loader finds it sound too, and deciphered it is the image padded with 0xFF.
    testing::CaptureConsole con;
    Container loaded;
    Verdict verdict = Verdict::Bad;
    ASSERT_EQ(load_container(con, "c.cct", loaded, verdict), 0);
    EXPECT_EQ(verdict, Verdict::Good);
    Bytes plain(loaded.buff_BIN, loaded.buff_BIN + loaded.sizefile_bin), padded = pattern(c.image);
    padded.resize(8 * c.blocks, 0xFF);
    cipher::decipher(cipher::kDefaultKey, plain.data(), plain.size());
    EXPECT_EQ(plain, padded);
    EXPECT_EQ(loaded.crc_decrypted(), crc32(padded.data(), 8 * c.blocks));
    EXPECT_EQ(loaded.numpageerase, c.pages);
    release_container(con, loaded);
  }
}

// Each run's exit status, and its verdict on standard output or its message on standard error.
TEST_F(Cct, RefusalsVerdictsAndUsageErrors) {
  write_file("img", pattern(96));
  write_file("img13", pattern(13));
  write_file("empty", {});
  write_file("too-big", Bytes(kAppAreaBytes + 1, 0));
  ASSERT_EQ(get<0>(cct("make --in img --out good.cct")), 0);
  write_file("old.cct", {9, 9, 9});
  fs::copy_file("good.cct", "bad.cct");
  std::fstream("bad.cct", std::ios::in | std::ios::out).seekp(4 * kHeadCrcBin).put('X');
  write_file("short.cct", Bytes(63, 0));
  fs::create_directory("sub");
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  const std::tuple<const char*, int, std::string> cases[] = {
      {"info good.cct", 0, "result: sound"},
      {"info bad.cct", 1, "result: not sound (crc_BIN mismatch)"},
      {"info short.cct", 1,
       "cct: short.cct: too short for a container: 63 bytes, the header alone is 64"},
      {"make --in empty --out o --allow-tail", 1, "cct: empty: empty image, nothing to program"},
      {"make --in img13 --out o", 1,
       "cct: img13: 13 bytes, not a multiple of 8: the last 5 do not fill a block"},
      {"make --in too-big --out o", 1,
       "cct: too-big: image too large: 61441 bytes; the application area holds 61440 bytes"},
      {"make --in img --out good.cct", 1, "cct: good.cct: already exists"},
      {"make --in img --out sub --force", 1, "cct: sub: not a regular file (a directory)"},
      {"make --in img --out fifo --force", 1, "cct: fifo: not a regular file (a FIFO)"},
      {"make --in img --out old.cct --force", 0, "blocks: 12"},
      {"info", 2, "cct: info needs a FILE\n"},
      {"info img img", 2, "cct: info takes exactly one FILE\n"},
      {"make --in img", 2, "cct: "},
      {"make --in img --out o --force=yes", 2, "cct: "}};
  for (const auto& [line, status, text] : cases) {
    SCOPED_TRACE(line);
    const auto [got, out, err] = cct(line);
    EXPECT_EQ(got, status);
    EXPECT_TRUE(out.empty() ? err.find(text) == 0 : out.find(text) != std::string::npos) << out;
    // A refusal is one line on standard error, a usage error adds one pointing to --help.
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), out.empty() ? 1 + (status == 2) : 0) << err;
  }
  EXPECT_EQ(get<0>(cct("info old.cct")), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), 10);  // no temporary left behind
}

TEST_F(Cct, InfoOnAContainerCutShortWhileItIsReadFailsWithAMessage) {
  // Sparse and big, so that checking it takes far longer than cutting it short.
  write_file("big.cct", {});
  fs::resize_file("big.cct", uint64_t{3} << 30);
  testing::Child c({CCT_EXE, "info", "big.cct"});
  const std::string fds = "/proc/" + std::to_string(c.pid()) + "/fd";
  std::error_code ec;
  for (bool open = false; !open && fs::exists(fds, ec);)  // until cct has the file open
    for (const auto& e : fs::directory_iterator(fds, ec))
      open = open || fs::read_symlink(e.path(), ec) == fs::absolute("big.cct");
  fs::resize_file("big.cct", 100);
  EXPECT_EQ(c.wait(10000), 1);
  EXPECT_EQ(c.err.find("cct: big.cct: changed size while being read: 3221225472 bytes when opened"),
            0u)
      << c.err;
}

}  // namespace
}  // namespace korvel::cct
