// The container tool's logic, called in-process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "cct.h"
#include "cct_test_support.h"
#include "lib/crc32.h"

namespace korvel::cct {
namespace {

using cct_test::pattern_bytes;
using cct_test::read_file;
using cct_test::TempDir;
using cct_test::write_file;

// A container whose header says what the caller wants, whatever the payload is.
std::vector<uint8_t> container_bytes(const std::vector<uint8_t>& payload, uint32_t crc_bin,
                                     int32_t timestamp = 0) {
  std::vector<uint8_t> bytes(sizehead + payload.size(), 0);
  ContainerHeader h;
  h.creator_version = 3;
  h.crc_decrypted = 0xDEADBEEF;
  h.crc_BIN = crc_bin;
  h.UNIXtimestamp = timestamp;
  encode_header(h, bytes.data());
  std::copy(payload.begin(), payload.end(), bytes.begin() + sizehead);
  return bytes;
}

std::string hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

std::vector<uint8_t> sound_container(size_t payload_size) {
  const auto payload = pattern_bytes(payload_size);
  return container_bytes(payload, crc32(payload.data(), static_cast<uint32_t>(payload.size())));
}

TEST(IsoTime, KnownInstants) {
  struct Case {
    int32_t t;
    const char* want;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},           {-1, "1969-12-31T23:59:59Z"},
      {INT32_MIN, "1901-12-13T20:45:52Z"},   {INT32_MAX, "2038-01-19T03:14:07Z"},
      {951782400, "2000-02-29T00:00:00Z"},   {951868799, "2000-02-29T23:59:59Z"},
      {951868800, "2000-03-01T00:00:00Z"},   {-31536000, "1969-01-01T00:00:00Z"},
      {-2145916801, "1901-12-31T23:59:59Z"}, {1709164800, "2024-02-29T00:00:00Z"},
      {-2147472000, "1901-12-14T00:00:00Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.t);
    EXPECT_EQ(iso8601_utc(c.t), c.want);
  }
}

// Every day boundary is where a civil-calendar slip would show; sample across the whole
// int32 range and compare with the C library's UTC conversion on a 64-bit time_t.
TEST(IsoTime, AgreesWithGmtimeAcrossTheInt32Range) {
  static_assert(sizeof(time_t) >= 8, "needs a 64-bit time_t to cross-check");
  for (int64_t t = INT32_MIN; t <= INT32_MAX; t += 999'983) {
    for (const int64_t probe : {t, t - (t % 86400), t - (t % 86400) - 1}) {
      if (probe < INT32_MIN || probe > INT32_MAX)
        continue;
      const time_t tt = static_cast<time_t>(probe);
      std::tm tm{};
      ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
      char want[32];
      std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%SZ", &tm);
      ASSERT_EQ(iso8601_utc(static_cast<int32_t>(probe)), want) << probe;
    }
  }
}

TEST(Numbers, StrictParsing) {
  struct U32Case {
    const char* text;
    std::optional<uint32_t> want;
  };
  const U32Case u32_cases[] = {
      {"0", 0u},
      {"42", 42u},
      {"4294967295", 4294967295u},
      {"0x2A", 42u},
      {"0XffffFFFF", ~0u},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"4294967296", std::nullopt},
      {"0x", std::nullopt},
      {"0x100000000", std::nullopt},
      {"12a", std::nullopt},
      {"0x-1", std::nullopt},
  };
  for (const auto& c : u32_cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_u32(c.text), c.want);
  }
  struct I32Case {
    const char* text;
    std::optional<int32_t> want;
  };
  const I32Case i32_cases[] = {
      {"0", 0},
      {"-1", -1},
      {"-2147483648", INT32_MIN},
      {"2147483647", INT32_MAX},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"", std::nullopt},
      {"1e3", std::nullopt},
      {"--1", std::nullopt},
      {"0x10", std::nullopt},
  };
  for (const auto& c : i32_cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_i32(c.text), c.want);
  }
}

