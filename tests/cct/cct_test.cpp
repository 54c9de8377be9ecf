// The container tool: its report and parsing in-process, everything else through the cct
// executable, run with a deadline so that a hang on a FIFO fails instead of stalling.
#include "cct.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "lib/crc32.h"
#include "process.h"
#include "stand_in_cipher.h"

namespace korvel::cct {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void write_file(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// Not periodic within a block or a page, so misplaced bytes show.
Bytes pattern(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<uint8_t>(i * 37 + 11 + (i >> 8));
  return v;
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

uint32_t crc(const Bytes& b) {
  return crc32(b.data(), static_cast<uint32_t>(b.size()));
}

std::string hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

TEST(IsoTime, EdgeInstantsAndEveryDayBoundaryAgreeWithGmtime) {
  EXPECT_EQ(iso8601_utc(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(iso8601_utc(INT32_MIN), "1901-12-13T20:45:52Z");
  EXPECT_EQ(iso8601_utc(INT32_MAX), "2038-01-19T03:14:07Z");
  EXPECT_EQ(iso8601_utc(951868799), "2000-02-29T23:59:59Z");
  static_assert(sizeof(time_t) >= 8, "needs a 64-bit time_t to cross-check");
  // Every day boundary is where a civil-calendar slip would show.
  for (int64_t t = INT32_MIN; t <= INT32_MAX; t += 999'983) {
    for (const time_t probe : {t, t - (t % 86400), t - (t % 86400) - 1}) {
      std::tm tm{};
      char want[32];
      std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&probe, &tm));
      if (probe < INT32_MIN || probe > INT32_MAX)
        continue;
      ASSERT_EQ(iso8601_utc(static_cast<int32_t>(probe)), want) << probe;
    }
  }
}

TEST(Numbers, StrictParsing) {
  EXPECT_EQ(parse_u32("4294967295"), ~0u);
  EXPECT_EQ(parse_u32("0x2A"), 42u);
  EXPECT_EQ(parse_u32("0XffffFFFF"), ~0u);
  EXPECT_EQ(parse_i32("-2147483648"), INT32_MIN);
  EXPECT_EQ(parse_i32("2147483647"), INT32_MAX);
  for (const char* text :
       {"", "-1", "+1", " 1", "1 ", "4294967296", "0x", "0x100000000", "12a", "0x-1"})
    EXPECT_EQ(parse_u32(text), std::nullopt) << text;
  for (const char* text : {"", "2147483648", "-2147483649", "1e3", "--1", "0x10", "1 "})
    EXPECT_EQ(parse_i32(text), std::nullopt) << text;
}

// What examine finds in a container of n pattern bytes whose crc_BIN is off by `flip`.
Facts facts(size_t n, uint32_t flip = 0) {
  const Bytes payload = pattern(n);
  Bytes bytes(sizehead + n, 0);
  encode_header({3, 0xDEADBEEF, crc(payload) ^ flip, 0}, bytes.data());
  std::copy(payload.begin(), payload.end(), bytes.begin() + sizehead);
  return examine_bytes(bytes.data(), bytes.size());
}

TEST(Examine, ReportOfSoundAndUnsoundContainers) {
  const uint32_t crc1024 = crc(pattern(1024));
  const std::string report = format_report("x.cct", facts(1024));
  EXPECT_EQ(report,
            "file: x.cct\nsize: 1088 bytes (payload 1024 bytes)\ncreator version: 3\n"
            "crc_decrypted: 0xdeadbeef\ncrc_BIN: " +
                hex32(crc1024) +
                " (payload matches)\ncreated: 1970-01-01T00:00:00Z\n"
                "blocks: 128 blocks of 8 bytes\npages: 1 of 60\n"
                "fits application area: yes\nresult: sound\n");
  // A hostile name cannot add lines.
  EXPECT_EQ(format_report("a\nresult: sound\n\x1b[2J", facts(1024)),
            "file: a\\x0aresult: sound\\x0a\\x1b[2J" + report.substr(11));
  const std::tuple<Facts, std::string, std::string> cases[] = {
      {facts(1024, 1),
       "crc_BIN: " + hex32(crc1024 ^ 1) + " (mismatch: the payload computes to " + hex32(crc1024) +
           ")",
       "result: not sound (crc_BIN mismatch)"},
      {facts(13),
       "warning: the payload is not a multiple of 8 bytes; its last 5 bytes would never reach "
       "the device",
       "result: sound, with a warning (the last 5 bytes never reach the device)"},
      {facts(0), "blocks: 0 blocks of 8 bytes",
       "result: not sound (empty payload, nothing to program)"},
      {facts(kAppAreaBytes + 8), "fits application area: no (at most 61440 bytes of payload)",
       "result: not sound (too large for the application area)"}};
  for (const auto& [in, line1, line2] : cases) {
    const std::string report = format_report("x.cct", in);
    EXPECT_TRUE(has_line(report, line1)) << report;
    EXPECT_TRUE(has_line(report, line2)) << report;
  }
}

// In a scratch directory of its own, whose listing shows any temporary left behind.
class CctRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cct_test.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path("/");
    fs::remove_all(dir);
  }

  static std::set<std::string> entries() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator("."))
      names.insert(e.path().filename().string());
    return names;
  }

  struct Result {
    int status;  // -1: killed at the deadline
    std::string out, err;
  };
  // The arguments are split at spaces.
  static Result cct(const std::string& line) {
    std::vector<std::string> args = {CCT_EXE};
    std::istringstream words(line);
    for (std::string w; std::getline(words, w, ' ');)
      args.push_back(w);
    korvel::testing::Child c(args);
    const int status = c.wait(10000);
    return {status, c.out, c.err};
  }

  std::string dir;
};

