#pragma once
// What the POSIX programs that write files agree on.
#include <optional>
#include <string>

namespace korvel::common {

// Whether `path` may be created, or replaced with `force`: only a regular file is ever replaced,
// since renaming onto a link or a device node would swap out the node itself (a port under
// /dev, for root). Nothing when it may; otherwise why not, in words for the user.
std::optional<std::string> why_not_replaceable(const std::string& path, bool force);

// What a file that is no regular one is, in words ("a directory"), from its stat mode.
const char* file_kind(unsigned mode);

}  // namespace korvel::common
