// Fault runs: the real loader against the real emulator on a pseudo-terminal, with the
// emulator's fault options standing in for a noisy line, a slow or absent device, refusals,
// an adapter pulled out, and a container file changed under a running loader.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kEnv = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "TZ=UTC"};
constexpr int kRunTimeoutMs = 60000;
constexpr uint32_t kAppOffset = 0x1000;  // 0x08001000 in the dumped flash

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The number after "name " on the emulator's summary line "commands: activate 1, ...".
int command_count(const std::string& sim_out, const std::string& name) {
  const size_t line = sim_out.find("commands: ");
  if (line == std::string::npos)
    return -1;
  const size_t at = sim_out.find(" " + name + " ", line);
  if (at == std::string::npos)
    return -1;
  return std::stoi(sim_out.substr(at + name.size() + 2));
}

// A number on the summary line that starts with `key`, e.g. "pages erased: 2 (...)".
int summary_number(const std::string& sim_out, const std::string& key) {
  const size_t at = sim_out.find("\n" + key + ": ");
  if (at == std::string::npos)
    return -1;
  return std::stoi(sim_out.substr(at + key.size() + 3));
}

// The emulator's trace, in order: "E4" for an erase of page 4, "W0" for a write of block 0,
// "R" after a frame that was refused.
std::vector<std::string> flash_trace(const std::string& sim_out) {
  std::vector<std::string> events;
  size_t pos = 0;
  while (pos < sim_out.size()) {
    size_t end = sim_out.find('\n', pos);
    if (end == std::string::npos)
      end = sim_out.size();
    const std::string line = sim_out.substr(pos, end - pos);
    pos = end + 1;
    if (size_t at = line.find(" CMD_ERASE_PAGE page "); at != std::string::npos)
      events.push_back("E" + std::to_string(std::stoi(line.substr(at + 21))));
    else if (size_t at = line.find(" CMD_WRITE_BLOCK block "); at != std::string::npos)
      events.push_back("W" + std::to_string(std::stoi(line.substr(at + 23))));
    else if (line.rfind("<- ", 0) == 0 && line.find(" refused: ") != std::string::npos)
      events.push_back("R");
  }
  return events;
}

// A measurement for the test's log and its XML report.
void note(const char* key, long long value) {
  ::testing::Test::RecordProperty(key, std::to_string(value));
  std::printf("%s: %lld\n", key, value);
}

struct Outcome {
  int status = -1;
  std::string out, err;  // the loader's
  std::string sim;       // the emulator's output after the terminal's name: trace and summary
  long long ms = 0;      // the loader's run time
};

class FaultRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvel-faults-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    sim_.reset();
    fs::remove_all(dir_);
  }

  // A plain image of `size` bytes of a pattern picked by `seed`, and its container made by
  // the container tool.
  std::string make_container(size_t size, const std::string& name, int seed = 0) {
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i)
      image[i] = static_cast<char>((i * 29 + 5 + seed * 101) ^ (i >> 7));
    const std::string in = dir_ + "/" + name + ".bin", out = dir_ + "/" + name;
    write_file(in, image);
    Child cct({CCT_PATH, "make", "--in", in, "--out", out, "--time", "1765051182"}, kEnv);
    EXPECT_EQ(cct.wait(10000), 0) << cct.err;
    images_[out] = image;
    return out;
  }

  std::string image_of(const std::string& container) { return images_[container]; }

  // Starts the emulator with a flash dump at its end; returns the terminal's path.
  std::string start_sim(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {ZEMLOT_SIM_PATH, "--dump", dump_path()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<Child>(argv, kEnv);
    const std::string pty = sim_->read_line(5000);
    EXPECT_EQ(pty.rfind("/dev/", 0), 0u) << "emulator gave no terminal: " << sim_->err;
    return pty;
  }

  std::string dump_path() const { return dir_ + "/flash.bin"; }

  // Ends the emulator: it ends by itself after the jump with --exit-on-goto, else on SIGTERM.
  std::string stop_sim(bool by_itself) {
    if (!by_itself)
      sim_->signal(SIGTERM);
    EXPECT_EQ(sim_->wait(10000), 0) << sim_->err;
    return sim_->out;
  }

  // One programming run answered "Y", with the emulator's options; the emulator is stopped
  // afterwards and its output kept.
  Outcome program(const std::string& container, const std::vector<std::string>& sim_options) {
    const bool exits =
        std::find(sim_options.begin(), sim_options.end(), "--exit-on-goto") != sim_options.end();
    const std::string pty = start_sim(sim_options);
    Outcome o;
    const long long start = now_ms();
    Child korvel({KORVEL_PATH, pty, "1", container, "P"}, kEnv);
    korvel.write_input("Y\n");
    korvel.close_input();
    o.status = korvel.wait(kRunTimeoutMs);
    o.ms = now_ms() - start;
    o.out = korvel.out;
    o.err = korvel.err;
    // A run that ended before the jump leaves the emulator waiting for a signal.
    o.sim = stop_sim(exits && o.out.find("Подтверждение получено") != std::string::npos);
    return o;
  }

  // The application area of the dumped flash holds exactly this image.
  void expect_flash_holds(const std::string& image) {
    const std::string flash = read_file(dump_path());
    ASSERT_EQ(flash.size(), 64u * 1024u);
    EXPECT_TRUE(flash.compare(kAppOffset, image.size(), image) == 0)
        << "the device does not hold the image";
  }

  std::string dir_;
  std::map<std::string, std::string> images_;
  std::unique_ptr<Child> sim_;
};

