#include "dialogue/dialogue.h"

#include <cstring>

namespace korvel {

namespace {

// The state's command goes out at the start of the next pass and its reply is read then.
void arm_next_command(Dialogue& d, uint8_t command, uint32_t argument) {
  d.exchange.command_tx = command;
  d.exchange.adr_tx = argument;
  d.engine.txc = START;
  d.engine.rxc = START;
}

bool confirmed(const Dialogue& d, uint8_t command) {
  return d.exchange.command_rx == command && d.exchange.rxframe == VALIDE;
}

void progress(Dialogue& d, const char* fmt) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  d.con.textf(Stream::Out, fmt, d.engine.txcount);
#pragma GCC diagnostic pop
}

bool by_reply(const Dialogue& d) {
  return d.cfg.pacing == PACING_REPLY;
}

// Under reply pacing the reply is taken as soon as it is whole, within the time the documented
// pauses and the read after them would have given the device.
Pacing pacing(const Dialogue& d, uint32_t reply_within_ms) {
  return {by_reply(d), reply_within_ms};
}

// Every frame goes out here, a state's command and a block alike. A write that fails ends the
// run (the port's holder lets go of the port): a port that fails a write has gone, and sending
// again would only spin.
int send_frame(Dialogue& d, uint32_t reply_within_ms) {
  if (send_command(d.port, d.exchange, d.cfg.netnum, d.clock, pacing(d, reply_within_ms)))
    return 0;
  d.con.text(Stream::Err, "Write error\n");
  return 1;
}

// After the versions: the information run ends, a programming run asks the operator.
void after_versions(Dialogue& d, Ending info_ending) {
  if (d.cfg.direct == PROG) {
    d.con.print_line("Информация получена успешно, программирование возможно");
    d.engine.state = MANUAL_COMMAND_WAIT;
    d.con.print("Для программирования введите Y, для выхода N  ");
  } else {
    d.con.print_line("Информация получена успешно");
    d.engine.state = EXIT;
    d.engine.ending = info_ending;
  }
}

void get_keyid(Dialogue& d) {
  arm_next_command(d, CMD_GET_KEYID, 0);
  if (confirmed(d, CMD_GET_KEYID)) {
    // The device answers its key version as an ASCII digit in the low byte.
    const int key = static_cast<int8_t>(d.exchange.data_rx & 0xFFu) - 0x30;
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Версия шифроключа %d\n", key);
    if (d.cfg.compare)
      d.engine.state = COMPARE_IMAGE;
    else
      after_versions(d, Ending::InfoRead);
  } else {
    progress(d, "Идет запрос версии шифроключа (%d)\r");
  }
  d.exchange.rxframe = INVALIDE;
}

// A bounded query: counts a frame of the command sent in this pass and not confirmed. True
// while attempts remain.
bool attempts_left(Dialogue& d, uint8_t command, uint32_t& unconfirmed, uint32_t attempts) {
  if (d.engine.sent_this_pass && d.exchange.flight.command == command)
    unconfirmed += 1;
  return unconfirmed < attempts;
}

// The checksum query as the checksum state builds it: the image's place and its size.
void arm_checksum_query(Dialogue& d) {
  arm_next_command(d, CMD_GET_CRC, APP_START);
  store_le32(&d.exchange.tx_buff[kCmdData + 4], d.container.sizefile_bin);
}

void print_received_checksum(Dialogue& d) {
  // The last letter of "расшифрованногo" is a Latin o: the text is printed byte for byte as
  // it always has been, so leave it.
  d.con.textf(Stream::Out,
              "Получена контрольная сумма расшифрованногo файла firmware.bin "
              "(CRC-32-0x4c11DB7): %x\n",
              static_cast<unsigned>(d.exchange.data_rx));
}

// The device's checksum matched: green, and the start of the application.
void checksum_matched(Dialogue& d) {
  d.con.set_color(Color::Green);
  d.con.print_line("Контрольная сумма совпала");
  d.con.print_line(RULE79);
  d.engine.state = GOTO_APPLICATION;
  d.con.print_line("Переключаем выполнение кода на пользовательскую программу");
}

void compare_impossible(Dialogue& d) {
  d.con.print(BLANK53);
  d.con.print_line("Сравнение невозможно");
  after_versions(d, Ending::CompareImpossible);
}

// KORVEL_COMPARE: a device that already holds the container's image needs no writing. A CRC-32
// match of another image is about one in four billion.
void compare_image(Dialogue& d) {
  Engine& engine = d.engine;
  // An image the loader would refuse to write (too large for the flash, or no whole block)
  // cannot be the device's: it is not asked for a checksum over a range it must refuse.
  const Container& c = d.container;
  if (c.numpageerase > kAppPages || c.numloadblocs == 0) {
    compare_impossible(d);
    return;
  }
  arm_checksum_query(d);
  if (confirmed(d, CMD_GET_CRC)) {
    print_received_checksum(d);
    const bool same = d.container.crc_decrypted() == d.exchange.data_rx;
    if (same && d.cfg.direct == PROG) {
      d.con.print_line("Образ в приборе совпадает с криптоконтейнером, запись не нужна");
      checksum_matched(d);
    } else {
      d.con.print_line(same ? "Образ в приборе совпадает с криптоконтейнером"
                            : "Образ в приборе отличается от криптоконтейнера");
      after_versions(d, same ? Ending::InfoRead : Ending::ImageDiffers);
    }
  } else if (d.exchange.rxframe == VALIDE) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Сравнение невозможно (ошибка %X)\n",
                static_cast<unsigned>(d.exchange.command_rx));
    after_versions(d, Ending::CompareImpossible);
  } else if (attempts_left(d, CMD_GET_CRC, engine.compare_unanswered, kCompareAttempts)) {
    progress(d, "Идет считывание CRC-32 расшифрованного образа(%d)\r");
  } else {
    compare_impossible(d);
  }
  d.exchange.rxframe = INVALIDE;
}

