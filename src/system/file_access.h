#pragma once
// What the container stage needs from the system's files and clock.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>

namespace korvel {

struct CloseFile {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
// A file closed when its owner goes, unless it was taken back to be closed by hand.
using OwnedFile = std::unique_ptr<std::FILE, CloseFile>;

// Opens a regular file for binary reading. Anything else (a directory, a FIFO that would
// block until a writer comes, a device) counts as a container that cannot be opened: null.
// The path is as the program holds names: the system's bytes on POSIX, UTF-8 on Windows.
OwnedFile open_regular(const char* path);

// Creates or truncates a file for writing text (the trace); null with errno set when it cannot.
// The path is held as for open_regular.
FILE* open_for_writing(const char* path);

// Size of the open file in bytes, or -1.
int64_t file_size(FILE* f);

// The local time of a UNIX timestamp; false when the system cannot convert it.
bool local_time(int32_t timestamp, std::tm& out);

}  // namespace korvel