// --- the dialogue recovers and programs the device ---

struct Recovery {
  const char* name;
  std::vector<std::string> faults;
  const char* command;  // the command that must have gone out more than once
  int at_least;         // how many times
  const char* shown;    // a text of the loader's that the fault brings about
};

void PrintTo(const Recovery& r, std::ostream* os) {
  *os << r.name;
}

class Recovers : public FaultRun, public ::testing::WithParamInterface<Recovery> {};

TEST_P(Recovers, AndProgramsTheDevice) {
  const Recovery& c = GetParam();
  const std::string cct = make_container(64, "boot.cct");
  std::vector<std::string> options = {"--exit-on-goto"};
  options.insert(options.end(), c.faults.begin(), c.faults.end());
  const Outcome o = program(cct, options);
  note("loader_ms", o.ms);

  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("Подтверждение получено\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find(c.shown), std::string::npos) << o.out;
  // The fault did bite: the loader had to ask again.
  EXPECT_GE(command_count(o.sim, c.command), c.at_least) << o.sim;
  EXPECT_NE(o.sim.find("application started: yes"), std::string::npos) << o.sim;
  expect_flash_holds(image_of(cct));
}

// Frames: 1 activate, 2 blid, 3 keyid, 4 unblock, 5-6 erase, 7.. blocks.
INSTANTIATE_TEST_SUITE_P(FaultRuns, Recovers,
                         ::testing::Values(Recovery{"NoiseByteBeforeAReply",
                                                    {"--noise", "2:55"},
                                                    "get_blid",
                                                    2,
                                                    "Идет запрос версии бутлоадера (2)\r"},
                                           Recovery{"LateReply",
                                                    {"--delay-reply", "3:150"},
                                                    "get_keyid",
                                                    2,
                                                    "Идет запрос версии шифроключа (3)\r"},
                                           Recovery{"ReplySplitByALongGap",
                                                    {"--split", "3:3:150"},
                                                    "get_keyid",
                                                    2,
                                                    "Идет запрос версии шифроключа (3)\r"},
                                           Recovery{"RepliesForAnotherAddressForAWhile",
                                                    {"--wrong-address", "1-5"},
                                                    "activate",
                                                    6,
                                                    "Идет поиск бутлоадера (5)\r"},
                                           Recovery{"DeviceSilentForAWhile",
                                                    {"--silent", "8"},
                                                    "activate",
                                                    1,
                                                    "Идет поиск бутлоадера (8)\r"}),
                         [](const ::testing::TestParamInfo<Recovery>& info) {
                           return std::string(info.param.name);
                         });

// --- refusals ---

TEST_F(FaultRun, RefusedEraseIsSentAgainForTheSamePage) {
  // One page: erases 4, 4 (refused), then 4 again, twice, as the loader counts them.
  const std::string cct = make_container(64, "boot.cct");
  const Outcome o = program(cct, {"--exit-on-goto", "--trace", "--refuse", "3:2:0xE7"});
  note("loader_ms", o.ms);
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("Ошибка стирания E7\n"), std::string::npos) << o.out;
  const auto trace = flash_trace(o.sim);
  const auto refused = std::find(trace.begin(), trace.end(), "R");
  ASSERT_NE(refused, trace.end());
  ASSERT_GE(refused - trace.begin(), 1);
  ASSERT_NE(refused + 1, trace.end());
  EXPECT_EQ(*(refused + 1), *(refused - 1)) << "the refused page was not sent again";
  EXPECT_NE(o.out.find("Подтверждение получено\n"), std::string::npos) << o.out;
  expect_flash_holds(image_of(cct));
}

TEST_F(FaultRun, RefusedEraseOfALaterPageStillErasesItBeforeAnyBlock) {
  // Two pages, the first erase of page 5 refused. The run is cut short by a refused block
  // once the block phase has begun: the order of erases and writes is what is looked at
  // here, and a whole 1 KB image would take most of a minute.
  const std::string cct = make_container(1032, "boot.cct");
  const Outcome o = program(cct, {"--trace", "--refuse", "3:3:0xE7", "--refuse", "4:3:0xE9"});
  note("loader_ms", o.ms);
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  const auto trace = flash_trace(o.sim);
  // The refusal answers the first erase of page 5, and page 5 goes out again next.
  const auto refused = std::find(trace.begin(), trace.end(), "R");
  ASSERT_NE(refused, trace.end()) << o.sim;
  ASSERT_NE(refused, trace.begin());
  EXPECT_EQ(*(refused - 1), "E5") << o.sim;
  ASSERT_NE(refused + 1, trace.end());
  EXPECT_EQ(*(refused + 1), "E5") << o.sim;
  // Every erase comes before the first block.
  const auto first_write =
      std::find_if(trace.begin(), trace.end(), [](const std::string& e) { return e[0] == 'W'; });
  ASSERT_NE(first_write, trace.end()) << o.sim;
  EXPECT_EQ(
      std::find_if(first_write, trace.end(), [](const std::string& e) { return e[0] == 'E'; }),
      trace.end())
      << o.sim;
  EXPECT_EQ(*first_write, "W0");
  EXPECT_EQ(summary_number(o.sim, "pages erased"), 2) << o.sim;
}