void manual_command_wait(Dialogue& d) {
  d.clock.sleep_ms(kTiming.before_answer_ms);
  const Answer a = d.con.read_answer();
  d.exchange.trace->line("answer: %s", a == Answer::Yes   ? "Y"
                                       : a == Answer::No  ? "N"
                                       : a == Answer::End ? "end of input"
                                                          : "another line, neither Y nor N");
  d.engine.keyget[0] = a == Answer::Yes ? 'Y' : a == Answer::No ? 'N' : '\0';
  if (a == Answer::Yes) {
    d.con.print_line(RULE79);
    d.con.print_line("\nРазблокируем flash память для стирания и записи");
    d.engine.state = UNBLOCK_FLASH;
  } else if (a == Answer::No || a == Answer::End) {
    // The end of input can never bring an answer: take it as a refusal, not a wait.
    d.engine.state = EXIT;
    d.engine.ending = Ending::Declined;
  }
}

// The flash map as the dialogue addresses it.
constexpr uint32_t kFirstAppPage = kBootloaderPages;
constexpr uint32_t kLastPage = kFlashPages - 1;

constexpr uint32_t page_address(uint32_t page) {
  return FLASH_BASE + page * PAGE_SIZE;
}
// The page an erase command was sent for, from the address it carried.
constexpr uint32_t page_of(uint32_t address) {
  return address / PAGE_SIZE - FLASH_BASE / PAGE_SIZE;
}
constexpr uint32_t block_address(uint32_t block) {
  return APP_START + block * BLOCK_SIZE;
}
static_assert(page_address(kFirstAppPage) == APP_START);
static_assert(page_of(page_address(kLastPage)) == kLastPage);

// On entering the erase state, before anything is erased. True when the image is refused.
bool image_refused(Dialogue& d) {
  // Too large for the application area: the device's present application must survive a
  // container that cannot fit.
  if (d.container.numpageerase > kAppPages) {
    d.con.print(BLANK57);
    d.con.textf(Stream::Out, "Ошибка стирания %X - превышен допустимый диапазон страниц\n",
                static_cast<unsigned>(CMD_ERASE_PAGE));
    return true;
  }
  // Nothing whole to write: erasing would only destroy the application that is there, and
  // the device's checksum of nothing would pass for a programmed image.
  if (d.container.numloadblocs == 0) {
    d.con.print(BLANK57);
    d.con.textf(Stream::Out, "Ошибка стирания %X - нет блоков для записи\n",
                static_cast<unsigned>(CMD_ERASE_PAGE));
    return true;
  }
  return false;
}

// The confirmation shown as the page past the last one to erase ends the state.
void all_pages_erased(Dialogue& d) {
  Engine& engine = d.engine;
  d.con.print(BLANK78);
  d.con.textf(Stream::Out, "Все страницы стерты(конец:0x%x)\n",
              static_cast<unsigned>(page_address(engine.erasepage) + PAGE_SIZE - 1));
  d.con.textf(Stream::Out, "[0<-Zemlot->3][%d<-чисто->%d][%d<-резерв->%d]\n",
              static_cast<int>(kFirstAppPage), static_cast<int>(engine.erasepage - 1),
              static_cast<int>(engine.erasepage), static_cast<int>(kLastPage));
  engine.state = WRITE_BLOCK;
  engine.txc = STOP;
  engine.rxc = STOP;
}