TEST(Examine, ReportOfSoundAndUnsoundContainers) {
  const auto good = sound_container(1024);
  auto bad_header = good;
  bad_header[4 * kHeadCrcBin] ^= 0x01;
  auto bad_payload = good;
  bad_payload[sizehead + 500] ^= 0x80;
  const auto empty_ok = container_bytes({}, 0);
  const auto empty_bad = container_bytes({}, 0x12345678);
  const auto tail = sound_container(13);
  const auto oversize = sound_container(kAppAreaBytes + 8);
  const auto full = sound_container(kAppAreaBytes);

  struct Case {
    const char* name;
    const std::vector<uint8_t>& bytes;
    bool sound;
    uint32_t blocks;
    uint32_t pages;
    std::vector<std::string> lines;  // each must appear as a whole line
    const char* absent;              // must not appear anywhere
  };
  const Case cases[] = {
      {"good",
       good,
       true,
       128,
       1,
       {"crc_BIN: " + hex32(crc32(good.data() + sizehead, 1024)) + " (payload matches)",
        "size: 1088 bytes (payload 1024 bytes)", "creator version: 3", "crc_decrypted: 0xdeadbeef",
        "blocks: 128 blocks of 8 bytes", "pages: 1 of 60", "fits application area: yes",
        "result: sound"},
       "warning"},
      {"crc_BIN altered",
       bad_header,
       false,
       128,
       1,
       {"result: not sound (crc_BIN mismatch)"},
       "payload matches"},
      {"payload altered",
       bad_payload,
       false,
       128,
       1,
       {"result: not sound (crc_BIN mismatch)"},
       "payload matches"},
      {"empty, crc 0",
       empty_ok,
       true,
       0,
       0,
       {"blocks: 0 blocks of 8 bytes", "pages: 0 of 60", "crc_BIN: 0x00000000 (payload matches)"},
       "warning"},
      {"empty, crc not 0",
       empty_bad,
       false,
       0,
       0,
       {"crc_BIN: 0x12345678 (mismatch: the payload computes to 0x00000000)"},
       "warning"},
      {"13-byte payload",
       tail,
       true,
       1,
       1,
       {"blocks: 1 block of 8 bytes",
        "warning: the payload is not a multiple of 8 bytes; its last 5 bytes would never "
        "reach the device"},
       "not sound"},
      {"one block too many",
       oversize,
       false,
       7681,
       61,
       {"pages: 61 of 60", "fits application area: no (at most 61440 bytes of payload)",
        "result: not sound (too large for the application area)"},
       "mismatch"},
      {"exactly the application area",
       full,
       true,
       7680,
       60,
       {"pages: 60 of 60", "fits application area: yes"},
       "not sound"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Facts in = examine_bytes(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(in.sound(), c.sound);
    EXPECT_EQ(in.blocks(), c.blocks);
    EXPECT_EQ(in.pages(), c.pages);
    const std::string report = "\n" + format_report("x.cct", in);
    EXPECT_NE(report.find("\nfile: x.cct\n"), std::string::npos);
    for (const auto& line : c.lines)
      EXPECT_NE(report.find("\n" + line + "\n"), std::string::npos) << line << "\n" << report;
    EXPECT_EQ(report.find(c.absent), std::string::npos) << report;
  }
}

TEST(Examine, HostileNameCannotAddLines) {
  const auto bytes = sound_container(8);
  const Facts in = examine_bytes(bytes.data(), bytes.size());
  const std::string report = format_report("a\nresult: sound\n\x1b[2J", in);
  EXPECT_NE(report.find("file: a\\x0aresult: sound\\x0a\\x1b[2J\n"), std::string::npos) << report;
  const std::string plain = format_report("a", in);
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'),
            std::count(plain.begin(), plain.end(), '\n'));
}

class FileTest : public ::testing::Test {
 protected:
  TempDir dir;
  TempDir scratch;  // child output, kept out of dir so dir's listing stays exact
};

TEST_F(FileTest, ExamineFileReadsWhatIsOnDisk) {
  const auto bytes = container_bytes(pattern_bytes(20), 0, 951782400);
  write_file(dir / "c.cct", bytes);
  std::string why;
  const auto in = examine_file(dir / "c.cct", &why);
  ASSERT_TRUE(in.has_value()) << why;
  EXPECT_EQ(in->file_size, 84u);
  EXPECT_EQ(in->payload_size, 20u);
  EXPECT_EQ(in->payload_crc, crc32(bytes.data() + sizehead, 20));
  EXPECT_EQ(in->header.UNIXtimestamp, 951782400);
  EXPECT_FALSE(in->sound());
  EXPECT_NE(format_report("c.cct", *in).find("created: 2000-02-29T00:00:00Z\n"), std::string::npos);
}

TEST_F(FileTest, ExamineFileRefusesWhatIsNotAContainer) {
  write_file(dir / "ten", std::vector<uint8_t>(10, 0x55));
  write_file(dir / "sixty-three", std::vector<uint8_t>(63, 0));
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
  // Sparse, so nothing is written; a tool that allocated the file's size would fall over.
  for (const auto& [name, size] :
       {std::pair<const char*, off_t>{"four-gib", off_t{1} << 32}, {"five-gib", off_t{5} << 30}}) {
    const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }
  struct Case {
    const char* name;
    const char* why;
  };
  const Case cases[] = {
      {"missing", "cannot open: No such file or directory"},
      {"sub", "is a directory"},
      {"ten", "too short for a container: 10 bytes, the header alone is 64"},
      {"sixty-three", "too short for a container: 63 bytes"},
      {"four-gib", "too large: 4294967296 bytes"},
      {"five-gib", "too large: 5368709120 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_FALSE(examine_file(dir / c.name, &why).has_value());
    EXPECT_EQ(why.rfind(c.why, 0), 0u) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos);
  }
}

TEST_F(FileTest, ExamineFileDoesNotBlockOnAFifo) {
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const auto r = cct_test::run_child(
      [&] {
        std::string why;
        const bool ok = examine_file(dir / "fifo", &why).has_value();
        std::fputs(why.c_str(), stdout);
        return ok ? 0 : 1;
      },
      scratch.path().string(), std::chrono::seconds(10));
  ASSERT_FALSE(r.timed_out) << "examine_file blocked on a FIFO";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "not a regular file (a FIFO)");
}

