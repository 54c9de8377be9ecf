// The container's file on Windows, through the C runtime's 64-bit and wide calls.
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "system/file_access.h"
#include "text/utf8.h"

namespace korvel {

OwnedFile open_regular(const char* path) {
  // The wide call opens any name the file system holds, whatever the ANSI code page lacks.
  const std::u16string name = to_utf16(path);
  OwnedFile f(_wfopen(std::wstring(name.begin(), name.end()).c_str(), L"rb"));
  struct _stat64 st;
  if (f == nullptr || _fstat64(_fileno(f.get()), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG)
    return nullptr;
  return f;
}

FILE* open_for_writing(const char* path) {
  const std::u16string name = to_utf16(path);
  return _wfopen(std::wstring(name.begin(), name.end()).c_str(), L"w");
}

int64_t file_size(FILE* f) {
  if (_fseeki64(f, 0, SEEK_END) != 0)
    return -1;
  return _ftelli64(f);
}

bool local_time(int32_t timestamp, std::tm& out) {
  const __time64_t t = timestamp;
  return _localtime64_s(&out, &t) == 0;
}

}  // namespace korvel
