#include "cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace zemlot {
namespace {

ParseResult parse(std::vector<std::string> args) {
  args.insert(args.begin(), "zemlot-sim");
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(args.size()), argv.data());
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  for (size_t at = 0, end; at <= s.size(); at = end + 1) {
    end = std::min(s.find(sep, at), s.size());
    parts.push_back(s.substr(at, end - at));
  }
  return parts;
}

TEST(CommandLine, EveryOptionTakesItsValue) {
  const ParseResult r = parse(
      split("--port /dev/ttyUSB1 --no-pacing --echo --netnum 0500 --blid=0x7 --key-version 9 "
            "--key 0x0f1e2d3c4b5a69788796a5b4c3d2e1f0 --reply-delay-ms 15 --exit-on-goto --trace "
            "--dump /tmp/x.bin --force --refuse 0x03:2:0xE1 --refuse 4:10-12:e2 --drop-reply 5 "
            "--drop-reply 7-9 --delay-reply 3:250 --wrong-address 2-3 --noise 4-5:0xaa55FF "
            "--split 6-7:3:40 --silent 2 --crc-answer DEADBEEF --vanish-after 010 "
            "--work-ms erase=25,write=1,crc=0x5",
            ' '));
  ASSERT_TRUE(r.ok) << r.error;
  const ProgramOptions& p = r.options;
  EXPECT_EQ(p.port, "/dev/ttyUSB1");
  EXPECT_FALSE(p.pacing);
  EXPECT_TRUE(p.echo);
  EXPECT_EQ(p.model.netnum, 500);
  EXPECT_EQ(p.model.bootloader_version, 7u);
  EXPECT_EQ(p.model.key_version, 9);
  EXPECT_EQ(p.model.key, *korvel::cipher::parse_key("0f1e2d3c4b5a69788796a5b4c3d2e1f0"));
  EXPECT_EQ(p.model.reply_delay_us, 15000u);
  EXPECT_EQ(p.model.work_ms, (std::map<uint8_t, uint32_t>{{3, 25}, {4, 1}, {5, 5}}));
  EXPECT_TRUE(p.exit_on_goto);
  EXPECT_TRUE(p.model.trace);
  EXPECT_EQ(p.dump, "/tmp/x.bin");
  EXPECT_TRUE(p.force);
  const Faults& f = p.model.faults;
  ASSERT_EQ(f.refuse.size(), 4u);
  for (const auto& [i, code, nth, error] : {std::tuple{0, 3, 2u, 0xE1}, {3, 4, 12u, 0xE2}})
    EXPECT_EQ(std::tuple(int{f.refuse[i].code}, f.refuse[i].nth, int{f.refuse[i].error}),
              std::tuple(code, nth, error));
  EXPECT_EQ(f.drop_reply, (std::set<uint32_t>{5, 7, 8, 9}));
  EXPECT_EQ(f.delay_ms, (std::map<uint32_t, uint32_t>{{3, 250}}));
  EXPECT_EQ(f.wrong_address, (std::set<uint32_t>{2, 3}));
  EXPECT_EQ(*f.noise.at(4), (std::vector<uint8_t>{0xAA, 0x55, 0xFF}));
  EXPECT_EQ(f.noise.at(4), f.noise.at(5));  // one copy for the whole range
  EXPECT_EQ(f.split.size(), 2u);
  EXPECT_EQ(f.split.at(7), (std::pair<uint32_t, uint32_t>{3, 40}));
  EXPECT_EQ(f.silent_first, 2u);
  EXPECT_EQ(f.crc_answer, 0xDEADBEEFu);
  EXPECT_EQ(f.vanish_after, 10u);  // a leading 0 is no octal marker
}

TEST(CommandLine, BadOptionsAndValuesAreRefused) {
  // Cases split at commas, their arguments at spaces.
  const std::string all =
      "--bogus,--netnum,--netnum x,--netnum -1,--netnum 12abc,--key-version 256,--key 0011,"
      "--reply-delay-ms 60001,--refuse 3:2,--refuse 0x100:1:0xE1,--refuse 3:0:0xE1,"
      "--drop-reply 0,--drop-reply 5-3,--drop-reply 1-2-3,--drop-reply 1-1000000,"
      "--delay-reply 3,--noise 1:abc,--noise 1:zz,--noise 1:,--split 1:0:5,--split 1:7:5,"
      "--silent=,--crc-answer 123456789,--crc-answer 0x0x1,--refuse 3:1:G1,--vanish-after 0,"
      "--work-ms erase,--work-ms flash=3,--work-ms write=60001,--exit-on-goto=1,stray";
  for (const std::string& c : split(all, ',')) {
    SCOPED_TRACE(c);
    const ParseResult r = parse(split(c, ' '));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(split(split(c, ' ')[0], '=')[0]), std::string::npos) << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos);
  }
  EXPECT_EQ(parse({"--help=x"}).error, "option --help takes no value");
  EXPECT_EQ(parse({"--bogus=3"}).error, "unknown option --bogus (see --help)");
}

}  // namespace
}  // namespace zemlot
