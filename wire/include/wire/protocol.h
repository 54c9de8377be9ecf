#pragma once
// The bootloader's wire format: what both ends of the line agree on.
#include <cstdint>

namespace korvel {

constexpr int kCommandFrameSize = 16;
constexpr int kReplyFrameSize = 7;

enum command_e : uint8_t {
  CMD_ACTIVATE = 0x01,
  CMD_UNBLOCK_FLASH = 0x02,
  CMD_ERASE_PAGE = 0x03,
  CMD_WRITE_BLOCK = 0x04,
  CMD_GET_CRC = 0x05,
  CMD_GOTO_APPLICATION = 0x06,
  CMD_GET_BLID = 0x10,
  CMD_GET_KEYID = 0x11,
};

// Every command with its names: the one in traces and messages, the emulator's short one for
// its options (--work-ms erase=25) and the one its summary counts it under. Scripts read those
// summaries, and the fuzz target's corpus picks commands by their place here, so the rows stay
// in the order the dialogue first sends them and the names stay as they are.
struct CommandInfo {
  uint8_t code;
  const char* name;     // CMD_ERASE_PAGE
  const char* option;   // erase
  const char* summary;  // erase_page
};

inline constexpr CommandInfo kCommands[] = {
    {CMD_ACTIVATE, "CMD_ACTIVATE", "activate", "activate"},
    {CMD_GET_BLID, "CMD_GET_BLID", "blid", "get_blid"},
    {CMD_GET_KEYID, "CMD_GET_KEYID", "keyid", "get_keyid"},
    {CMD_UNBLOCK_FLASH, "CMD_UNBLOCK_FLASH", "unblock", "unblock_flash"},
    {CMD_ERASE_PAGE, "CMD_ERASE_PAGE", "erase", "erase_page"},
    {CMD_WRITE_BLOCK, "CMD_WRITE_BLOCK", "write", "write_block"},
    {CMD_GET_CRC, "CMD_GET_CRC", "crc", "get_crc"},
    {CMD_GOTO_APPLICATION, "CMD_GOTO_APPLICATION", "goto", "goto_application"},
};

// The row of a command code, nullptr for any other byte.
constexpr const CommandInfo* find_command(uint8_t code) {
  for (const CommandInfo& c : kCommands) {
    if (c.code == code) {
      return &c;
    }
  }
  return nullptr;
}

// "CMD_ERASE_PAGE" for a command code, nullptr for any other byte.
constexpr const char* command_name(uint8_t code) {
  const CommandInfo* c = find_command(code);
  return c != nullptr ? c->name : nullptr;
}

constexpr bool is_command_code(uint8_t code) {
  return find_command(code) != nullptr;
}

// Flash map of the device.
constexpr uint32_t FLASH_BASE = 0x08000000u;
constexpr uint32_t APP_START = 0x08001000u;
constexpr uint32_t PAGE_SIZE = 1024u;
constexpr uint32_t BLOCK_SIZE = 8u;
constexpr uint32_t kFlashPages = 64u;
constexpr uint32_t kBootloaderPages = 4u;
constexpr uint32_t kAppPages = kFlashPages - kBootloaderPages;

// Command frame: address, code, 0, argument (LSB first), 8 data bytes, CRC-8 over 0..14.
// Reply frame: address, code, value (MSB first), CRC-8 over 0..5.
constexpr int kCmdAddr = 0;
constexpr int kCmdCode = 1;
constexpr int kCmdArg = 3;
constexpr int kCmdData = 7;
constexpr int kCmdCrc = 15;
constexpr int kRepAddr = 0;
constexpr int kRepCode = 1;
constexpr int kRepValue = 2;
constexpr int kRepCrc = 6;

}  // namespace korvel
