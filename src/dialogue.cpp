#include "dialogue.h"

#include <cstring>

namespace korvel {

namespace {

// The state's command goes out at the start of the next pass and its reply is read then.
void prepare(Dialogue& d, uint8_t command, uint32_t argument) {
  d.x.command_tx = command;
  d.x.adr_tx = argument;
  d.e.txc = START;
  d.e.rxc = START;
}

bool confirmed(const Dialogue& d, uint8_t command) {
  return d.x.command_rx == command && d.x.rxframe == VALIDE;
}

void progress(Dialogue& d, const char* fmt) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  d.con.textf(Stream::Out, fmt, d.e.txcount);
#pragma GCC diagnostic pop
}

// Under reply-driven pacing the clock also keeps the line quiet before each frame.
Clock* quiet(Dialogue& d) {
  return d.cfg.pacing == PACING_REPLY ? &d.clock : nullptr;
}

// After a frame has been written: the documented pause, or under reply-driven pacing none,
// the reply being read as soon as it is whole within the time that pause and the read after
// it would have given the device.
uint64_t pause_after_write(Dialogue& d, uint32_t pause_ms, uint32_t later_ms) {
  if (d.cfg.pacing != PACING_REPLY) {
    d.clock.sleep_ms(pause_ms);
    return 0;
  }
  return d.clock.now_us() + uint64_t{pause_ms + later_ms} * 1000;
}

Pacing reply_pacing(Dialogue& d, uint64_t deadline_us) {
  if (d.cfg.pacing != PACING_REPLY)
    return {};
  return {&d.clock, deadline_us};
}

// A fatal write: the handle is closed without the closing texts and the run ends.
int write_failed(Dialogue& d) {
  d.con.text(Stream::Err, "Write error\n");
  (void)d.port.close();
  return 1;
}

void activation_search(Dialogue& d) {
  prepare(d, CMD_ACTIVATE, 0);
  if (confirmed(d, CMD_ACTIVATE)) {
    d.con.print_line("Бутлоадер был найден и активирован");
    d.e.state = GET_BLID;
  } else {
    progress(d, "Идет поиск бутлоадера (%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

void get_blid(Dialogue& d) {
  prepare(d, CMD_GET_BLID, 0);
  if (confirmed(d, CMD_GET_BLID)) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Версия бутлоадера %d\n", static_cast<int>(d.x.data_rx));
    d.e.state = GET_KEYID;
  } else {
    progress(d, "Идет запрос версии бутлоадера (%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

void get_keyid(Dialogue& d) {
  prepare(d, CMD_GET_KEYID, 0);
  if (confirmed(d, CMD_GET_KEYID)) {
    // The device answers its key version as an ASCII digit in the low byte.
    const int key = static_cast<int8_t>(d.x.data_rx & 0xFFu) - 0x30;
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Версия шифроключа %d\n", key);
    if (d.cfg.direct == PROG) {
      d.con.print_line("Информация получена успешно, программирование возможно");
      d.e.state = MANUAL_COMMAND_WAIT;
      d.con.print("Для программирования введите Y, для выхода N  ");
    } else {
      d.con.print_line("Информация получена успешно");
      d.e.state = EXIT;
    }
  } else {
    progress(d, "Идет запрос версии шифроключа (%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

void manual_command_wait(Dialogue& d) {
  d.clock.sleep_ms(kPauseBeforeAnswer);
  const Answer a = d.con.read_answer();
  d.e.keyget[0] = a == Answer::Yes ? 'Y' : a == Answer::No ? 'N' : '\0';
  if (a == Answer::Yes) {
    d.con.print_line(RULE79);
    d.con.print_line("\nРазблокируем flash память для стирания и записи");
    d.e.state = UNBLOCK_FLASH;
  } else if (a == Answer::No || a == Answer::End) {
    // The end of input can never bring an answer: take it as a refusal, not a wait.
    d.e.state = EXIT;
  }
}

void unblock_flash(Dialogue& d) {
  prepare(d, CMD_UNBLOCK_FLASH, 0);
  if (confirmed(d, CMD_UNBLOCK_FLASH)) {
    d.con.print_line("Блокировка успешно снята");
    d.con.textf(Stream::Out, "Начинаем стирать %d страниц flash (старт:0x%x; %d страница)\n",
                static_cast<int>(d.container.numpageerase), 0x8001000u,
                static_cast<int>(d.e.erasepage));
    d.e.state = ERASE_PAGE;
  } else {
    progress(d, "Снимаем блокировку (%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

uint32_t page_address(uint32_t page) {
  return (page + 0x20000u) << 10;
}

void erase_page(Dialogue& d) {
  Engine& e = d.e;
  const uint32_t pages = d.container.numpageerase;
  if (!e.erase_entered) {
    e.erase_entered = true;
    // Refuse an image larger than the application area before anything is erased: the
    // device's present application must survive a container that cannot fit.
    if (pages > kAppPages) {
      d.con.print(BLANK57);
      d.con.textf(Stream::Out, "Ошибка стирания %X - превышен допустимый диапазон страниц\n",
                  static_cast<unsigned>(CMD_ERASE_PAGE));
      e.state = EXIT;
      return;
    }
    // Nothing whole to write: erasing would only destroy the application that is there, and
    // the device's checksum of nothing would pass for a programmed image.
    if (d.container.numloadblocs == 0) {
      d.con.print(BLANK57);
      d.con.textf(Stream::Out, "Ошибка стирания %X - нет блоков для записи\n",
                  static_cast<unsigned>(CMD_ERASE_PAGE));
      e.state = EXIT;
      return;
    }
  }

  const bool ok = confirmed(d, CMD_ERASE_PAGE);
  // An erase that went out in this pass and was not confirmed is sent again for the same
  // page; otherwise that page would be skipped and left holding the old image.
  if (!ok && e.sent_this_pass && e.sent_command == CMD_ERASE_PAGE) {
    e.erasepage = (e.sent_adr >> 10) - 0x20000u;
  }
  prepare(d, CMD_ERASE_PAGE, page_address(e.erasepage));

  if (ok) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Страница %d стерта\r", static_cast<int>(e.erasepage));
    if (pages + 4 == e.erasepage) {
      d.con.print(BLANK78);
      d.con.textf(Stream::Out, "Все страницы стерты(конец:0x%x)\n",
                  static_cast<unsigned>(page_address(e.erasepage) + 0x3FFu));
      d.con.textf(Stream::Out, "[0<-Zemlot->3][%d<-чисто->%d][%d<-резерв->%d]\n", 4,
                  static_cast<int>(e.erasepage - 1), static_cast<int>(e.erasepage), 63);
      e.state = WRITE_BLOCK;
      e.txc = STOP;
      e.rxc = STOP;
    }
    e.erasepage += 1;
  } else if (d.x.rxframe == VALIDE) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Ошибка стирания %X\n", static_cast<unsigned>(d.x.command_rx));
  } else {
    d.con.print(BLANK53);
    progress(d, "Стираем страницу(%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

void all_blocks_written(Dialogue& d) {
  d.con.print(BLANK63);
  d.con.print_line("Все блоки записаны");
  d.con.print_line(RULE79);
  d.e.state = GET_CRC;
}

int write_block(Dialogue& d) {
  Engine& e = d.e;
  Exchange& x = d.x;
  const Container& c = d.container;

  x.command_tx = CMD_WRITE_BLOCK;
  x.adr_tx = (e.writeblock + 0x1000200u) << 3;
  std::memcpy(&x.tx_buff[kCmdData], c.buff_BIN + size_t{BLOCK_SIZE} * e.writeblock, BLOCK_SIZE);
  // A port that fails a write has gone: sending the block again would only spin.
  if (!send_command(d.port, x, d.cfg.netnum, quiet(d)))
    return write_failed(d);
  const uint64_t reply_by = pause_after_write(d, kPauseAfterBlock, kReplyReadLimit);

  const Reply r = receive_reply(d.port, x, d.cfg.netnum, 0x22, reply_pacing(d, reply_by));
  if (r.status != ReplyStatus::ReadFailed) {
    x.command_rx = 0;
    if (r.status == ReplyStatus::Accepted) {
      x.command_rx = r.code;
      x.rxframe = VALIDE;
    } else {
      d.con.print(BLANK53);
      d.con.textf(Stream::Out, "Ошибка контр. суммы в блоке %d\n", static_cast<int>(e.writeblock));
      e.state = WRITE_BLOCK_ERR;
    }
  }

  if (confirmed(d, CMD_WRITE_BLOCK)) {
    d.con.print(BLANK63);
    d.con.textf(Stream::Out, "Блок %d записан (0x%X)\r", static_cast<int>(e.writeblock),
                static_cast<unsigned>(x.adr_tx));
    if (e.writeblock == c.numloadblocs - 1)
      all_blocks_written(d);
    e.writeblock += 1;
  } else if (x.rxframe == VALIDE) {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Ошибка записи %X в блоке %d\n", static_cast<unsigned>(x.command_rx),
                static_cast<int>(e.writeblock));
    e.state = WRITE_BLOCK_ERR;
  } else {
    d.con.print(BLANK53);
    d.con.textf(Stream::Out, "Записываем блок N %d\r", static_cast<int>(e.writeblock));
  }
  x.rxframe = INVALIDE;
  return 0;
}

void get_crc(Dialogue& d) {
  prepare(d, CMD_GET_CRC, APP_START);
  store_le32(&d.x.tx_buff[kCmdData + 4], d.container.sizefile_bin);
  if (confirmed(d, CMD_GET_CRC)) {
    d.con.textf(Stream::Out,
                "Получена контрольная сумма расшифрованногo файла firmware.bin "
                "(CRC-32-0x4c11DB7): %x\n",
                static_cast<unsigned>(d.x.data_rx));
    if (d.container.crc_decrypted() == d.x.data_rx) {
      d.con.set_color(Color::Green);
      d.con.print_line("Контрольная сумма совпала");
      d.con.print_line(RULE79);
      d.e.state = GOTO_APPLICATION;
      d.con.print_line("Переключаем выполнение кода на пользовательскую программу");
    } else {
      d.con.set_color(Color::Red);
      d.con.print_line("Контрольная сумма не совпала");
      d.e.state = EXIT;
    }
  } else {
    progress(d, "Идет считывание CRC-32 расшифрованного образа(%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

void goto_application(Dialogue& d) {
  prepare(d, CMD_GOTO_APPLICATION, 0);
  if (confirmed(d, CMD_GOTO_APPLICATION)) {
    d.con.print(BLANK53);
    d.con.print_line("Подтверждение получено");
    d.e.state = EXIT;
  } else {
    progress(d, "Идет выдача команды на переход (%d)\r");
  }
  d.x.rxframe = INVALIDE;
}

int send_part(Dialogue& d) {
  Engine& e = d.e;
  e.sent_this_pass = false;
  if (e.txc != START)
    return 0;
  if (!send_command(d.port, d.x, d.cfg.netnum, quiet(d)))
    return write_failed(d);
  e.sent_this_pass = true;
  e.sent_command = d.x.command_tx;
  e.sent_adr = d.x.adr_tx;
  e.reply_by_us = pause_after_write(d, kPauseAfterCommand, kPauseBeforeRead + kReplyReadLimit);
  e.txc = STOP;
  return 0;
}

void receive_part(Dialogue& d) {
  Engine& e = d.e;
  if (e.rxc != START)
    return;
  if (d.cfg.pacing != PACING_REPLY)
    d.clock.sleep_ms(kPauseBeforeRead);
  const Reply r = receive_reply(d.port, d.x, d.cfg.netnum, 0x00, reply_pacing(d, e.reply_by_us));
  if (r.status == ReplyStatus::ReadFailed) {
    d.con.print_line("Read error");
  } else {
    if (r.status == ReplyStatus::Accepted) {
      d.x.command_rx = r.code;
      d.x.data_rx = r.value;
      d.x.rxframe = VALIDE;
    }
    e.txcount += 1;
  }
  e.rxc = STOP;
}

}  // namespace

int dialogue_pass(Dialogue& d) {
  if (const int rc = send_part(d); rc != 0)
    return rc;
  receive_part(d);

  Engine& e = d.e;
  if (e.state == ACTIVATION_SEARCH)
    activation_search(d);
  if (e.state == GET_BLID)
    get_blid(d);
  if (e.state == GET_KEYID)
    get_keyid(d);
  if (e.state == MANUAL_COMMAND_WAIT)
    manual_command_wait(d);
  if (e.state == UNBLOCK_FLASH)
    unblock_flash(d);
  if (e.state == ERASE_PAGE)
    erase_page(d);
  if (e.state == WRITE_BLOCK) {
    if (const int rc = write_block(d); rc != 0)
      return rc;
  }
  if (e.state == WRITE_BLOCK_ERR)
    e.state = EXIT;
  if (e.state == GET_CRC)
    get_crc(d);
  if (e.state == GOTO_APPLICATION)
    goto_application(d);
  return 0;
}

int run_dialogue(Dialogue& d, Verdict verdict) {
  d.e.state = verdict == Verdict::Good ? ACTIVATION_SEARCH : FILE_BAD;
  if (d.e.state == FILE_BAD)
    d.e.state = EXIT;
  do {
    if (const int rc = dialogue_pass(d); rc != 0)
      return rc;
  } while (d.e.state != EXIT);
  d.con.print_line(RULE79);
  return 0;
}

}  // namespace korvel
