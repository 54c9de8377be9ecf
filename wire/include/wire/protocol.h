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

// "CMD_ERASE_PAGE" for a command code, nullptr for any other byte.
constexpr const char* command_name(uint8_t code) {
  switch (code) {
    case CMD_ACTIVATE:
      return "CMD_ACTIVATE";
    case CMD_UNBLOCK_FLASH:
      return "CMD_UNBLOCK_FLASH";
    case CMD_ERASE_PAGE:
      return "CMD_ERASE_PAGE";
    case CMD_WRITE_BLOCK:
      return "CMD_WRITE_BLOCK";
    case CMD_GET_CRC:
      return "CMD_GET_CRC";
    case CMD_GOTO_APPLICATION:
      return "CMD_GOTO_APPLICATION";
    case CMD_GET_BLID:
      return "CMD_GET_BLID";
    case CMD_GET_KEYID:
      return "CMD_GET_KEYID";
    default:
      return nullptr;
  }
}

constexpr bool is_command_code(uint8_t code) {
  return command_name(code) != nullptr;
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
