#pragma once
// Layout of a container file: a 64-byte header, little-endian words, then the enciphered
// payload. Shared by the loader and the container tool.
#include <cstdint>

#include "wire/endian.h"

namespace korvel {

constexpr uint32_t sizehead = 64;

// Word offsets inside the header.
constexpr int kHeadCreatorVersion = 0;
constexpr int kHeadCrcDecrypted = 1;
constexpr int kHeadCrcBin = 2;
constexpr int kHeadTimestamp = 6;
constexpr int kHeadWords = 16;

struct ContainerHeader {
  uint32_t creator_version = 0;
  uint32_t crc_decrypted = 0;
  uint32_t crc_BIN = 0;
  int32_t UNIXtimestamp = 0;
};

inline ContainerHeader decode_header(const uint8_t* head) {
  ContainerHeader h;
  h.creator_version = load_le32(head + 4 * kHeadCreatorVersion);
  h.crc_decrypted = load_le32(head + 4 * kHeadCrcDecrypted);
  h.crc_BIN = load_le32(head + 4 * kHeadCrcBin);
  h.UNIXtimestamp = static_cast<int32_t>(load_le32(head + 4 * kHeadTimestamp));
  return h;
}

// Writes the four fields; the caller zeroes the rest of the 64 bytes.
inline void encode_header(const ContainerHeader& h, uint8_t* head) {
  store_le32(head + 4 * kHeadCreatorVersion, h.creator_version);
  store_le32(head + 4 * kHeadCrcDecrypted, h.crc_decrypted);
  store_le32(head + 4 * kHeadCrcBin, h.crc_BIN);
  store_le32(head + 4 * kHeadTimestamp, static_cast<uint32_t>(h.UNIXtimestamp));
}

// Whole 8-byte blocks: a shorter tail never reaches the device.
inline uint32_t whole_blocks(uint32_t payload_size) {
  return payload_size >> 3;
}

// 1 KB pages, rounded up.
inline uint32_t pages_needed(uint32_t payload_size) {
  return (payload_size >> 10) + ((payload_size & 0x3FFu) != 0 ? 1u : 0u);
}

}  // namespace korvel
