// Container loading from arbitrary file bytes: the loader's own code path, through a file it
// opens by name, with every size from an empty file up.
#include <algorithm>
#include <cstring>

#include "capture_console.h"
#include "container/container.h"
#include "fuzz_support.h"
#include "lib/endian.h"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A container's size is a 32-bit count; nothing near that is worth a fuzzer's time.
  if (size > (1u << 20))
    return -1;
  static fuzz::ScratchFile file;
  file.set(data, size);

  testing::CaptureConsole con;
  Container c;
  Verdict verdict = Verdict::Good;
  const int rc = load_container(con, file.path(), c, verdict);

  if (size < sizehead) {
    // The payload size would wrap to nearly 4 GiB: refused before anything is read.
    FUZZ_CHECK(rc == 2);
    FUZZ_CHECK(verdict == Verdict::Bad);
    FUZZ_CHECK(!c.buff_BIN);
    FUZZ_CHECK(con.out.find("Error malloc firmware.bin file!\n") != std::string::npos);
  } else {
    const size_t payload = size - sizehead;
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(c.sizefile_cct == size);
    FUZZ_CHECK(c.sizefile_bin == payload);
    FUZZ_CHECK(c.resread == payload);
    FUZZ_CHECK(c.buff_BIN && c.buff_CCT && c.buff_head);
    FUZZ_CHECK(std::memcmp(c.buff_CCT.get(), data, size) == 0);
    FUZZ_CHECK(payload == 0 || std::memcmp(c.buff_BIN, data + sizehead, payload) == 0);
    for (int i = 0; i < kHeadWords; ++i)
      FUZZ_CHECK((*c.buff_head)[i] == load_le32(data + 4 * i));
    // The buffers hold the file and not a byte more, so a read past the payload during the
    // dialogue is stopped by AddressSanitizer rather than passing unseen.
    FUZZ_CHECK(fuzz::read_is_caught(c.buff_BIN + payload));
    FUZZ_CHECK(fuzz::read_is_caught(c.buff_CCT.get() + size));

    const uint32_t crc = fuzz::reference_crc32(data + sizehead, payload);
    FUZZ_CHECK(c.calc_crc_BIN == crc);
    const bool good = load_le32(data + 4 * kHeadCrcBin) == crc;
    FUZZ_CHECK((verdict == Verdict::Good) == good);
    if (good) {
      FUZZ_CHECK(c.numloadblocs == payload / 8);
      FUZZ_CHECK(c.numpageerase == (payload + 1023) / 1024);
      FUZZ_CHECK(con.out.find("Контрольная сумма совпала\n") != std::string::npos);
    } else {
      // Nothing is counted for a file that failed its check: the dialogue never starts.
      FUZZ_CHECK(c.numloadblocs == 0 && c.numpageerase == 0);
      FUZZ_CHECK(con.out.find("Контрольная сумма не совпала! Проверьте целостность файла") !=
                 std::string::npos);
    }
    const std::string read_line = "Прочитано из firmware.bin: " + std::to_string(payload) + "\n";
    FUZZ_CHECK(con.out.find(read_line) != std::string::npos);
    FUZZ_CHECK(con.out.find("Файл .cct: создан ") != std::string::npos);
  }
  FUZZ_CHECK(con.err.empty());

  // The file is let go on every path, or thousands of runs would run out of descriptors.
  release_container(con, c);
  FUZZ_CHECK(c.fpi == nullptr);
  FUZZ_CHECK(con.out.size() >= std::strlen("Криптоконтейнер закрыт\n"));
  FUZZ_CHECK(con.out.compare(con.out.size() - std::strlen("Криптоконтейнер закрыт\n"),
                             std::string::npos, "Криптоконтейнер закрыт\n") == 0);
  return 0;
}
