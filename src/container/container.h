#pragma once
// The container file as the loader holds it for a run: opened, reported on, checked,
// kept in memory for the dialogue and released at the end.
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>

#include "system/file_access.h"
#include "text/console.h"
#include "wire/container_format.h"

namespace korvel {

enum class Verdict { Good, Bad };

// The owner of the file and the buffers: whatever a run that ends early leaves held goes with the
// container, in the order of the run's end: the buffers, then the file (declared first for that).
struct Container {
  OwnedFile fpi;
  uint32_t sizefile_cct = 0;
  uint32_t sizefile_bin = 0;
  std::unique_ptr<uint8_t[]> buff_CCT;
  // The payload within buff_CCT, as a view that cannot outlive it or reach past it: a second
  // copy would double the memory a large file takes.
  std::span<const uint8_t> buff_BIN;
  ContainerHeader head;
  uint32_t calc_crc_BIN = 0;
  uint32_t numloadblocs = 0;
  uint32_t numpageerase = 0;
  uint32_t resread = 0;

  uint32_t creator_version() const { return head.creator_version; }
  uint32_t crc_decrypted() const { return head.crc_decrypted; }
  uint32_t crc_BIN() const { return head.crc_BIN; }
  int32_t UNIXtimestamp() const { return head.UNIXtimestamp; }
};

// Opens and reports on `FileCC`. 0 with a verdict, or the exit status that ends the run
// (its message printed).
int load_container(Console& con, const char* FileCC, Container& c, Verdict& verdict);

// The run's end: frees the buffers and closes the file, with the closing lines.
void release_container(Console& con, Container& c);

// The 25-character creation text ("Sun Dec 06 19:59:42 2026\n") of a broken-down local
// time, or a placeholder line when the time could not be converted (tm is null).
void format_creation_time(const std::tm* tm, int32_t timestamp, char out[64]);

}  // namespace korvel
