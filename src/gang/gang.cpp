#include "gang/gang.h"

#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "system/process.h"
#include "text/utf8.h"
#include "wire/container_format.h"

namespace korvel::gang {

namespace {

bool find_at(std::string_view text, std::string_view what, size_t* at) {
  *at = text.find(what);
  return *at != std::string_view::npos;
}

uint32_t number_before(std::string_view text, size_t end) {
  size_t begin = end;
  while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9')
    --begin;
  return static_cast<uint32_t>(
      std::strtoul(std::string(text.substr(begin, end - begin)).c_str(), nullptr, 10));
}

Phase phase_of(std::string_view command, bool found) {
  if (command == "CMD_ACTIVATE")
    return found ? Phase::Versions : Phase::Searching;
  if (command == "CMD_GET_BLID" || command == "CMD_GET_KEYID")
    return Phase::Versions;
  if (command == "CMD_UNBLOCK_FLASH" || command == "CMD_ERASE_PAGE")
    return Phase::Erasing;
  if (command == "CMD_WRITE_BLOCK")
    return Phase::Writing;
  if (command == "CMD_GET_CRC")
    return Phase::Checking;
  return Phase::Jumping;
}

}  // namespace

// The trace's lines this reads (exchange/frames.cpp and app/frontend.cpp write them):
//   container: 128 blocks, 1 pages
//   -> 01 04 00 ... b6  CMD_WRITE_BLOCK 0x08001000
//   reply taken: 01 04 00 00 00 00 28, confirms, value 0x00000000
//   end: exit status 0            end: interrupted by signal 2
void Progress::line(std::string_view text) {
  size_t at = 0;
  if (find_at(text, "container: ", &at) && text.find(" blocks, ") != std::string_view::npos) {
    blocks = number_before(text, text.find(" blocks, "));
  } else if (find_at(text, "  -> ", &at) && find_at(text, "  CMD_", &at)) {
    const std::string_view rest = text.substr(at + 2);
    command = std::string(rest.substr(0, rest.find(' ')));
    if (phase != Phase::Ended)
      phase = phase_of(command, found);
  } else if (find_at(text, ", confirms, value 0x", &at)) {
    const auto value = static_cast<uint32_t>(
        std::strtoul(std::string(text.substr(at + 20, 8)).c_str(), nullptr, 16));
    if (command == "CMD_ACTIVATE")
      found = true;
    else if (command == "CMD_GET_BLID")
      blid = static_cast<int32_t>(value);
    else if (command == "CMD_GET_KEYID")
      key = static_cast<int8_t>(value & 0xFFu) - 0x30;
    else if (command == "CMD_WRITE_BLOCK")
      written += 1;
  } else if (find_at(text, "end: exit status ", &at)) {
    status = std::atoi(std::string(text.substr(at + 17)).c_str());
    phase = Phase::Ended;
  } else if (find_at(text, "end: interrupted by signal ", &at)) {
    status = 128 + std::atoi(std::string(text.substr(at + 27)).c_str());
    phase = Phase::Ended;
  }
}

std::string outcome(const Progress& p, int status, bool given_up, bool stopped) {
  if (given_up)
    return "бутлоадер не найден";
  if (stopped)
    return "прервано";
  switch (status) {
    case 0:
      return p.written > 0 ? "запрограммирован" : "уже содержал образ";
    case 10:
      return p.written > 0 ? "запрограммирован, запуск не подтверждён"
                           : "уже содержал образ, запуск не подтверждён";
    case 1:
      return "ошибка порта или контейнера";
    case 2:
      return "файл не криптоконтейнер";
    case 4:
      return "программирование не подтверждено";
    case 5:
      return "криптоконтейнер повреждён";
    case 6:
      return "образ не помещается или пуст";
    case 7:
      return "прибор отказался записать блок";
    case 8:
      return "ответ на запись блока искажён или не пришёл";
    case 9:
      return "контрольная сумма не совпала";
    default:
      return status > 128 ? "прервано" : "отказ";
  }
}

bool succeeded(int status, bool given_up, bool stopped) {
  return !given_up && !stopped && (status == 0 || status == 10);
}

std::string phase_text(const Progress& p) {
  switch (p.phase) {
    case Phase::Starting:
      return "запуск загрузчика";
    case Phase::Searching:
      return "поиск бутлоадера";
    case Phase::Versions:
      return "чтение версий";
    case Phase::Erasing:
      return "стирание";
    case Phase::Writing: {
      char text[96];
      const uint32_t share = p.blocks > 0 ? 100 * p.written / p.blocks : 0;
      std::snprintf(text, sizeof text, "запись блока %u из %u (%u%%)",
                    static_cast<unsigned>(p.written), static_cast<unsigned>(p.blocks),
                    static_cast<unsigned>(share));
      return text;
    }
    case Phase::Checking:
      return "проверка";
    case Phase::Jumping:
      return "переход к программе";
    case Phase::Ended:
      break;
  }
  return "конец";
}

std::string clock_text(double seconds) {
  const auto s = static_cast<long>(seconds < 0 ? 0 : seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%02ld:%02ld", s / 60, s % 60);
  return text;
}

// The command line's complaints, in the program's own words.
std::optional<std::string> parse_options(int argc, const char* const* argv, Options& o) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    const bool has_value = arg.starts_with("--") && arg.find('=') != std::string::npos;
    if (has_value) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    if (arg == "--help" || arg == "--version") {
      (arg == "--help" ? o.help : o.version) = true;
      continue;
    }
    if (!arg.starts_with("--")) {
      positional.push_back(arg);
      continue;
    }
    if (arg != "--netnum" && arg != "--dir" && arg != "--search-limit" && arg != "--korvel")
      return "неизвестный параметр " + arg + " (см. --help)";
    if (!has_value) {
      if (i + 1 >= argc)
        return "параметру " + arg + " нужно значение";
      value = argv[++i];
    }
    if (arg == "--netnum") {
      o.netnum = value;
    } else if (arg == "--dir") {
      o.dir = value;
    } else if (arg == "--korvel") {
      o.korvel = value;
    } else {
      char* end = nullptr;
      const unsigned long s = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || s == 0 || s > 86400)
        return "неверное значение '" + value + "' у --search-limit: нужно от 1 до 86400 секунд";
      o.search_limit_s = static_cast<uint32_t>(s);
    }
  }
  if (o.help || o.version)
    return std::nullopt;
  if (positional.size() < 2)
    return std::string("нужны криптоконтейнер и хотя бы один порт (см. --help)");
  o.container = positional[0];
  o.ports.assign(positional.begin() + 1, positional.end());
  return std::nullopt;
}