// Why the first application page is erased twice: the next erase is armed before a
// confirmation advances `erasepage`, so the command armed on entering the state and the one
// armed at the first confirmation both carry that page, and from then on the text for page k
// answers the erase of page k - 1. A second erase of an erased page does no harm, and the
// frames on the wire stay exactly as they have always been: do not tidy this away.
void erase_page(Dialogue& d) {
  Engine& engine = d.engine;
  if (!engine.erase_entered) {
    engine.erase_entered = true;
    if (image_refused(d)) {
      engine.state = EXIT;
      engine.ending = Ending::ImageRefused;
      return;
    }
  }

  const bool ok = confirmed(d, CMD_ERASE_PAGE);
  // An erase that went out in this pass and was not confirmed is sent again for the same
  // page; otherwise that page would be skipped and left holding the old image. `erasepage`
  // stays: it is the page the next confirmation reports, whichever attempt it answers.
  uint32_t page = engine.erasepage;
  const Flight& sent = d.exchange.flight;
  if (!ok && engine.sent_this_pass && sent.command == CMD_ERASE_PAGE)
    page = page_of(sent.argument);
  arm_next_command(d, CMD_ERASE_PAGE, page_address(page));

  if (ok) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Страница %d стерта\r", static_cast<int>(engine.erasepage));
    if (d.container.numpageerase + kFirstAppPage == engine.erasepage)
      all_pages_erased(d);
    engine.erasepage += 1;
  } else if (d.exchange.rxframe == VALIDE) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Ошибка стирания %X\n", static_cast<unsigned>(d.exchange.command_rx));
  } else {
    d.con.print(BLANK53);
    progress(d, "Стираем страницу(%d)\r");
  }
  d.exchange.rxframe = INVALIDE;
}

void all_blocks_written(Dialogue& d) {
  d.con.print(BLANK63);
  d.con.print_line("Все блоки записаны");
  d.con.print_line(RULE79);
  d.engine.state = GET_CRC;
}

// The next block, or the checksum once the last one is done.
void next_block(Dialogue& d) {
  Engine& engine = d.engine;
  if (engine.writeblock == d.container.numloadblocs - 1)
    all_blocks_written(d);
  engine.writeblock += 1;
  engine.resends = 0;
  engine.block_in_doubt = false;
}

// The block's reply, read at once after the block (not in the next pass as an engine
// command's is). A read that fails at the port leaves everything as it was, so the same
// block goes out again; so does a reply that did not pass or did not come, while KORVEL_RESEND
// allows. Either way the first copy may have been written.
void receive_block_reply(Dialogue& d) {
  Exchange& exchange = d.exchange;
  Engine& engine = d.engine;
  if (!by_reply(d))
    d.clock.sleep_ms(kTiming.after_block_ms);
  // A block not sent again after a reply that does not pass ends the run, so a slow device is
  // given time to answer first.
  const Reply r = receive_reply(d.port, exchange, d.clock, kTiming.block_listen_us);
  if (r.status == ReplyStatus::ReadFailed) {
    engine.block_in_doubt = true;
    return;
  }
  exchange.command_rx = 0;
  if (r.status == ReplyStatus::Accepted) {
    exchange.command_rx = r.code;
    exchange.rxframe = VALIDE;
  } else if (engine.resends < d.cfg.resend) {
    engine.resends += 1;
    engine.block_in_doubt = true;
    exchange.trace->line(
        "resend: block %d again (%u of %u): its reply did not pass or did not come",
        static_cast<int>(engine.writeblock), static_cast<unsigned>(engine.resends),
        static_cast<unsigned>(d.cfg.resend));
  } else {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Ошибка контр. суммы в блоке %d\n",
                static_cast<int>(engine.writeblock));
    engine.state = WRITE_BLOCK_ERR;
    engine.ending = Ending::BlockGarbled;
  }
}

