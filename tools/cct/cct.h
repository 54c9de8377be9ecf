#pragma once
// The logic behind the container tool: examining a container file and making one from a
// plain image. main.cpp only turns arguments into these calls and exit statuses.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stand_in_cipher.h"
#include "wire/container_format.h"
#include "wire/protocol.h"

namespace korvel::cct {

inline constexpr uint32_t kAppAreaBytes = kAppPages * PAGE_SIZE;
inline constexpr uint32_t kDefaultCreatorVersion = 1;
// Payload sizes are 32-bit everywhere downstream, so a file this big cannot be a container.
inline constexpr uint64_t kTooLargeFileBytes = uint64_t{1} << 32;

// "YYYY-MM-DDTHH:MM:SSZ" in UTC, independent of the local time zone and of time_t's width.
std::string iso8601_utc(int32_t unix_time);

// The text with control bytes shown as \xNN, so that a hostile file name cannot break the
// one-item-per-line output.
std::string printable(std::string_view text);

struct Facts {
  ContainerHeader header;
  uint64_t file_size = 0;
  uint32_t payload_size = 0;
  uint32_t payload_crc = 0;  // computed over the payload as stored

  bool crc_matches() const { return payload_crc == header.crc_BIN; }
  uint32_t blocks() const { return whole_blocks(payload_size); }
  uint32_t pages() const { return pages_needed(payload_size); }
  uint32_t tail_bytes() const { return payload_size & (BLOCK_SIZE - 1); }
  bool fits() const { return payload_size <= kAppAreaBytes; }
  bool sound() const { return crc_matches() && fits() && payload_size != 0; }
};

// Opens without blocking (a FIFO or a terminal must never hang us) and reads the file in
// pieces instead of allocating its size. Fails, with a one-line reason, on anything that is
// not a regular file between 64 bytes and 4 GiB, and on a file whose size changes while it
// is read. The reason does not repeat the path.
std::optional<Facts> examine_file(const std::string& path, std::string* why);

// The report of `cct info`: "key: value" lines, each ending in '\n'.
std::string format_report(std::string_view name, const Facts& in);

struct BuiltContainer {
  std::vector<uint8_t> bytes;  // header followed by the enciphered payload
  ContainerHeader header;
  uint32_t image_size = 0;
  uint32_t padding = 0;  // 0xFF bytes appended to reach a multiple of 8
};

// Pads, checksums and enciphers in memory; the image must not exceed kAppAreaBytes.
BuiltContainer build_container(std::vector<uint8_t> image, const cipher::Key& key,
                               uint32_t creator_version, int32_t timestamp);

struct MakeRequest {
  std::string in;
  std::string out;
  cipher::Key key = cipher::kDefaultKey;
  bool default_key = true;
  uint32_t creator_version = kDefaultCreatorVersion;
  int32_t timestamp = 0;
  bool force = false;
  bool allow_tail = false;  // pad an image that is not a multiple of 8 instead of refusing it
};

// Reads the image, builds the container and puts it in place through a temporary file in
// the output's directory, so the output is either the old file or the complete new one.
// Refuses an empty image, an image with a partial last block unless allow_tail, and an
// output that exists and is not a regular file.
// The reason for a failure starts with the path it concerns.
std::optional<BuiltContainer> make_container(const MakeRequest& req, std::string* why);

// The lines `cct make` prints after a successful run.
std::string format_summary(const MakeRequest& req, const BuiltContainer& built);

// Strict number parsing for the command line: no signs where none belong, no spaces, no
// trailing characters, no silent wrap-around.
std::optional<uint32_t> parse_u32(std::string_view text);  // decimal or 0x-prefixed hex
std::optional<int32_t> parse_i32(std::string_view text);   // decimal, optional '-'

}  // namespace korvel::cct
