#include "frontend.h"

#include <climits>
#include <string_view>

#include "container/container.h"
#include "dialogue.h"
#include "port_stage.h"

namespace korvel {

int32_t parse_netnum(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulate the magnitude with a ceiling just past the range, so no digit count can
  // overflow it.
  const int64_t ceiling = int64_t{INT32_MAX} + 1;
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > ceiling)
      magnitude = ceiling;
  }
  if (negative)
    return static_cast<int32_t>(-magnitude);
  return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

pacing_e parse_pacing(Console& con, const char* value) {
  const std::string_view v = value != nullptr ? value : "";
  if (v == "reply")
    return PACING_REPLY;
  if (!v.empty() && v != "spec") {
    con.textf(Stream::Err, "KORVEL_PACING: unknown value '%s', the documented pauses are kept\n",
              value);
  }
  return PACING_SPEC;
}

bool parse_arguments(int argc, const char* const* argv, RunConfig& cfg) {
  if (argc != 5)
    return false;
  cfg.pcCommPort = argv[1];
  cfg.netnum = parse_netnum(argv[2]);
  cfg.FileCC = argv[3];
  cfg.Directive = argv[4];
  cfg.portspeed = 9600;
  const std::string_view d = cfg.Directive;
  cfg.direct = INFO;
  if (d == "P")
    cfg.direct = PROG;
  if (d == "I")
    cfg.direct = INFO;
  return true;
}

void print_usage(Console& con, const char* program) {
  con.print_line("Set font Lucida Console - 16 for russian!");
  con.print_line("Korvel-K1 loader");
  con.print_line("ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!");
  con.print_line("Скорость обмена фиксированная - 9600;");
  con.textf(Stream::Out, "usage: %s <port> <netnum> <file> <directive>\n",
            con.shown_name(program).c_str());
  con.print_line("<port>  -     номер порта, например COM1");
  con.print_line("<netnum>  -   номер устройства, 1 (всегда)");
  con.print_line("<file> -      файл криптоконтейнер, например boot.cct");
  con.print_line("<directive> - P - программировать устройство");
  con.print_line("              I - только считывание информации о устройстве");
  con.print_line("Example:   Korvel COM3 1 boot.cct P");
}

void print_banner(Console& con, const RunConfig& cfg) {
  con.print_line("                                      Set font Lucida Console - 16 for russian!");
  con.print_line(RULE79);
  con.print_line("ВНИМАНИЕ! НА ЛИНИИ RS-485 ДОЛЖЕН БЫТЬ ТОЛЬКО ОДИН ВКЛЮЧЕННЫЙ ПРИБОР!");
  con.print_line("Программа - загрузчик Korvel-K1 V2.0");
  con.textf(Stream::Out, "Loader: Port %s; Speed %d; 8N1\n", con.shown_name(cfg.pcCommPort).c_str(),
            cfg.portspeed);
  if (cfg.direct == PROG) {
    con.print_line("Читаем информацию о приборе и программируем");
  } else {
    con.print_line("Только читаем информацию о приборе");
  }
  con.print_line(RULE79);
}

int run_loader(int argc, const char* const* argv, Platform& p) {
  Console& con = p.console;
  const pacing_e pacing = parse_pacing(con, p.pacing);
  con.set_color(Color::Grey);

  RunConfig cfg;
  cfg.pacing = pacing;
  if (!parse_arguments(argc, argv, cfg)) {
    print_usage(con, argc > 0 ? argv[0] : "");
    return 0;
  }

  if (const int rc = open_port(p.port, con, cfg); rc != 0)
    return rc;
  print_banner(con, cfg);

  Container container;
  Verdict verdict = Verdict::Bad;
  if (const int rc = load_container(con, cfg.FileCC, container, verdict); rc != 0)
    return rc;

  Dialogue dialogue{con, p.clock, p.port, cfg, container};
  if (const int rc = run_dialogue(dialogue, verdict); rc != 0)
    return rc;

  if (const int rc = close_port(p.port, con); rc != 0)
    return rc;
  release_container(con, container);

  con.print_line("Программа закрыта");
  p.clock.sleep_ms(2000);
  return 0;
}

}  // namespace korvel