int write_block(Dialogue& d) {
  Engine& engine = d.engine;
  Exchange& exchange = d.exchange;
  const Container& c = d.container;

  exchange.command_tx = CMD_WRITE_BLOCK;
  exchange.adr_tx = block_address(engine.writeblock);
  std::memcpy(&exchange.tx_buff[kCmdData],
              c.buff_BIN.subspan(size_t{BLOCK_SIZE} * engine.writeblock, BLOCK_SIZE).data(),
              BLOCK_SIZE);
  if (const int rc = send_frame(d, kBlockReplyWithinMs); rc != 0)
    return rc;
  const bool in_doubt = engine.block_in_doubt;
  receive_block_reply(d);

  if (confirmed(d, CMD_WRITE_BLOCK)) {
    d.con.print(BLANK63);
    d.con.textf(Stream::Out, "Блок %d записан (0x%X)\r", static_cast<int>(engine.writeblock),
                static_cast<unsigned>(exchange.adr_tx));
    next_block(d);
  } else if (exchange.rxframe == VALIDE && in_doubt) {
    // A copy sent again after an earlier one went unconfirmed: flash that already holds the
    // first refuses it, so the refusal says nothing of the block. The device's checksum of the
    // whole image decides.
    exchange.trace->line(
        "block %d: the copy sent again was refused (%02x); the first may be in "
        "flash: going on, the device's checksum decides",
        static_cast<int>(engine.writeblock), static_cast<unsigned>(exchange.command_rx));
    next_block(d);
  } else if (exchange.rxframe == VALIDE) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Ошибка записи %X в блоке %d\n",
                static_cast<unsigned>(exchange.command_rx), static_cast<int>(engine.writeblock));
    engine.state = WRITE_BLOCK_ERR;
    engine.ending = Ending::BlockRefused;
  } else {
    // Printed after the checksum error too, as the block phase always has: the run ends on it.
    d.con.print(BLANK53);
    // The N is a Latin letter.
    d.con.textf(Stream::Out, "Записываем блок N %d\r", static_cast<int>(engine.writeblock));
  }
  exchange.rxframe = INVALIDE;
  return 0;
}

// The states of the query pattern with nothing of their own but their command, its success
// actions and their progress text: a row each. The command is armed again in every pass; the
// reply read at the start of the pass confirms the one sent then; otherwise the progress text
// (unless the state gives up, as the jump does).
void activated(Dialogue& d) {
  d.con.print_line("Бутлоадер был найден и активирован");
  d.engine.state = GET_BLID;
}

void bootloader_version_read(Dialogue& d) {
  d.con.print(BLANK53);
  d.con.textf(Stream::Out, "Версия бутлоадера %d\n", static_cast<int>(d.exchange.data_rx));
  d.engine.state = GET_KEYID;
}

void unblocked(Dialogue& d) {
  d.con.print_line("Блокировка успешно снята");
  d.con.textf(Stream::Out, "Начинаем стирать %d страниц flash (старт:0x%x; %d страница)\n",
              static_cast<int>(d.container.numpageerase), static_cast<unsigned>(APP_START),
              static_cast<int>(d.engine.erasepage));
  d.engine.state = ERASE_PAGE;
}

void checksum_read(Dialogue& d) {
  print_received_checksum(d);
  if (d.container.crc_decrypted() == d.exchange.data_rx) {
    checksum_matched(d);
  } else {
    d.con.set_color(Color::Red);
    d.con.print_line("Контрольная сумма не совпала");
    d.engine.state = EXIT;
    d.engine.ending = Ending::ChecksumDiffers;
  }
}

void jump_confirmed(Dialogue& d) {
  d.con.print(BLANK53);
  d.con.print_line("Подтверждение получено");
  d.engine.state = EXIT;
  d.engine.ending = Ending::Programmed;
}

// The device checked the image; a device that has jumped to it no longer answers the
// bootloader's frames, so an unconfirmed jump is asked for a bounded number of times.
bool jump_given_up(Dialogue& d) {
  Engine& engine = d.engine;
  if (attempts_left(d, CMD_GOTO_APPLICATION, engine.goto_unconfirmed, kGotoAttempts))
    return false;
  d.con.print(BLANK53);
  d.con.print_line("Подтверждение не получено");
  engine.state = EXIT;
  engine.ending = Ending::StartUnconfirmed;
  return true;
}

struct QueryState {
  state_e state;
  uint8_t command;
  // Null: the command goes without an argument.
  void (*arm)(Dialogue&);
  void (*confirmed)(Dialogue&);
  const char* progress;
  bool (*gives_up)(Dialogue&) = nullptr;
};

