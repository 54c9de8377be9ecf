// Runs a fuzz target over folders of inputs without libFuzzer, so that the ordinary build (g++,
// with or without the sanitizers) replays the committed corpus: every seed and every input
// that once broke an invariant. A broken invariant aborts; no input at all is a failure too.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& e : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream f(e.path(), std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(f), {}};
      std::fprintf(stderr, "replaying %s (%zu bytes)\n", e.path().c_str(), bytes.size());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  return replayed == 0 ? 1 : 0;
}
