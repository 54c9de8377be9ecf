#include "app/frontend.h"

#include <climits>
#include <string>
#include <string_view>

#include "container/container.h"
#include "dialogue/dialogue.h"

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
  return PACING_FIXED;
}

uint32_t parse_resend(Console& con, const char* value) {
  const std::string_view v = value != nullptr ? value : "";
  if (v.empty() || v == "0")
    return 0;
  for (uint32_t n = 1; n <= kMaxResend; ++n)
    if (v == std::to_string(n))
      return n;
  con.textf(Stream::Err, "KORVEL_RESEND: unknown value '%s', blocks are not sent again\n", value);
  return 0;
}

bool parse_compare(Console& con, const char* value) {
  const std::string_view v = value != nullptr ? value : "";
  if (v == "1")
    return true;
  if (!v.empty() && v != "0")
    con.textf(Stream::Err, "KORVEL_COMPARE: unknown value '%s', the image is not compared\n",
              value);
  return false;
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

namespace {

bool parse_status(Console& con, const char* value) {
  const std::string_view v = value != nullptr ? value : "";
  if (v == "detailed")
    return true;
  if (!v.empty()) {
    con.textf(Stream::Err, "KORVEL_STATUS: unknown value '%s', the documented statuses are kept\n",
              value);
  }
  return false;
}

void start_trace(Platform& p, int argc, const char* const* argv) {
  if (p.trace_path == nullptr || *p.trace_path == '\0')
    return;
  std::string why;
  if (!p.trace.open(p.trace_path, p.clock, &why)) {
    p.console.textf(Stream::Err, "KORVEL_TRACE: cannot open '%s': %s; no trace is written\n",
                    p.trace_path, why.c_str());
    return;
  }
  std::string args;
  for (int i = 1; i < argc; ++i)
    args += std::string(i > 1 ? " '" : "'") + argv[i] + "'";
  p.trace.line("korvel %s; %d argument%s: %s", KORVEL_VERSION, argc - 1, argc == 2 ? "" : "s",
               args.c_str());
}

void trace_container(Trace& t, const char* FileCC, const Container& c, Verdict verdict) {
  t.line("container '%s': %u bytes, payload %u bytes, %u read", FileCC,
         static_cast<unsigned>(c.sizefile_cct), static_cast<unsigned>(c.sizefile_bin),
         static_cast<unsigned>(c.resread));
  t.line("container: payload CRC-32 %08x stored, %08x computed (%s); image CRC-32 %08x",
         static_cast<unsigned>(c.crc_BIN()), static_cast<unsigned>(c.calc_crc_BIN),
         verdict == Verdict::Good ? "match" : "MISMATCH", static_cast<unsigned>(c.crc_decrypted()));
  if (verdict == Verdict::Good)
    t.line("container: %u blocks, %u pages", static_cast<unsigned>(c.numloadblocs),
           static_cast<unsigned>(c.numpageerase));
}

int detailed_status(Ending e) {
  switch (e) {
    case Ending::Declined:
      return kStatusDeclined;
    case Ending::ContainerDamaged:
      return kStatusContainerDamaged;
    case Ending::ImageRefused:
      return kStatusImageRefused;
    case Ending::BlockRefused:
      return kStatusBlockRefused;
    case Ending::BlockGarbled:
      return kStatusBlockGarbled;
    case Ending::ChecksumDiffers:
      return kStatusChecksumDiffers;
    case Ending::StartUnconfirmed:
      return kStatusStartUnconfirmed;
    case Ending::ImageDiffers:
      return kStatusImageDiffers;
    case Ending::CompareImpossible:
      return kStatusCompareImpossible;
    default:
      return 0;
  }
}

// The stages in their order. Returns the documented status; *ending says how the dialogue
// ended when it ran.
int run_stages(int argc, const char* const* argv, Platform& p, const RunConfig& settings,
               Ending* ending) {
  Console& con = p.console;
  RunConfig cfg = settings;
  if (!parse_arguments(argc, argv, cfg)) {
    print_usage(con, argc > 0 ? argv[0] : "");
    return 0;
  }
  p.trace.line("pacing: %s", cfg.pacing == PACING_REPLY ? "reply-driven" : "documented pauses");
  if (cfg.resend > 0)
    p.trace.line("resend: a block is sent again up to %u times", static_cast<unsigned>(cfg.resend));
  if (cfg.compare)
    p.trace.line("compare: the device's image is compared with the container's first");

  const PortStatus port = p.port_holder.open(con, cfg);
  p.trace.line("port '%s': %s", cfg.pcCommPort,
               port.ok() ? "open, 9600 8N1" : port_reason(port).c_str());
  if (!port.ok())
    return 1;
  if (const std::string note = p.port.adapter_note(); !note.empty())
    p.trace.line("port: %s", note.c_str());
  print_banner(con, cfg);

  Container container;
  Verdict verdict = Verdict::Bad;
  if (const int rc = load_container(con, cfg.FileCC, container, verdict); rc != 0) {
    p.trace.line("container '%s': %s", cfg.FileCC,
                 rc == 1 ? "cannot be opened" : "too large or too short");
    return rc;
  }
  trace_container(p.trace, cfg.FileCC, container, verdict);

  Dialogue dialogue{con, p.clock, p.port, cfg, container};
  dialogue.exchange.trace = &p.trace;
  const int rc = run_dialogue(dialogue, verdict);
  *ending = dialogue.engine.ending;
  if (rc != 0) {
    // A port that failed a write has gone: let go of it now, without the closing texts.
    p.port_holder.release();
    return rc;
  }

  if (const int rc = p.port_holder.close(con); rc != 0)
    return rc;
  release_container(con, container);

  con.print_line("Программа закрыта");
  p.clock.sleep_ms(kTiming.finish_ms);
  return 0;
}

}  // namespace

int run_loader(int argc, const char* const* argv, Platform& p) {
  Console& con = p.console;
  start_trace(p, argc, argv);
  RunConfig settings;
  settings.pacing = parse_pacing(con, p.pacing);
  const bool detailed = parse_status(con, p.status);
  settings.resend = parse_resend(con, p.resend);
  settings.compare = parse_compare(con, p.compare);
  con.set_color(Color::Grey);

  Ending ending = Ending::None;
  int status = run_stages(argc, argv, p, settings, &ending);
  if (detailed && status == 0)
    status = argc != 5 ? int{kStatusUsage} : detailed_status(ending);
  p.trace.line("end: exit status %d", status);
  return status;
}

}  // namespace korvel
