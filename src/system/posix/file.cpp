// The container's file on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fd.h"
#include "system/file_access.h"

namespace korvel {

OwnedFile open_regular(const char* path) {
  common::Fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  const int flags = fd.valid() ? fcntl(fd.get(), F_GETFL) : -1;
  if (flags < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return nullptr;
  OwnedFile f(fdopen(fd.get(), "rb"));
  if (f != nullptr)
    fd.release();  // the stream closes it now
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
