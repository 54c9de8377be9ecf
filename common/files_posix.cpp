#include <sys/stat.h>

#include "common/files.h"

namespace korvel::common {

const char* file_kind(unsigned m) {
  const auto mode = static_cast<mode_t>(m);
  return S_ISDIR(mode)    ? "a directory"
         : S_ISLNK(mode)  ? "a symbolic link"
         : S_ISFIFO(mode) ? "a FIFO"
         : S_ISCHR(mode)  ? "a character device"
         : S_ISBLK(mode)  ? "a block device"
         : S_ISSOCK(mode) ? "a socket"
                          : "something else";
}

std::optional<std::string> why_not_replaceable(const std::string& path, bool force) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    return std::nullopt;
  if (!S_ISREG(st.st_mode))
    return std::string("not a regular file (") + file_kind(st.st_mode) +
           "); only a regular file is replaced";
  if (!force)
    return std::string("already exists (use --force to replace it)");
  return std::nullopt;
}

}  // namespace korvel::common