const char* usage_text() {
  return R"(Использование: korvel-gang [ПАРАМЕТР]... ФАЙЛ ПОРТ...
Программирует образ криптоконтейнера ФАЙЛ в приборы на всех ПОРТАХ сразу: на каждом
порту работает свой загрузчик (korvel ПОРТ 1 ФАЙЛ P, ответ "Y"), с журналом обмена.

  --netnum N           номер устройства (по умолчанию 1)
  --dir ПАПКА          папка для журналов обмена и отчёта report.csv
                       (по умолчанию korvel-gang)
  --search-limit С     сколько секунд порт ищет бутлоадер, прежде чем его оставят
                       (по умолчанию 60); загрузчик тогда останавливается, как по Ctrl+C
  --korvel ПУТЬ        загрузчик (по умолчанию korvel рядом с korvel-gang)
  --help               эта справка
  --version            версия

Переменные KORVEL_PACING, KORVEL_RESEND и KORVEL_COMPARE передаются загрузчикам.
В окне терминала у каждого порта своя строка: этап, время и, при записи, сколько
осталось; в файл или канал - строка при каждой смене этапа. В конце - таблица, и в
report.csv дописывается по строке на порт, как только порт закончил.

Код завершения: 0 - все приборы запрограммированы (или уже содержали образ);
1 - не все; 2 - неверные параметры или нечитаемый контейнер; 130 - прервано (Ctrl+C).
)";
}

std::string csv_line(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& f : fields) {
    if (!line.empty())
      line += ',';
    if (f.find_first_of(",\"\r\n") == std::string::npos) {
      line += f;
      continue;
    }
    line += '"';
    for (const char c : f)
      line += c == '"' ? std::string("\"\"") : std::string(1, c);
    line += '"';
  }
  return line + "\n";
}

