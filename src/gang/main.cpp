// korvel-gang's start: its options, then the batch.
#include <memory>

#include "gang/gang.h"
#include "system/process.h"
#include "text/console.h"

namespace korvel::gang {

int gang_main(int argc, const char* const* argv) {
  std::unique_ptr<Console> con = make_system_console();
  Options o;
  if (const auto error = parse_options(argc, argv, o)) {
    con->text(Stream::Err, "korvel-gang: ");
    con->line(Stream::Err, error->c_str());
    return 2;
  }
  if (o.help) {
    con->print(usage_text());
    return 0;
  }
  if (o.version) {
    con->print_line("korvel-gang " KORVEL_VERSION);
    return 0;
  }
  arm_interrupt();
  return run_gang(*con, o);
}

}  // namespace korvel::gang
