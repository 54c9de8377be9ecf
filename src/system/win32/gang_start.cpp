// korvel-gang's entry point on Windows, its arguments kept as UTF-8 like the loader's.
#include "system/win32/arguments.h"

namespace korvel::gang {
int gang_main(int argc, const char* const* argv);
}

extern "C" int wmain(int argc, wchar_t** argv) {
  const korvel::Utf8Arguments args(argc, argv);
  return korvel::gang::gang_main(argc, args.argv());
}
