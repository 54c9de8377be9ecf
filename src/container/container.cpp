#include "container/container.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "wire/crc32.h"

namespace korvel {

namespace {

uint8_t* allocate(uint32_t n) {
  // A zero-byte request still yields a buffer, so an empty payload is no failure.
  return new (std::nothrow) uint8_t[n == 0 ? 1 : n];
}

// The sizes, and the blocks to write and the pages to erase that follow from the payload's: the
// only place they are worked out. A file shorter than its header is refused before any is used.
void take_size(Container& c, uint32_t size) {
  c.sizefile_cct = size;
  c.sizefile_bin = size - sizehead;
  c.numloadblocs = whole_blocks(c.sizefile_bin);
  c.numpageerase = pages_needed(c.sizefile_bin);
}

void report_counts(Console& con, const Container& c) {
  con.textf(Stream::Out, "Приготовлено для загрузки %d блоков по 8 байт\n",
            static_cast<int>(c.numloadblocs));
  con.textf(Stream::Out, "Необходимо стереть %d страниц\n", static_cast<int>(c.numpageerase));
  con.print_line(RULE79);
}

// The file's size, and the payload's within it, reported under its shown name. 0, or the
// exit status.
int measure(Console& con, const char* shown, Container& c) {
  const int64_t size = file_size(c.fpi.get());
  if (size < 0 || size > int64_t{UINT32_MAX}) {
    // Too large to be a container at all: nothing is allocated for it.
    const unsigned long long whole = size < 0 ? 0ull : static_cast<unsigned long long>(size);
    con.textf(Stream::Out, "Размер %s файла: %llu", shown, whole);
    con.textf(Stream::Out, "     Размер вложенного firmware.bin файла: %llu\n",
              whole >= sizehead ? whole - sizehead : 0ull);
    con.print_line("Error malloc .cct file !");
    return 2;
  }
  take_size(c, static_cast<uint32_t>(size));
  con.textf(Stream::Out, "Размер %s файла: %u", shown, static_cast<unsigned>(c.sizefile_cct));
  con.textf(Stream::Out, "     Размер вложенного firmware.bin файла: %u\n",
            static_cast<unsigned>(c.sizefile_bin));
  return 0;
}

// 0, or the exit status.
int allocate_buffers(Console& con, Container& c) {
  c.buff_CCT.reset(allocate(c.sizefile_cct));
  if (!c.buff_CCT) {
    con.print_line("Error malloc .cct file !");
    return 2;
  }
  // A file shorter than its header wraps the payload size to nearly 4 GiB: a request
  // that can only fail, so it is not made.
  if (c.sizefile_cct < sizehead) {
    con.print_line("Error malloc firmware.bin file!");
    return 2;
  }
  c.buff_BIN = std::span<const uint8_t>(c.buff_CCT.get() + sizehead, c.sizefile_bin);
  return 0;
}

// The whole file in one read, the header decoded from it.
void read_contents(Console& con, const char* shown, Container& c) {
  std::rewind(c.fpi.get());
  c.resread = static_cast<uint32_t>(std::fread(c.buff_CCT.get(), 1, c.sizefile_cct, c.fpi.get()));
  // A file that shrank since its size was taken, or one that claims more than it holds (a
  // /sys file), leaves the rest of the buffer unread: zeros, so that the checksum and the
  // blocks sent are the same on every run.
  std::memset(c.buff_CCT.get() + c.resread, 0, c.sizefile_cct - c.resread);
  c.head = decode_header(c.buff_CCT.get());
  con.textf(Stream::Out, "Прочитано из %s: %d", shown, static_cast<int>(c.resread));
  // The payload is read with the file, in the same call: its count is the part of that read
  // past the header.
  c.resread = c.resread > sizehead ? c.resread - sizehead : 0;
  con.textf(Stream::Out, "     Прочитано из firmware.bin: %d\n", static_cast<int>(c.resread));
}

void report_creation(Console& con, const Container& c) {
  std::tm tm{};
  char created[64];
  format_creation_time(local_time(c.UNIXtimestamp(), tm) ? &tm : nullptr, c.UNIXtimestamp(),
                       created);
  con.textf(Stream::Out, "Файл .cct: создан %s", created);
  con.textf(Stream::Out, "Версия программы-создателя криптоконтейнера Tessaro: %d\n",
            static_cast<int>(c.creator_version()));
}

Verdict check_payload(Console& con, const char* shown, Container& c) {
  c.calc_crc_BIN = crc32(c.buff_BIN.data(), static_cast<uint32_t>(c.buff_BIN.size()));
  con.textf(Stream::Out,
            "\nРассчитана контрольная сумма файла firmware.bin (CRC-32-0x4c11DB7): %x\n",
            static_cast<unsigned>(c.calc_crc_BIN));
  if (c.crc_BIN() != c.calc_crc_BIN) {
    con.print_line(RULE79);
    con.textf(Stream::Out, "Контрольная сумма не совпала! Проверьте целостность файла %s!\n",
              shown);
    con.print_line(RULE79);
    return Verdict::Bad;
  }
  con.print_line("Контрольная сумма совпала");
  report_counts(con, c);
  return Verdict::Good;
}

}  // namespace

void format_creation_time(const std::tm* tm, int32_t timestamp, char out[64]) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (tm == nullptr || tm->tm_wday < 0 || tm->tm_wday > 6 || tm->tm_mon < 0 || tm->tm_mon > 11) {
    std::snprintf(out, 64, "unknown date (UNIX time %" PRId32 ")\n", timestamp);
    return;
  }
  std::snprintf(out, 64, "%s %s %02d %02d:%02d:%02d %d\n", kDays[tm->tm_wday], kMonths[tm->tm_mon],
                tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec, tm->tm_year + 1900);
}

int load_container(Console& con, const char* FileCC, Container& c, Verdict& verdict) {
  verdict = Verdict::Bad;
  con.print_line("Открываем криптоконтейнер .cct ");
  c.fpi = open_regular(FileCC);
  if (c.fpi == nullptr) {
    con.print_line("Не найден криптоконтейнер.cct ");
    return 1;
  }
  const std::string shown = con.shown_name(FileCC);
  if (const int rc = measure(con, shown.c_str(), c); rc != 0)
    return rc;
  if (const int rc = allocate_buffers(con, c); rc != 0)
    return rc;
  read_contents(con, shown.c_str(), c);
  report_creation(con, c);
  verdict = check_payload(con, shown.c_str(), c);
  return 0;
}

void release_container(Console& con, Container& c) {
  con.print_line("Закрываю криптоконтейнер");
  c.buff_BIN = {};
  c.buff_CCT.reset();
  // Closed here rather than by its owner, since the run says how the close went.
  std::FILE* f = c.fpi.release();
  const int rc = f != nullptr ? std::fclose(f) : EOF;
  con.print_line(rc == 0 ? "Криптоконтейнер закрыт" : "Ошибка закрытия");
}

}  // namespace korvel
