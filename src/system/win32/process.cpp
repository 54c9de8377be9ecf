// korvel-gang's processes on Windows: each loader in a process group of its own
// (CREATE_NEW_PROCESS_GROUP), which the console's Ctrl+C does not reach and CTRL_BREAK_EVENT
// reaches alone, so that the gang stops each loader as Ctrl+C stops it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include "system/process.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace korvel::gang {

namespace {

std::wstring wide(std::string_view utf8) {
  const std::u16string w = to_utf16(utf8);
  return std::wstring(w.begin(), w.end());
}

std::string reason(DWORD code) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                 code, 0, text, sizeof text, NULL);
  std::string r(text, n);
  while (!r.empty() && (r.back() == '\n' || r.back() == '\r' || r.back() == ' '))
    r.pop_back();
  return r.empty() ? "error " + std::to_string(code) : r;
}

// One argument as the C runtime splits a command line: quoted, its backslashes before a quote
// doubled.
std::wstring quoted(const std::wstring& arg) {
  std::wstring q = L"\"";
  size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    q += c;
  }
  q.append(2 * slashes, L'\\');
  return q + L"\"";
}

// The environment block with `add` in it, a variable of the same name replaced.
std::wstring environment_with(const std::vector<std::string>& add) {
  std::wstring block;
  wchar_t* env = GetEnvironmentStringsW();
  for (const wchar_t* e = env; e != nullptr && *e != L'\0'; e += wcslen(e) + 1) {
    const std::wstring var = e;
    const std::wstring name = var.substr(0, var.find(L'=', 1));
    bool replaced = false;
    for (const std::string& a : add)
      replaced = replaced || _wcsicmp(wide(a.substr(0, a.find('='))).c_str(), name.c_str()) == 0;
    if (!replaced)
      block += var + L'\0';
  }
  if (env != nullptr)
    FreeEnvironmentStringsW(env);
  for (const std::string& a : add)
    block += wide(a) + L'\0';
  return block + L'\0';
}

HANDLE inheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, NULL, TRUE};
  return CreateFileW(wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

class Win32Child final : public Child {
 public:
  explicit Win32Child(PROCESS_INFORMATION pi) : pi_(pi) {}
  ~Win32Child() override {
    if (!status_) {
      interrupt();
      WaitForSingleObject(pi_.hProcess, 5000);
    }
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
  }
  void interrupt() override {
    if (!status_)
      GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi_.dwProcessId);
  }
  std::optional<int> exit_status() override {
    DWORD code = 0;
    if (!status_ && WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(pi_.hProcess, &code))
      status_ = static_cast<int>(code);
    return status_;
  }

 private:
  PROCESS_INFORMATION pi_;
  std::optional<int> status_;
};

std::atomic<bool> g_interrupted{false};
HANDLE g_wake = NULL;

// The gang's own console events: noted, and acted on in the main loop, which stops the loaders
// and ends. A close event leaves a few seconds: enough for the loaders to put their ports back.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;
  g_interrupted = true;
  if (g_wake != NULL)
    SetEvent(g_wake);
  if (event == CTRL_CLOSE_EVENT)
    Sleep(4500);
  return TRUE;
}

}  // namespace

std::unique_ptr<Child> start_child(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env, const std::string& input,
                                   const std::string& output, std::string* why) {
  std::wstring line;
  for (const std::string& a : argv)
    line += (line.empty() ? L"" : L" ") + quoted(wide(a));
  std::wstring block = environment_with(env);
  HANDLE in = inheritable(input, false), out = inheritable(output, true);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    *why = (in == INVALID_HANDLE_VALUE ? input : output) + ": " + reason(GetLastError());
    for (HANDLE h : {in, out})
      if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return nullptr;
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  const BOOL ok = CreateProcessW(NULL, line.data(), NULL, NULL, TRUE,
                                 CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT,
                                 block.data(), NULL, &si, &pi);
  const DWORD err = GetLastError();
  CloseHandle(in);
  CloseHandle(out);
  if (!ok) {
    *why = argv[0] + ": " + reason(err);
    return nullptr;
  }
  return std::make_unique<Win32Child>(pi);
}

void arm_interrupt() {
  g_wake = CreateEventA(NULL, TRUE, FALSE, NULL);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool interrupted() {
  return g_interrupted.load();
}

void pause_ms(uint32_t ms) {
  if (g_wake != NULL)
    WaitForSingleObject(g_wake, ms);
  else
    Sleep(ms);
}

// A console that takes the cursor codes (Windows 10 and later, once asked).
bool output_is_terminal() {
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
    return false;
  return SetConsoleMode(h, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != FALSE;
}

std::string default_loader() {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(NULL, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH)
    return "Korvel.exe";
  const std::wstring_view path(self, n);
  const std::wstring folder(path.substr(0, path.rfind(L'\\') + 1));
  return from_utf16(std::u16string(folder.begin(), folder.end())) + "Korvel.exe";
}

}  // namespace korvel::gang