TEST_F(CctRun, MakeThenInfoRoundTrips) {
  const struct {
    uint32_t image, padding, blocks, pages;
  } cases[] = {{1, 7, 1, 1},      {7, 1, 1, 1},      {8, 0, 1, 1},        {20, 4, 3, 1},
               {1024, 0, 128, 1}, {1032, 0, 129, 2}, {61440, 0, 7680, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    const std::string img = "img" + std::to_string(c.image), out = img + ".cct";
    const auto image = pattern(c.image);
    write_file(img, image);
    const auto made =
        cct("make --in " + img + " --out " + out + " --time 951782400 --creator-version 77" +
            (c.padding != 0 ? " --allow-tail" : ""));
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(has_line(made.out, "blocks: " + std::to_string(c.blocks))) << made.out;
    const std::string s = c.padding == 1 ? "" : "s";
    EXPECT_EQ(has_line(made.out, "padded " + std::to_string(c.padding) + " byte" + s +
                                     " with 0xFF to a multiple of 8"),
              c.padding != 0)
        << made.out;

    auto padded = image;
    padded.resize(c.image + c.padding, 0xFF);
    const auto file = read_file(out);
    ASSERT_EQ(file.size(), sizehead + padded.size());
    const ContainerHeader h = decode_header(file.data());
    EXPECT_EQ(h.creator_version, 77u);
    EXPECT_EQ(h.UNIXtimestamp, 951782400);
    EXPECT_EQ(h.crc_decrypted, crc(padded));
    Bytes payload(file.begin() + sizehead, file.end());
    EXPECT_EQ(h.crc_BIN, crc(payload));
    Bytes head(sizehead, 0);  // the four fields, every other header byte zero
    encode_header(h, head.data());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + sizehead), head);
    cipher::decipher(cipher::kDefaultKey, payload.data(), payload.size());
    EXPECT_EQ(payload, padded);

    const auto info = cct("info " + out);
    EXPECT_EQ(info.status, 0) << info.out << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_TRUE(
        has_line(info.out, "created: 2000-02-29T00:00:00Z\nblocks: " + std::to_string(c.blocks) +
                               " block" + (c.blocks == 1 ? "" : "s") +
                               " of 8 bytes\npages: " + std::to_string(c.pages) +
                               " of 60\nfits application area: yes\nresult: sound"))
        << info.out;
  }
  // The images and the containers, and no temporary left over.
  EXPECT_EQ(entries().size(), 2 * std::size(cases));
}