TEST_F(FileTest, MakeRefusesToOverwriteUnlessForced) {
  write_file(dir / "img", pattern_bytes(16));
  write_file(dir / "out.cct", {1, 2, 3});
  MakeRequest req;
  req.in = dir / "img";
  req.out = dir / "out.cct";
  req.timestamp = 5;
  std::string why;
  EXPECT_FALSE(make_container(req, &why).has_value());
  EXPECT_NE(why.find("already exists"), std::string::npos) << why;
  EXPECT_EQ(read_file(dir / "out.cct"), (std::vector<uint8_t>{1, 2, 3}));

  req.force = true;
  const ::mode_t old_mask = ::umask(022);
  const auto built = make_container(req, &why);
  ::umask(old_mask);
  ASSERT_TRUE(built.has_value()) << why;
  EXPECT_EQ(read_file(dir / "out.cct"), built->bytes);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "out.cct").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "the temporary file's private mode leaked through";
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"img", "out.cct"}));
}

TEST_F(FileTest, FailedMakesLeaveNoFilesBehind) {
  write_file(dir / "img", pattern_bytes(16));
  write_file(dir / "too-big", std::vector<uint8_t>(kAppAreaBytes + 1, 0));
  ASSERT_EQ(::mkdir((dir / "a-dir").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  const std::set<std::string> before = dir.entries();
  struct Case {
    const char* name;
    std::string in;
    std::string out;
    bool force;
    const char* why;
  };
  const Case cases[] = {
      {"image too large", dir / "too-big", dir / "o.cct", false,
       "image too large: 61441 bytes; the application area holds 61440 bytes"},
      {"missing image", dir / "none", dir / "o.cct", false, "cannot open"},
      {"image is a FIFO", dir / "fifo", dir / "o.cct", false, "not a regular file"},
      {"image is a directory", dir / "a-dir", dir / "o.cct", false, "is a directory"},
      // The temporary file is written in full before the rename onto a directory fails.
      {"forced onto a directory", dir / "img", dir / "a-dir", true, "cannot move into place"},
      {"output is a dangling link", dir / "img", dir / "dangling", false, "already exists"},
      {"output directory missing", dir / "img", dir / "no/such/o.cct", false,
       "cannot create a temporary file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MakeRequest req;
    req.in = c.in;
    req.out = c.out;
    req.force = c.force;
    // In a child with a deadline: a FIFO opened the blocking way would hang right here.
    const auto r = cct_test::run_child(
        [&] {
          std::string why;
          const bool made = make_container(req, &why).has_value();
          std::fputs(why.c_str(), stdout);
          return made ? 0 : 1;
        },
        scratch.path().string(), std::chrono::seconds(10));
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.why), std::string::npos) << r.out;
    EXPECT_EQ(dir.entries(), before);
  }
}

TEST(Build, LargestImageFillsTheAreaAndOneByteMoreIsRefused) {
  const auto built = build_container(pattern_bytes(kAppAreaBytes), cipher::kDefaultKey, 1, 0);
  EXPECT_EQ(built.padding, 0u);
  EXPECT_EQ(built.bytes.size(), sizehead + kAppAreaBytes);
  EXPECT_THROW(build_container(pattern_bytes(kAppAreaBytes + 1), cipher::kDefaultKey, 1, 0),
               std::length_error);
}

}  // namespace
}  // namespace korvel::cct
