// Container loading from any file bytes, of any size: the loader's own path, a file by name.
#include <cstring>

#include "capture_console.h"
#include "container/container.h"
#include "fuzz_support.h"
#include "wire/crc32.h"
#include "wire/endian.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20))
    return -1;
  static fuzz::ScratchFile file;
  file.set(data, size);
  testing::CaptureConsole con;
  Container c;
  Verdict verdict = Verdict::Good;
  const int rc = load_container(con, file.path.c_str(), c, verdict);
  if (size < sizehead) {
    FUZZ_CHECK(rc == 2 && verdict == Verdict::Bad && c.buff_BIN.data() == nullptr);
  } else {
    const size_t payload = size - sizehead;
    FUZZ_CHECK(rc == 0 && c.sizefile_cct == size && c.sizefile_bin == payload);
    FUZZ_CHECK(payload == 0 || std::memcmp(c.buff_BIN.data(), data + sizehead, payload) == 0);
    FUZZ_CHECK(fuzz::read_is_caught(c.buff_BIN.data() + payload));
    const uint32_t crc = crc32(data + sizehead, static_cast<uint32_t>(payload));
    const bool good = load_le32(data + 4 * kHeadCrcBin) == crc;
    FUZZ_CHECK(c.calc_crc_BIN == crc && (verdict == Verdict::Good) == good);
  }
  release_container(con, c);
  FUZZ_CHECK(c.fpi == nullptr && con.out.ends_with("Криптоконтейнер закрыт\n"));
  return 0;
}