TEST_F(CctRun, ForceReplacesAndTheDefaultsAndAGivenKeyApply) {
  const std::string key = "0f0e0d0c0b0a09080706050403020100";
  write_file("img", pattern(20));
  write_file("a.cct", {9, 9, 9});
  const std::time_t before = std::time(nullptr);
  const ::mode_t old_mask = ::umask(022);
  const auto forced = cct("make --in img --out a.cct --force --allow-tail --key " + key);
  ::umask(old_mask);
  ASSERT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(fs::status("a.cct").permissions(), static_cast<fs::perms>(0644))
      << "the temporary file's private mode leaked through";
  EXPECT_EQ(entries(), (std::set<std::string>{"img", "a.cct"}));

  const auto file = read_file("a.cct");
  ASSERT_EQ(file.size(), sizehead + 24);
  const ContainerHeader h = decode_header(file.data());
  EXPECT_EQ(h.creator_version, kDefaultCreatorVersion);
  // Generous: only a clock that is wildly off or a fixed default would miss this.
  EXPECT_LE(std::abs(static_cast<int64_t>(h.UNIXtimestamp) - before), 600);
  Bytes payload(file.begin() + sizehead, file.end()), plain = pattern(20);
  plain.resize(24, 0xFF);
  cipher::decipher(*cipher::parse_key(key), payload.data(), payload.size());
  EXPECT_EQ(payload, plain);
}