std::string file_name_of(std::string_view port) {
  // "port-" first: Windows takes COM5.log for the port COM5 itself.
  std::string name = "port-";
  for (const char c : port)
    name += (std::isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
  return name;
}

namespace {

using SteadyClock = std::chrono::steady_clock;

// Our names are UTF-8, which a path on Windows must be told.
std::filesystem::path path_of(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8_of(const std::filesystem::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

double seconds_since(SteadyClock::time_point t) {
  return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

// Pads our UTF-8 text to `width` characters.
std::string padded(const std::string& text, size_t width) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size();) {
    next_code_point(text, i);
    ++chars;
  }
  return text + std::string(chars < width ? width - chars : 1, ' ');
}

std::string local_time_now() {
  const std::time_t t = std::time(nullptr);
  char text[32] = "";
  if (const std::tm* tm = std::localtime(&t); tm != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
  return text;
}

struct Port {
  std::string name, trace_path, log_path;
  std::unique_ptr<Child> child;
  Progress progress;
  std::streamoff trace_read = 0;  // how much of the trace has been read
  std::string partial;
  SteadyClock::time_point started, writing_since;
  bool given_up = false, stopped = false, done = false, writing_seen = false;
  int status = -1;
  double seconds = 0;
  std::string why;  // the loader could not be started
  int shown = -1;   // what the last plain line said: a phase, or -2 for the ending

  // New lines of the trace, as far as the loader has written them. Opened afresh each time:
  // a stream that once met the end does not see what is added after it everywhere.
  void read_trace() {
    std::ifstream trace(path_of(trace_path), std::ios::binary);
    if (!trace || !trace.seekg(trace_read))
      return;
    char buf[4096];
    while (trace.read(buf, sizeof buf) || trace.gcount() > 0) {
      partial.append(buf, static_cast<size_t>(trace.gcount()));
      trace_read += trace.gcount();
      if (!trace)
        break;
    }
    for (size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
      progress.line(std::string_view(partial).substr(0, nl));
    if (progress.phase == Phase::Writing && !writing_seen) {
      writing_seen = true;
      writing_since = SteadyClock::now();
    }
  }

  std::string live_text() const {
    if (done)
      return outcome(progress, status, given_up, stopped) + (why.empty() ? "" : ": " + why);
    std::string text = phase_text(progress) + "  " + clock_text(seconds_since(started));
    const double writing = writing_seen ? seconds_since(writing_since) : 0;
    if (progress.phase == Phase::Writing && progress.written > 0 && writing > 0) {
      const double rate = progress.written / writing;
      text += ", осталось " + clock_text((progress.blocks - progress.written) / rate);
    }
    return text;
  }
};

class Batch {
 public:
  Batch(Console& con, const Options& o) : con_(con), o_(o), terminal_(output_is_terminal()) {}

  int run();

 private:
  bool prepare();
  void start(Port& p);
  void poll(Port& p);
  void finish(Port& p, int status);
  void show();
  void table();
  void report(const Port& p);

  Console& con_;
  const Options& o_;
  const bool terminal_;
  std::vector<std::unique_ptr<Port>> ports_;
  uint32_t image_crc_ = 0;
  std::string answer_, report_;
  bool drawn_ = false;
};

bool Batch::prepare() {
  uint8_t head[sizehead];
  std::ifstream in(path_of(o_.container), std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) {
    con_.textf(Stream::Err, "korvel-gang: криптоконтейнер %s не читается\n",
               con_.shown_name(o_.container.c_str()).c_str());
    return false;
  }
  image_crc_ = decode_header(head).crc_decrypted;
  std::error_code ec;
  std::filesystem::create_directories(path_of(o_.dir), ec);
  answer_ = utf8_of(path_of(o_.dir) / "answer.txt");
  report_ = utf8_of(path_of(o_.dir) / "report.csv");
  if (!(std::ofstream(path_of(answer_), std::ios::binary) << "Y\n")) {
    con_.textf(Stream::Err, "korvel-gang: в папку %s нельзя писать\n",
               con_.shown_name(o_.dir.c_str()).c_str());
    return false;
  }
  if (!std::filesystem::exists(path_of(report_), ec))
    std::ofstream(path_of(report_), std::ios::binary) << kReportHeader << "\n";
  return true;
}

void Batch::start(Port& p) {
  const std::string base = utf8_of(path_of(o_.dir) / file_name_of(p.name));
  p.trace_path = base + ".trace";
  p.log_path = base + ".log";
  std::error_code ec;
  std::filesystem::remove(path_of(p.trace_path), ec);
  const std::string korvel = o_.korvel.empty() ? default_loader() : o_.korvel;
  p.started = SteadyClock::now();
  p.child = start_child({korvel, p.name, o_.netnum, o_.container, "P"},
                        {"KORVEL_STATUS=detailed", "KORVEL_TRACE=" + p.trace_path}, answer_,
                        p.log_path, &p.why);
  if (p.child == nullptr)
    finish(p, -1);
}

void Batch::poll(Port& p) {
  if (p.done)
    return;
  p.read_trace();
  // Given up only while searching: a device that answered is left to finish.
  if (!p.progress.found && !p.given_up && !p.stopped &&
      seconds_since(p.started) > o_.search_limit_s) {
    p.given_up = true;
    p.child->interrupt();
  }
  if (interrupted() && !p.stopped && !p.given_up) {
    p.stopped = true;
    p.child->interrupt();
  }
  if (const std::optional<int> status = p.child->exit_status()) {
    p.read_trace();
    finish(p, *status);
  }
}

void Batch::finish(Port& p, int status) {
  p.done = true;
  p.status = status;
  p.seconds = seconds_since(p.started);
  p.progress.phase = Phase::Ended;
  report(p);
}

void Batch::report(const Port& p) {
  char crc[16], seconds[32];
  std::snprintf(crc, sizeof crc, "%08" PRIx32, image_crc_);
  std::snprintf(seconds, sizeof seconds, "%.1f", p.seconds);
  const auto opt = [](const std::optional<int32_t>& v) {
    return v ? std::to_string(*v) : std::string();
  };
  const std::string line =
      csv_line({local_time_now(), p.name, o_.container, crc,
                outcome(p.progress, p.status, p.given_up, p.stopped), std::to_string(p.status),
                opt(p.progress.blid), opt(p.progress.key), seconds});
  // In the console's encoding, as the table.
  std::string bytes(line.size() * 2 + 8, '\0');
  bytes.resize(std::min(bytes.size(), con_.encoder().encode(line, bytes.data(), bytes.size())));
  std::ofstream(path_of(report_), std::ios::binary | std::ios::app)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// On a terminal every port's line is rewritten in place; otherwise a plain line for each
// change of phase, and one for the ending.
void Batch::show() {
  if (!terminal_) {
    for (auto& p : ports_) {
      const int now = p->done ? -2 : static_cast<int>(p->progress.phase);
      if (now == p->shown)
        continue;
      p->shown = now;
      std::string text = p->done ? p->live_text() : phase_text(p->progress);
      if (!p->done && p->progress.phase == Phase::Writing)
        text = "запись " + std::to_string(p->progress.blocks) + " блоков";
      con_.textf(Stream::Out, "%s: ", con_.shown_name(p->name.c_str()).c_str());
      con_.line(Stream::Out, text.c_str());
    }
    return;
  }
  if (drawn_)
    con_.textf(Stream::Out, "\x1b[%uA", static_cast<unsigned>(ports_.size()));
  drawn_ = true;
  for (auto& p : ports_) {
    con_.text(Stream::Out, "\r\x1b[2K");
    con_.text(Stream::Out, padded(con_.shown_name(p->name.c_str()), 16).c_str());
    con_.line(Stream::Out, p->live_text().c_str());
  }
}

void Batch::table() {
  con_.print_line("");
  con_.text(Stream::Out, padded("Порт", 16).c_str());
  con_.text(Stream::Out, padded("Итог", 44).c_str());
  con_.print_line("Код  Бутлоадер  Шифроключ  Время");
  for (auto& p : ports_) {
    const std::string result = outcome(p->progress, p->status, p->given_up, p->stopped);
    con_.text(Stream::Out, padded(con_.shown_name(p->name.c_str()), 16).c_str());
    con_.text(Stream::Out, padded(result, 44).c_str());
    const auto opt = [](const std::optional<int32_t>& v) {
      return v ? std::to_string(*v) : std::string("-");
    };
    con_.textf(Stream::Out, "%-4d %9s  %9s  %s\n", p->status, opt(p->progress.blid).c_str(),
               opt(p->progress.key).c_str(), clock_text(p->seconds).c_str());
  }
}

int Batch::run() {
  if (!prepare())
    return 2;
  for (const std::string& name : o_.ports) {
    ports_.push_back(std::make_unique<Port>());
    ports_.back()->name = name;
  }
  for (auto& p : ports_)
    start(*p);
  for (;;) {
    bool running = false;
    for (auto& p : ports_) {
      poll(*p);
      running = running || !p->done;
    }
    show();
    if (!running)
      break;
    pause_ms(200);
  }
  table();
  if (interrupted())
    return 130;
  for (auto& p : ports_)
    if (!succeeded(p->status, p->given_up, p->stopped))
      return 1;
  return 0;
}

}  // namespace

int run_gang(Console& con, const Options& o) {
  return Batch(con, o).run();
}

}  // namespace korvel::gang
