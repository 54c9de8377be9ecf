// Replays a fuzz target's corpus folders without libFuzzer, so that the ordinary build (g++,
// with or without the sanitizers) runs every seed and every input that once broke an
// invariant. A broken invariant aborts; no input at all is a failure too.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& e : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream f(e.path(), std::ios::binary);
      ++replayed;
      const std::vector<char> in{std::istreambuf_iterator<char>(f), {}};
      std::fprintf(stderr, "replaying %s\n", e.path().c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  return replayed == 0;
}
