// Container loading from arbitrary file bytes: the loader's own code path, through a file it
// opens by name, with every size from an empty file up.
#include <cstring>

#include "capture_console.h"
#include "container/container.h"
#include "fuzz_support.h"
#include "lib/crc32.h"
#include "lib/endian.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20))  // a 32-bit count; nothing near that is worth a fuzzer's time
    return -1;
  static fuzz::ScratchFile file;
  file.set(data, size);
  testing::CaptureConsole con;
  Container c;
  Verdict verdict = Verdict::Good;
  const int rc = load_container(con, file.path.c_str(), c, verdict);
  if (size < sizehead) {
    // The payload size would wrap to nearly 4 GiB: refused before anything is read.
    FUZZ_CHECK(rc == 2 && verdict == Verdict::Bad && !c.buff_BIN);
    FUZZ_CHECK(con.out.find("Error malloc firmware.bin file!\n") != std::string::npos);
  } else {
    const size_t payload = size - sizehead;
    FUZZ_CHECK(rc == 0 && c.sizefile_cct == size && c.sizefile_bin == payload);
    FUZZ_CHECK(payload == 0 || std::memcmp(c.buff_BIN, data + sizehead, payload) == 0);
    for (int i = 0; i < kHeadWords; ++i)
      FUZZ_CHECK((*c.buff_head)[i] == load_le32(data + 4 * i));
    // The payload ends where the file does, so a read past it is stopped.
    FUZZ_CHECK(fuzz::read_is_caught(c.buff_BIN + payload));
    const uint32_t crc = crc32(data + sizehead, static_cast<uint32_t>(payload));
    const bool good = load_le32(data + 4 * kHeadCrcBin) == crc;
    FUZZ_CHECK(c.calc_crc_BIN == crc && (verdict == Verdict::Good) == good);
    // Nothing is counted for a file that failed its check: the dialogue never starts.
    FUZZ_CHECK(c.numloadblocs == (good ? payload / 8 : 0));
    FUZZ_CHECK(c.numpageerase == (good ? (payload + 1023) / 1024 : 0));
  }
  FUZZ_CHECK(con.err.empty());
  // The file is let go on every path, or thousands of runs would run out of descriptors.
  release_container(con, c);
  FUZZ_CHECK(c.fpi == nullptr && con.out.ends_with("Криптоконтейнер закрыт\n"));
  return 0;
}
