// korvel-gang's entry point on POSIX systems: the names as the system holds them.
#include <signal.h>

namespace korvel::gang {
int gang_main(int argc, const char* const* argv);
}

int main(int argc, char** argv) {
  // A report nobody reads any more is no reason to leave the loaders running unwatched.
  signal(SIGPIPE, SIG_IGN);
  return korvel::gang::gang_main(argc, argv);
}
