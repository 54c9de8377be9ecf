#include "cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zemlot {
namespace {

ParseResult parse(std::vector<std::string> args) {
  args.insert(args.begin(), "zemlot-sim");
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(args.size()), argv.data());
}

TEST(CommandLine, Defaults) {
  const ParseResult r = parse({});
  ASSERT_TRUE(r.ok) << r.error;
  const ProgramOptions& p = r.options;
  EXPECT_FALSE(p.port);
  EXPECT_TRUE(p.pacing);
  EXPECT_EQ(p.model.netnum, 1);
  EXPECT_EQ(p.model.bootloader_version, 2u);
  EXPECT_EQ(p.model.key_version, 3);
  EXPECT_EQ(p.model.key, korvel::cipher::kDefaultKey);
  EXPECT_EQ(p.model.reply_delay_us, 2000u);
  EXPECT_FALSE(p.model.trace);
  EXPECT_FALSE(p.exit_on_goto);
}

TEST(CommandLine, DeviceAndProgramOptions) {
  const ParseResult r =
      parse({"--port", "/dev/ttyUSB1", "--no-pacing", "--netnum", "0x1f4", "--blid=7",
             "--key-version", "9", "--key", "0f1e2d3c4b5a69788796a5b4c3d2e1f0", "--reply-delay-ms",
             "15", "--exit-on-goto", "--trace", "--dump", "/tmp/x.bin"});
  ASSERT_TRUE(r.ok) << r.error;
  const ProgramOptions& p = r.options;
  EXPECT_EQ(p.port, "/dev/ttyUSB1");
  EXPECT_FALSE(p.pacing);
  EXPECT_EQ(p.model.netnum, 500);
  EXPECT_EQ(p.model.bootloader_version, 7u);
  EXPECT_EQ(p.model.key_version, 9);
  EXPECT_EQ(p.model.key, *korvel::cipher::parse_key("0f1e2d3c4b5a69788796a5b4c3d2e1f0"));
  EXPECT_EQ(p.model.reply_delay_us, 15000u);
  EXPECT_TRUE(p.exit_on_goto);
  EXPECT_TRUE(p.model.trace);
  EXPECT_EQ(p.dump, "/tmp/x.bin");
}

TEST(CommandLine, FaultOptionsTakeNumbersAndRanges) {
  const ParseResult r = parse(
      {"--refuse",     "0x03:2:0xE1", "--refuse",       "4:10-12:0xe2", "--drop-reply",    "5",
       "--drop-reply", "7-9",         "--delay-reply",  "3:250",        "--wrong-address", "2-3",
       "--noise",      "4:aa55FF",    "--split",        "6-7:3:40",     "--silent",        "2",
       "--crc-answer", "DEADBEEF",    "--vanish-after", "010"});
  ASSERT_TRUE(r.ok) << r.error;
  const Faults& f = r.options.model.faults;
  ASSERT_EQ(f.refuse.size(), 4u);
  EXPECT_EQ(f.refuse[0].code, 3);
  EXPECT_EQ(f.refuse[0].nth, 2u);
  EXPECT_EQ(f.refuse[0].error, 0xE1);
  EXPECT_EQ(f.refuse[3].code, 4);
  EXPECT_EQ(f.refuse[3].nth, 12u);
  EXPECT_EQ(f.refuse[3].error, 0xE2);
  EXPECT_EQ(f.drop_reply, (std::set<uint32_t>{5, 7, 8, 9}));
  EXPECT_EQ(f.delay_ms, (std::map<uint32_t, uint32_t>{{3, 250}}));
  EXPECT_EQ(f.wrong_address, (std::set<uint32_t>{2, 3}));
  EXPECT_EQ(f.noise.at(4), (std::vector<uint8_t>{0xAA, 0x55, 0xFF}));
  EXPECT_EQ(f.split.size(), 2u);
  EXPECT_EQ(f.split.at(7), (std::pair<uint32_t, uint32_t>{3, 40}));
  EXPECT_EQ(f.silent_first, 2u);
  EXPECT_EQ(f.crc_answer, 0xDEADBEEFu);
  EXPECT_EQ(f.vanish_after, 8u);  // C notation: a leading 0 is octal
}

TEST(CommandLine, BadOptionsAndValuesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--netnum"},
      {"--netnum", "x"},
      {"--netnum", "-1"},
      {"--netnum", "12abc"},
      {"--key-version", "256"},
      {"--key", "0011"},
      {"--reply-delay-ms", "60001"},
      {"--refuse", "3:2"},
      {"--refuse", "0x100:1:0xE1"},
      {"--refuse", "3:0:0xE1"},
      {"--drop-reply", "0"},
      {"--drop-reply", "5-3"},
      {"--drop-reply", "1-2-3"},
      {"--drop-reply", "1-1000000"},
      {"--delay-reply", "3"},
      {"--noise", "1:abc"},
      {"--noise", "1:zz"},
      {"--noise", "1:"},
      {"--split", "1:0:5"},
      {"--split", "1:7:5"},
      {"--silent", ""},
      {"--crc-answer", "123456789"},
      {"--crc-answer", "xyz"},
      {"--vanish-after", "0"},
      {"stray"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c) {
      joined += a + " ";
    }
    SCOPED_TRACE(joined);
    const ParseResult r = parse(c);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.error.find('\n'), std::string::npos);
  }
  EXPECT_NE(parse({"--bogus"}).error.find("--bogus"), std::string::npos);
  EXPECT_NE(parse({"--netnum", "x"}).error.find("--netnum"), std::string::npos);
}

TEST(CommandLine, HelpDocumentsEveryOption) {
  const std::string help = usage_text();
  for (const char* name : {"--port",
                           "--no-pacing",
                           "--netnum",
                           "--blid",
                           "--key-version",
                           "--key ",
                           "--reply-delay-ms",
                           "--refuse",
                           "--drop-reply",
                           "--delay-reply",
                           "--wrong-address",
                           "--noise",
                           "--split",
                           "--silent",
                           "--crc-answer",
                           "--vanish-after",
                           "--exit-on-goto",
                           "--trace",
                           "--dump",
                           "--help",
                           "--version",
                           "0xE1",
                           "0xE2",
                           "0xE3",
                           "0xE4",
                           "0xE5"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace zemlot