TEST_F(FaultRun, RefusedBlockEndsTheRunWithoutACrcQuery) {
  const std::string cct = make_container(64, "boot.cct");
  const Outcome o = program(cct, {"--refuse", "4:2:0xE9"});
  note("loader_ms", o.ms);
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  const size_t failed = o.out.find("Ошибка записи E9 в блоке 1\n");
  ASSERT_NE(failed, std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("CRC-32 расшифрованного", failed), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("Программа закрыта\n", failed), std::string::npos) << o.out;
  EXPECT_EQ(command_count(o.sim, "write_block"), 2) << o.sim;
  EXPECT_EQ(command_count(o.sim, "get_crc"), 0) << o.sim;
  EXPECT_EQ(command_count(o.sim, "goto_application"), 0) << o.sim;
}

// --- the line goes away ---

TEST_F(FaultRun, LineGoneDuringTheBlockPhaseEndsWithWriteError) {
  // Replies 7 to 9 answer blocks 0 to 2; the emulator closes the line after the 9th.
  const std::string cct = make_container(256, "boot.cct");
  const std::string pty = start_sim({"--trace", "--vanish-after", "9"});
  const long long start = now_ms();
  Child korvel({KORVEL_PATH, pty, "1", cct, "P"}, kEnv);
  korvel.write_input("Y\n");
  korvel.close_input();

  long long closed_at = -1;
  while (closed_at < 0 && now_ms() - start < kRunTimeoutMs) {
    if (sim_->read_line(100) == "-- line closed")
      closed_at = now_ms();
  }
  ASSERT_GE(closed_at, 0) << "the emulator never closed the line: " << sim_->out;
  const int status = korvel.wait(kRunTimeoutMs);
  const long long ended_at = now_ms();
  note("ended_ms_after_the_line_closed", ended_at - closed_at);

  EXPECT_EQ(status, 1) << korvel.out << korvel.err;
  EXPECT_NE(korvel.err.find("Write error\n"), std::string::npos) << korvel.err;
  EXPECT_EQ(korvel.out.find("Программа закрыта"), std::string::npos) << korvel.out;
  // Within a second of the line going, with room for a loaded machine.
  EXPECT_LT(ended_at - closed_at, 1000);
  const std::string sim = stop_sim(false);
  EXPECT_EQ(command_count(sim, "write_block"), 3) << sim;
}

// --- the container file changes under a running loader ---

struct Replacement {
  const char* name;
  bool remove;  // removed, or rewritten in place with another image's container
};

void PrintTo(const Replacement& r, std::ostream* os) {
  *os << r.name;
}

class ContainerChanged : public FaultRun, public ::testing::WithParamInterface<Replacement> {};

TEST_P(ContainerChanged, TheImageReadAtTheStartIsProgrammed) {
  const std::string cct = make_container(64, "boot.cct", 1);
  const std::string other = make_container(64, "other.cct", 2);
  ASSERT_NE(image_of(cct), image_of(other));
  const std::string pty = start_sim({"--exit-on-goto"});
  Child korvel({KORVEL_PATH, pty, "1", cct, "P"}, kEnv);

  // The loader waits at its prompt, well into the dialogue, until it is answered.
  std::string seen;
  const long long start = now_ms();
  while (seen.find("Для программирования введите Y") == std::string::npos &&
         now_ms() - start < 20000) {
    const std::string line = korvel.read_line(50);
    seen += line.empty() ? "" : line + "\n";
    if (korvel.out.find("Для программирования введите Y") != std::string::npos)
      break;
  }
  ASSERT_NE((seen + korvel.out).find("Для программирования введите Y"), std::string::npos)
      << seen << korvel.out << korvel.err;

  if (GetParam().remove)
    ASSERT_TRUE(fs::remove(cct));
  else
    write_file(cct, read_file(other));  // same inode, other bytes
  korvel.write_input("Y\n");
  korvel.close_input();

  EXPECT_EQ(korvel.wait(kRunTimeoutMs), 0) << korvel.out << korvel.err;
  EXPECT_NE(korvel.out.find("Подтверждение получено\n"), std::string::npos) << korvel.out;
  stop_sim(true);
  expect_flash_holds(image_of(cct));
}

INSTANTIATE_TEST_SUITE_P(FaultRuns, ContainerChanged,
                         ::testing::Values(Replacement{"RewrittenWithOtherBytes", false},
                                           Replacement{"Removed", true}),
                         [](const ::testing::TestParamInfo<Replacement>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvel::testing