TEST_F(CctRun, VerdictsAndRefusalsOfFilesItCannotUse) {
  write_file("img", pattern(96));
  write_file("img13", pattern(13));
  write_file("empty", {});
  ASSERT_EQ(cct("make --in img --out good.cct").status, 0);
  fs::create_symlink("good.cct", "link");
  const auto good = read_file("good.cct");
  auto bad = good;
  bad[4 * kHeadCrcBin + 3] ^= 0x40;
  write_file("bad.cct", bad);
  write_file("sixty-three", Bytes(63, 0));
  write_file("too-big", Bytes(kAppAreaBytes + 1, 0));
  fs::create_directory("sub");
  ASSERT_EQ(::mkfifo("fifo", 0600), 0);
  fs::create_symlink("nowhere", "dangling");
  // Sparse: a tool that allocated the file's size would fall over.
  write_file("four-gib", {});
  fs::resize_file("four-gib", uint64_t{1} << 32);
  write_file("five-gib", {});
  fs::resize_file("five-gib", uint64_t{5} << 30);
  const auto before = entries();
  const std::tuple<const char*, int, const char*> cases[] = {
      {"info good.cct", 0, "result: sound"},
      {"info bad.cct", 1, "result: not sound (crc_BIN mismatch)"},
      {"info missing", 1, "missing: cannot open: No such file or directory"},
      {"info sub", 1, "sub: is a directory"},
      {"info fifo", 1, "fifo: not a regular file (a FIFO)"},
      {"info sixty-three", 1,
       "sixty-three: too short for a container: 63 bytes, the header alone is 64"},
      {"info four-gib", 1, "four-gib: too large: 4294967296 bytes"},
      {"info five-gib", 1, "five-gib: too large: 5368709120 bytes"},
      {"make --in too-big --out o", 1,
       "too-big: image too large: 61441 bytes; the application area holds 61440 bytes"},
      {"make --in missing --out o", 1, "missing: cannot open"},
      {"make --in fifo --out o", 1, "fifo: not a regular file"},
      {"make --in sub --out o", 1, "sub: is a directory"},
      {"make --in img --out sub --force", 1, "sub: not a regular file (a directory)"},
      {"make --in img --out good.cct", 1, "good.cct: already exists"},
      {"make --in empty --out o --allow-tail", 1, "empty: empty image, nothing to program"},
      {"make --in img13 --out o", 1,
       "img13: 13 bytes, not a multiple of 8: the last 5 do not fill a block"},
      {"make --in img --out dangling", 1, "dangling: not a regular file (a symbolic link)"},
      {"make --in img --out link --force", 1, "link: not a regular file (a symbolic link)"},
      {"make --in img --out fifo --force", 1, "fifo: not a regular file (a FIFO)"},
      {"make --in img --out no/such/o", 1, "no/such/o: cannot create a temporary file"}};
  for (const auto& [line, status, text] : cases) {
    SCOPED_TRACE(line);
    const auto r = cct(line);
    EXPECT_EQ(r.status, status);
    if (r.out.empty()) {  // one line naming the file and the reason
      EXPECT_EQ(r.err.rfind("cct: " + std::string(text), 0), 0u) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    } else {
      EXPECT_TRUE(has_line(r.out, text)) << r.out;
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_EQ(entries(), before);
  EXPECT_EQ(read_file("good.cct"), good);
}

TEST_F(CctRun, InfoOnAContainerCutShortWhileItIsReadFailsWithAMessage) {
  // Sparse and big, so that checking it takes far longer than cutting it short.
  write_file("big.cct", {});
  fs::resize_file("big.cct", uint64_t{3} << 30);
  korvel::testing::Child c({CCT_EXE, "info", "big.cct"});
  const std::string fds = "/proc/" + std::to_string(c.pid()) + "/fd";
  std::error_code ec;
  for (bool open = false; !open && fs::exists(fds, ec);)  // until cct has the file open
    for (const auto& e : fs::directory_iterator(fds, ec))
      open = open || fs::read_symlink(e.path(), ec) == fs::absolute("big.cct");
  fs::resize_file("big.cct", 100);
  EXPECT_EQ(c.wait(10000), 1);
  EXPECT_EQ(
      c.err.rfind("cct: big.cct: changed size while being read: 3221225472 bytes when opened", 0),
      0u)
      << c.err;
}

TEST_F(CctRun, UsageErrorsExitWithTwoAndPointToHelp) {
  write_file("img", pattern(8));
  for (const char* line :
       {"", "frobnicate", "--frobnicate", "info", "info img img", "info --all img", "make --in img",
        "make --out o", "make --in", "make --in img --out o --bogus",
        "make --in img --out o --force=yes", "make --in img --out o extra",
        "make --in img --out o --key 00112233", "make --in img --out o --time 2147483648",
        "make --in img --out o --creator-version 1\n2\x01"}) {
    SCOPED_TRACE(line);
    const auto r = cct(line);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("cct: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    // The message line plus the hint line, whatever bytes the arguments held.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  }
  EXPECT_EQ(entries(), (std::set<std::string>{"img"}));
}

TEST_F(CctRun, HelpAndVersion) {
  const std::pair<const char*, std::vector<const char*>> cases[] = {
      {"--help", {"stand-in", "XTEA", "NOT the real device's cipher", "cct info FILE"}},
      {"make --help",
       {"stand-in", "--in", "--out", "--key", "--creator-version", "--time", "--force"}},
      {"info --help", {"Usage: cct info FILE\n"}},
      {"--version", {"cct " CCT_EXPECTED_VERSION "\n"}}};
  for (const auto& [line, texts] : cases) {
    const auto r = cct(line);
    EXPECT_EQ(r.status, 0);
    for (const char* text : texts)
      EXPECT_NE(r.out.find(text), std::string::npos) << line << ": " << text;
  }
  EXPECT_EQ(cct("--version").out, "cct " CCT_EXPECTED_VERSION "\n");
}

TEST_F(CctRun, UnwritableOutputIsAFailure) {
  if (::access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no /dev/full";
  write_file("img", pattern(8));
  ASSERT_EQ(cct("make --in img --out a.cct").status, 0);
  korvel::testing::Child c({"/bin/sh", "-c", "exec \"$0\" info a.cct >/dev/full", CCT_EXE});
  EXPECT_EQ(c.wait(10000), 1);
  EXPECT_NE(c.err.find("cannot write"), std::string::npos) << c.err;
}

}  // namespace
}  // namespace korvel::cct
