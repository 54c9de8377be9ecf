#pragma once
// The dialogue with the bootloader: one state, driven one exchange per pass of a loop.
#include <cstdint>

#include "app/run_config.h"
#include "container/container.h"
#include "exchange/frames.h"
#include "system/clock.h"
#include "system/serial_port.h"
#include "text/console.h"
#include "wire/protocol.h"

namespace korvel {

enum state_e {
  READ_FILE = 0,
  FILE_BAD = 1,
  ACTIVATION_SEARCH = 2,
  GET_BLID = 3,
  GET_KEYID = 4,
  MANUAL_COMMAND_WAIT = 5,
  UNBLOCK_FLASH = 6,
  ERASE_PAGE = 7,
  ERASE_PAGE_ERR = 8,
  WRITE_BLOCK = 9,
  WRITE_BLOCK_ERR = 10,
  GET_CRC = 11,
  GOTO_APPLICATION = 12,
  EXIT = 13,
  // KORVEL_COMPARE: the device's checksum of what it holds, asked for after the key version.
  COMPARE_IMAGE = 14,
};

enum port_e { STOP = 0, START = 1 };

// How the dialogue ended, for the detailed exit statuses.
enum class Ending {
  None,
  InfoRead,
  Programmed,
  Declined,          // the operator's "N", or the end of the input
  ContainerDamaged,  // nothing sent
  ImageRefused,      // too large for the flash, or no whole block: nothing erased
  BlockRefused,
  BlockGarbled,  // a block's reply that did not pass, or none
  ChecksumDiffers,
  StartUnconfirmed,   // programmed and checked, the jump never confirmed
  ImageDiffers,       // KORVEL_COMPARE, information mode: the device holds another image
  CompareImpossible,  // KORVEL_COMPARE: the device refused the query or did not answer it
};

// How often the comparison's query goes out unanswered before the run goes on without it.
constexpr uint32_t kCompareAttempts = 10;

// How often the jump goes out unconfirmed before the run ends without its confirmation.
constexpr uint32_t kGotoAttempts = 10;
// The most KORVEL_RESEND asks for.
constexpr uint32_t kMaxResend = 10;

struct Engine {
  state_e state = READ_FILE;
  port_e txc = STOP;
  port_e rxc = STOP;
  int32_t txcount = 0;
  char keyget[2] = {0, 0};
  uint32_t erasepage = kBootloaderPages;  // the first page of the application
  uint32_t writeblock = 0;
  // Whether the send part of the current pass put a frame on the wire (the exchange's flight
  // says which), so that an erase that goes unconfirmed is sent again for the same page.
  bool sent_this_pass = false;
  bool erase_entered = false;
  uint32_t goto_unconfirmed = 0;    // jump frames sent without a confirmation
  uint32_t compare_unanswered = 0;  // comparison queries sent without an answer
  // The block being written: how often it was sent again, and whether an earlier copy may be
  // in flash already (its reply did not pass, did not come, or could not be read).
  uint32_t resends = 0;
  bool block_in_doubt = false;
  Ending ending = Ending::None;
};

struct Dialogue {
  Console& con;
  Clock& clock;
  SerialPort& port;
  const RunConfig& cfg;
  const Container& container;
  Exchange exchange{};
  Engine engine{};
};

// Runs passes until the dialogue is over. Returns 0, or the exit status of a failure that
// ends the run (a command frame that could not be written).
int run_dialogue(Dialogue& d, Verdict verdict);

// One pass: the send part, the receive part, then the handlers in their fixed order.
int dialogue_pass(Dialogue& d);

}  // namespace korvel
