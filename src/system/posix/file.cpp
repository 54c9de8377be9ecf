// The container's file on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/file_access.h"

namespace korvel {

OwnedFile open_regular(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return nullptr;
  struct stat st;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  OwnedFile f(fdopen(fd, "rb"));
  if (f == nullptr)
    ::close(fd);
  return f;
}

FILE* open_for_writing(const char* path) {
  return std::fopen(path, "w");
}

int64_t file_size(FILE* f) {
  if (fseeko(f, 0, SEEK_END) != 0)
    return -1;
  return ftello(f);
}

bool local_time(int32_t timestamp, std::tm& out) {
  const time_t t = timestamp;
  return localtime_r(&t, &out) != nullptr;
}

}  // namespace korvel