constexpr QueryState kQueries[] = {
    {ACTIVATION_SEARCH, CMD_ACTIVATE, nullptr, activated, "Идет поиск бутлоадера (%d)\r"},
    {GET_BLID, CMD_GET_BLID, nullptr, bootloader_version_read,
     "Идет запрос версии бутлоадера (%d)\r"},
    {UNBLOCK_FLASH, CMD_UNBLOCK_FLASH, nullptr, unblocked, "Снимаем блокировку (%d)\r"},
    {GET_CRC, CMD_GET_CRC, arm_checksum_query, checksum_read,
     "Идет считывание CRC-32 расшифрованного образа(%d)\r"},
    {GOTO_APPLICATION, CMD_GOTO_APPLICATION, nullptr, jump_confirmed,
     "Идет выдача команды на переход (%d)\r", jump_given_up},
};

template <state_e state>
constexpr size_t query_index() {
  size_t i = 0;
  while (kQueries[i].state != state)
    ++i;
  return i;
}

template <state_e state>
int query(Dialogue& d) {
  const QueryState& q = kQueries[query_index<state>()];
  if (q.arm != nullptr)
    q.arm(d);
  else
    arm_next_command(d, q.command, 0);
  if (confirmed(d, q.command))
    q.confirmed(d);
  else if (q.gives_up == nullptr || !q.gives_up(d))
    progress(d, q.progress);
  d.exchange.rxframe = INVALIDE;
  return 0;
}

int send_part(Dialogue& d) {
  Engine& engine = d.engine;
  engine.sent_this_pass = false;
  if (engine.txc != START)
    return 0;
  if (const int rc = send_frame(d, kCommandReplyWithinMs); rc != 0)
    return rc;
  engine.sent_this_pass = true;
  if (!by_reply(d))
    d.clock.sleep_ms(kTiming.after_command_ms);
  engine.txc = STOP;
  return 0;
}

void receive_part(Dialogue& d) {
  Engine& engine = d.engine;
  if (engine.rxc != START)
    return;
  if (!by_reply(d))
    d.clock.sleep_ms(kTiming.before_read_ms);
  const Reply r = receive_reply(d.port, d.exchange, d.clock);
  if (r.status == ReplyStatus::ReadFailed) {
    d.con.print_line("Read error");
  } else {
    if (r.status == ReplyStatus::Accepted) {
      d.exchange.command_rx = r.code;
      d.exchange.data_rx = r.value;
      d.exchange.rxframe = VALIDE;
    }
    engine.txcount += 1;
  }
  engine.rxc = STOP;
}

// A failed block has been reported by its handler; the run ends in the same pass.
int end_after_failed_block(Dialogue& d) {
  d.engine.state = EXIT;
  return 0;
}

template <void (*handle)(Dialogue&)>
int without_status(Dialogue& d) {
  handle(d);
  return 0;
}

// The handlers in the order a pass tries them, each only while the state is its own. The order
// is behaviour: a handler that moves the state on is followed in the same pass by the new
// state's handler further down, which prepares its first command at once (the block handler
// sends its block there and then), so the frames, texts and pauses of a run hang on it. A
// handler's non-zero result ends the run with that status.
struct StateHandler {
  state_e state;
  int (*handle)(Dialogue&);
};
constexpr StateHandler kPassOrder[] = {
    {ACTIVATION_SEARCH, query<ACTIVATION_SEARCH>},
    {GET_BLID, query<GET_BLID>},
    {GET_KEYID, without_status<get_keyid>},
    {COMPARE_IMAGE, without_status<compare_image>},
    {MANUAL_COMMAND_WAIT, without_status<manual_command_wait>},
    {UNBLOCK_FLASH, query<UNBLOCK_FLASH>},
    {ERASE_PAGE, without_status<erase_page>},
    {WRITE_BLOCK, write_block},
    {WRITE_BLOCK_ERR, end_after_failed_block},
    {GET_CRC, query<GET_CRC>},
    {GOTO_APPLICATION, query<GOTO_APPLICATION>},
};

}  // namespace

int dialogue_pass(Dialogue& d) {
  if (const int rc = send_part(d); rc != 0)
    return rc;
  receive_part(d);

  for (const StateHandler& h : kPassOrder) {
    if (d.engine.state != h.state)
      continue;
    if (const int rc = h.handle(d); rc != 0)
      return rc;
  }
  return 0;
}

int run_dialogue(Dialogue& d, Verdict verdict) {
  d.engine.state = verdict == Verdict::Good ? ACTIVATION_SEARCH : FILE_BAD;
  if (d.engine.state == FILE_BAD) {
    d.engine.state = EXIT;
    d.engine.ending = Ending::ContainerDamaged;
  }
  do {
    if (const int rc = dialogue_pass(d); rc != 0)
      return rc;
  } while (d.engine.state != EXIT);
  d.con.print_line(RULE79);
  return 0;
}

}  // namespace korvel
