// Runs a fuzz target over files and folders of inputs without libFuzzer, so that the ordinary
// build (g++, with or without the sanitizers) replays the committed corpus and every input
// that once broke an invariant. A broken invariant aborts; no input at all is a failure too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path p = argv[i];
    if (fs::is_directory(p)) {
      for (const auto& e : fs::directory_iterator(p)) {
        if (e.is_regular_file())
          inputs.push_back(e.path());
      }
    } else if (fs::is_regular_file(p)) {
      inputs.push_back(p);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& p : inputs) {
    std::ifstream f(p, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(f),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", p.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
