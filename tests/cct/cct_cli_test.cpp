// The cct executable, run as a child process: round trips, exit statuses, help and version.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "cct.h"
#include "cct_test_support.h"
#include "lib/crc32.h"
#include "stand_in_cipher.h"

#ifndef CCT_EXE
#error "CCT_EXE must name the cct executable"
#endif
#ifndef CCT_EXPECTED_VERSION
#error "CCT_EXPECTED_VERSION must be the project version"
#endif

namespace korvel::cct {
namespace {

using cct_test::ChildResult;
using cct_test::pattern_bytes;
using cct_test::read_file;
using cct_test::TempDir;
using cct_test::write_file;

class CctRun : public ::testing::Test {
 protected:
  ChildResult cct(const std::vector<std::string>& args, const std::string& stdout_path = "") {
    return cct_test::run_child(
        [&] {
          std::vector<char*> argv;
          argv.push_back(const_cast<char*>(CCT_EXE));
          for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
          argv.push_back(nullptr);
          ::execv(CCT_EXE, argv.data());
          return 127;
        },
        scratch.path().string(), std::chrono::seconds(20), stdout_path);
  }

  static bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
  }

  TempDir dir;
  TempDir scratch;
};

TEST_F(CctRun, MakeThenInfoRoundTrips) {
  struct Case {
    uint32_t image;
    uint32_t padding;
    uint32_t blocks;
    uint32_t pages;
  };
  const Case cases[] = {{0, 0, 0, 0},      {1, 7, 1, 1},      {7, 1, 1, 1},
                        {8, 0, 1, 1},      {16, 0, 2, 1},     {20, 4, 3, 1},
                        {1024, 0, 128, 1}, {1032, 0, 129, 2}, {61433, 7, 7680, 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    const std::string img = dir / ("img" + std::to_string(c.image));
    const std::string out = dir / ("out" + std::to_string(c.image) + ".cct");
    const auto image = pattern_bytes(c.image);
    write_file(img, image);

    const auto made =
        cct({"make", "--in", img, "--out", out, "--time", "951782400", "--creator-version", "77"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string pad_line = "padded " + std::to_string(c.padding) +
                                 (c.padding == 1 ? " byte" : " bytes") +
                                 " with 0xFF to a multiple of 8";
    EXPECT_EQ(has_line(made.out, pad_line), c.padding != 0) << made.out;
    EXPECT_TRUE(has_line(made.out, "blocks: " + std::to_string(c.blocks))) << made.out;

    auto padded = image;
    padded.resize(c.image + c.padding, 0xFF);
    const auto file = read_file(out);
    ASSERT_EQ(file.size(), sizehead + padded.size());
    const ContainerHeader h = decode_header(file.data());
    EXPECT_EQ(h.creator_version, 77u);
    EXPECT_EQ(h.UNIXtimestamp, 951782400);
    EXPECT_EQ(h.crc_decrypted, crc32(padded.data(), static_cast<uint32_t>(padded.size())));
    std::vector<uint8_t> payload(file.begin() + sizehead, file.end());
    EXPECT_EQ(h.crc_BIN, crc32(payload.data(), static_cast<uint32_t>(payload.size())));
    for (size_t i = 0; i < sizehead; ++i) {
      const bool used = i < 12 || (i >= 4 * kHeadTimestamp && i < 4 * kHeadTimestamp + 4);
      if (!used) {
        EXPECT_EQ(file[i], 0) << "header byte " << i;
      }
    }
    cipher::decipher(cipher::kDefaultKey, payload.data(), payload.size());
    EXPECT_EQ(payload, padded);

    const auto info = cct({"info", out});
    EXPECT_EQ(info.status, 0) << info.out << info.err;
    EXPECT_TRUE(has_line(info.out, "blocks: " + std::to_string(c.blocks) +
                                       (c.blocks == 1 ? " block" : " blocks") + " of 8 bytes"))
        << info.out;
    EXPECT_TRUE(has_line(info.out, "pages: " + std::to_string(c.pages) + " of 60")) << info.out;
    EXPECT_TRUE(has_line(info.out, "created: 2000-02-29T00:00:00Z")) << info.out;
    EXPECT_TRUE(has_line(info.out, "result: sound")) << info.out;
    EXPECT_EQ(info.err, "");
  }
  // Nothing but the images and the containers: no temporary left over.
  EXPECT_EQ(dir.entries().size(), 2 * std::size(cases));
}

TEST_F(CctRun, MakeDefaultsAndAGivenKey) {
  write_file(dir / "img", pattern_bytes(20));
  const std::time_t before = std::time(nullptr);
  const auto made = cct({"make", "--in", dir / "img", "--out", dir / "a.cct", "--key",
                         "0f0e0d0c0b0a09080706050403020100"});
  ASSERT_EQ(made.status, 0) << made.err;
  const auto file = read_file(dir / "a.cct");
  ASSERT_EQ(file.size(), sizehead + 24);
  const ContainerHeader h = decode_header(file.data());
  EXPECT_EQ(h.creator_version, kDefaultCreatorVersion);
  // Generous: only a clock that is wildly off or a fixed default would miss this.
  EXPECT_LE(std::abs(static_cast<int64_t>(h.UNIXtimestamp) - before), 600);

  std::vector<uint8_t> payload(file.begin() + sizehead, file.end());
  auto plain = pattern_bytes(20);
  plain.resize(24, 0xFF);
  auto with_default = payload;
  cipher::decipher(cipher::kDefaultKey, with_default.data(), with_default.size());
  EXPECT_NE(with_default, plain);
  cipher::decipher(*cipher::parse_key("0f0e0d0c0b0a09080706050403020100"), payload.data(),
                   payload.size());
  EXPECT_EQ(payload, plain);
}

TEST_F(CctRun, ForceReplacesAndRefusalKeepsTheOldFile) {
  write_file(dir / "img", pattern_bytes(8));
  write_file(dir / "a.cct", {9, 9, 9});
  const auto refused = cct({"make", "--in", dir / "img", "--out", dir / "a.cct"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("already exists"), std::string::npos) << refused.err;
  EXPECT_EQ(read_file(dir / "a.cct"), (std::vector<uint8_t>{9, 9, 9}));

  const auto forced = cct({"make", "--in", dir / "img", "--out", dir / "a.cct", "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(read_file(dir / "a.cct").size(), sizehead + 8);
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"img", "a.cct"}));
}

TEST_F(CctRun, InfoExitStatusFollowsTheVerdict) {
  write_file(dir / "img", pattern_bytes(100));
  ASSERT_EQ(cct({"make", "--in", dir / "img", "--out", dir / "good.cct"}).status, 0);
  auto bytes = read_file(dir / "good.cct");
  bytes[4 * kHeadCrcBin + 3] ^= 0x40;
  write_file(dir / "bad.cct", bytes);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string file;
    int status;
    const char* out;  // expected in stdout, or empty for an error on stderr
    const char* err;
  };
  const Case cases[] = {
      {dir / "good.cct", 0, "result: sound", ""},
      {dir / "bad.cct", 1, "mismatch", ""},
      {dir / "missing", 1, "", "cannot open"},
      {dir / "fifo", 1, "", "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto r = cct({"info", c.file});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status);
    if (*c.out != '\0') {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.out, "");
      // One line naming the file and the reason.
      EXPECT_EQ(r.err.rfind("cct: " + c.file + ": ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
  }
}

TEST_F(CctRun, UsageErrorsExitWithTwoAndPointToHelp) {
  write_file(dir / "img", pattern_bytes(8));
  const std::string img = dir / "img";
  const std::string out = dir / "o.cct";
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"--frobnicate"},
      {"info"},
      {"info", img, img},
      {"info", "--all", img},
      {"make", "--in", img},
      {"make", "--out", out},
      {"make", "--in"},
      {"make", "--in", img, "--out", out, "--bogus"},
      {"make", "--in", img, "--out", out, "--force=yes"},
      {"make", "--in", img, "--out", out, "extra"},
      {"make", "--in", img, "--out", out, "--key", "00112233"},
      {"make", "--in", img, "--out", out, "--key", "0011223344556677889gaabbccddeeff"},
      {"make", "--in", img, "--out", out, "--time", "2147483648"},
      {"make", "--in", img, "--out", out, "--time", "soon"},
      {"make", "--in", img, "--out", out, "--creator-version", "-1"},
      {"make", "--in", img, "--out", out, "--creator-version", std::string("1\n2\x01", 4)},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args)
      joined += a + " ";
    SCOPED_TRACE(joined);
    const auto r = cct(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("cct: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    // The message line plus the hint line, whatever bytes the arguments held.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"img"}));
}

TEST_F(CctRun, HelpAndVersion) {
  const auto help = cct({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("stand-in"), std::string::npos);
  EXPECT_NE(help.out.find("XTEA"), std::string::npos);
  EXPECT_NE(help.out.find("NOT the real device's cipher"), std::string::npos);
  EXPECT_NE(help.out.find("cct info FILE"), std::string::npos);
  EXPECT_NE(help.out.find("cct make --in IMAGE --out FILE"), std::string::npos);

  const auto make_help = cct({"make", "--help"});
  EXPECT_EQ(make_help.status, 0);
  EXPECT_NE(make_help.out.find("stand-in"), std::string::npos);
  for (const char* opt : {"--in", "--out", "--key", "--creator-version", "--time", "--force"})
    EXPECT_NE(make_help.out.find(opt), std::string::npos) << opt;

  const auto info_help = cct({"info", "--help"});
  EXPECT_EQ(info_help.status, 0);
  EXPECT_NE(info_help.out.find("Usage: cct info FILE"), std::string::npos);

  const auto version = cct({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "cct " CCT_EXPECTED_VERSION "\n");
}

TEST_F(CctRun, UnwritableOutputIsAFailure) {
  if (::access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no /dev/full";
  write_file(dir / "img", pattern_bytes(8));
  ASSERT_EQ(cct({"make", "--in", dir / "img", "--out", dir / "a.cct"}).status, 0);
  const auto r = cct({"info", dir / "a.cct"}, "/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace korvel::cct
