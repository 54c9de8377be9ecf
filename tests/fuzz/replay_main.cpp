// Replays corpus folders without libFuzzer (a broken invariant aborts); no input at all fails.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i)
    for (const auto& e : std::filesystem::directory_iterator(argv[i])) {
      std::fprintf(stderr, "replaying %s\n", e.path().c_str());
      std::ifstream f(e.path(), std::ios::binary);
      const std::string in{std::istreambuf_iterator<char>(f), {}};
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
      ++replayed;
    }
  std::printf("%d inputs replayed\n", replayed);
  return replayed == 0;
}
