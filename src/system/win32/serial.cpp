// The serial port on Windows, through the comm API. Every call is a plain synchronous one: the
// driver enforces the time limits (COMMTIMEOUTS), the documented ones as the port is set up,
// and for each read the ones it needs. The waits are sliced and the interrupt looked at in
// port_reads.cpp, on the main thread, the only one that touches the port.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h: the device class GUIDs defined here, for the port's own parameters.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>

#include <cstdint>
#include <memory>
#include <string>

#include "system/interrupt.h"
#include "system/serial_port.h"
#include "text/utf8.h"

namespace korvel {
namespace {

// "COM" (any case) followed by digits only names a port, and ports from COM10 up can only be
// opened through the device namespace. Anything else is taken as the caller wrote it.
std::string device_path(const char* name) {
  const std::string s(name);
  if (s.size() <= 3)
    return s;
  const auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
  if (upper(s[0]) != 'C' || upper(s[1]) != 'O' || upper(s[2]) != 'M')
    return s;
  for (size_t i = 3; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9')
      return s;
  }
  return "\\\\.\\" + s;
}

PortFault fault_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_DEV_NOT_EXIST:
      return PortFault::Missing;
    // A port is never shared: another program's hold shows as access denied.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortFault::Busy;
    case ERROR_PRIVILEGE_NOT_HELD:
      return PortFault::NotPermitted;
    // What the comm calls say of a handle that is no serial port.
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return PortFault::NotASerialPort;
    default:
      return PortFault::Other;
  }
}

// An FTDI adapter hands received bytes over every LatencyTimer ms (16 by default), which reply
// pacing pays on every block. Its driver keeps the value beside the port's name in the device's
// parameters; only an administrator may change it (Device Manager, the port's Advanced settings),
// so it is read for the trace and never written.
std::string latency_note(const std::string& name) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE)
    return "adapter latency: the ports could not be listed";
  std::string note = "adapter latency: no latency timer (not an FTDI adapter)";
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
      continue;
    char port[64] = "";
    DWORD size = sizeof port - 1, type = 0, ms = 0, ms_size = sizeof ms;
    const bool ours = RegQueryValueExA(key, "PortName", NULL, &type, reinterpret_cast<BYTE*>(port),
                                       &size) == ERROR_SUCCESS &&
                      type == REG_SZ && lstrcmpiA(port, name.c_str()) == 0;
    if (ours &&
        RegQueryValueExA(key, "LatencyTimer", NULL, &type, reinterpret_cast<BYTE*>(&ms),
                         &ms_size) == ERROR_SUCCESS &&
        type == REG_DWORD)
      note = "adapter latency: FTDI latency timer " + std::to_string(ms) + " ms";
    RegCloseKey(key);
    if (ours)
      break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return note;
}

class Win32SerialPort final : public SerialPort {
 public:
  ~Win32SerialPort() override {
    if (handle_ != INVALID_HANDLE_VALUE)
      close();
  }

  PortStatus open(const char* name) override {
    if (handle_ != INVALID_HANDLE_VALUE || name == nullptr)
      return refused("CreateFile", name != nullptr ? "this port is open already" : "no name");
    const std::u16string path = to_utf16(device_path(name));
    // No sharing: a second opener gets ERROR_ACCESS_DENIED while we hold the port.
    handle_ =
        CreateFileW(std::wstring(path.begin(), path.end()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle_ == INVALID_HANDLE_VALUE)
      return failed("CreateFile");
    latency_note_ = latency_note(name);
    return {};
  }

  std::string adapter_note() const override { return latency_note_; }

  PortStatus read_settings() override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return refused("GetCommState", "the port is not open");
    dcbSerialParams_ = DCB{};
    dcbSerialParams_.DCBlength = sizeof(dcbSerialParams_);
    have_base_ = GetCommState(handle_, &dcbSerialParams_) != FALSE;
    base_ = dcbSerialParams_;
    return have_base_ ? PortStatus{} : failed("GetCommState");
  }

  PortStatus apply_line_settings(int32_t baud) override {
    if (handle_ == INVALID_HANDLE_VALUE || !have_base_)
      return refused("SetCommState", "the settings have not been read");
    if (baud <= 0)
      return refused("SetCommState", "no such speed");
    dcbSerialParams_.BaudRate = static_cast<DWORD>(baud);
    dcbSerialParams_.ByteSize = 8;
    dcbSerialParams_.StopBits = ONESTOPBIT;
    dcbSerialParams_.Parity = NOPARITY;
    // Whatever a terminal program left behind, the line must carry every byte: XON/XOFF would
    // stop it at a 0x11 or 0x13 in a frame, character replacement and null stripping would
    // alter or drop bytes, and abort-on-error would fail every read after one framing error.
    // The modem lines stay as they were: an adapter may switch direction with RTS.
    dcbSerialParams_.fBinary = TRUE;
    dcbSerialParams_.fParity = FALSE;
    dcbSerialParams_.fOutX = FALSE;
    dcbSerialParams_.fInX = FALSE;
    dcbSerialParams_.fErrorChar = FALSE;
    dcbSerialParams_.fNull = FALSE;
    dcbSerialParams_.fAbortOnError = FALSE;
    return SetCommState(handle_, &dcbSerialParams_) != FALSE ? PortStatus{}
                                                             : failed("SetCommState");
  }

  PortStatus apply_timeouts() override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return refused("SetCommTimeouts", "the port is not open");
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = kPortTimeLimits.read.per_byte_ms;
    timeouts.ReadTotalTimeoutConstant = kPortTimeLimits.read.base_ms;
    timeouts.WriteTotalTimeoutMultiplier = kPortTimeLimits.write.per_byte_ms;
    timeouts.WriteTotalTimeoutConstant = kPortTimeLimits.write.base_ms;
    read_wait_ms_ = kNoReadWait;
    return SetCommTimeouts(handle_, &timeouts) != FALSE ? PortStatus{} : failed("SetCommTimeouts");
  }

  bool write(const uint8_t* data, uint32_t n) override {
    interrupt::check();
    if (handle_ == INVALID_HANDLE_VALUE)
      return false;
    if (n == 0)
      return true;
    DWORD written = 0;
    return WriteFile(handle_, data, n, &written, NULL) != FALSE;
  }

  bool read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) override {
    if (got != nullptr)
      *got = 0;
    if (handle_ == INVALID_HANDLE_VALUE || got == nullptr)
      return false;
    if (n == 0)
      return true;
    if (!wait_for_first_byte(wait_ms))
      return false;
    DWORD count = 0;
    const BOOL ok = ReadFile(handle_, buf, n, &count, NULL);
    *got = static_cast<uint32_t>(count);
    return ok != FALSE;
  }

  uint32_t input_waiting() override {
    COMSTAT stat{};
    DWORD errors = 0;
    if (handle_ == INVALID_HANDLE_VALUE || !ClearCommError(handle_, &errors, &stat))
      return 0;
    return static_cast<uint32_t>(stat.cbInQue);
  }

  void discard_input() override {
    if (handle_ != INVALID_HANDLE_VALUE)
      PurgeComm(handle_, PURGE_RXCLEAR);
  }

  bool close() override {
    if (handle_ == INVALID_HANDLE_VALUE)
      return false;
    // The port goes back to the settings it had, for whichever program opens it next.
    if (have_base_)
      SetCommState(handle_, &base_);
    have_base_ = false;
    const BOOL ok = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return ok != FALSE;
  }

 private:
  // The system's reason for a failed call, from GetLastError().
  static PortStatus failed(const char* what) {
    const DWORD code = GetLastError();
    char text[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                   code, 0, text, sizeof text, NULL);
    std::string reason(text, n);
    while (!reason.empty() &&
           (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
      reason.pop_back();
    return {fault_of(code), static_cast<int>(code),
            std::string(what) + ": " + (reason.empty() ? "error" : reason)};
  }
  // A call refused before the system was asked.
  static PortStatus refused(const char* what, const char* why) {
    return {PortFault::Other, 0, std::string(what) + ": " + why};
  }

  // The read time-outs each read sets for itself: what is waiting at once (wait_ms = 0), or the
  // first byte as soon as it comes, waiting up to wait_ms for it. The write's stay the
  // documented ones. Set only when the wait differs from the last one's.
  bool wait_for_first_byte(uint32_t wait_ms) {
    if (wait_ms == read_wait_ms_)
      return true;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = wait_ms == 0 ? 0 : MAXDWORD;
    t.ReadTotalTimeoutConstant = wait_ms;
    t.WriteTotalTimeoutMultiplier = kPortTimeLimits.write.per_byte_ms;
    t.WriteTotalTimeoutConstant = kPortTimeLimits.write.base_ms;
    if (SetCommTimeouts(handle_, &t) == FALSE)
      return false;
    read_wait_ms_ = wait_ms;
    return true;
  }

  static constexpr uint32_t kNoReadWait = UINT32_MAX;
  std::string latency_note_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  uint32_t read_wait_ms_ = kNoReadWait;
  DCB dcbSerialParams_{};
  DCB base_{};
  bool have_base_ = false;
};

}  // namespace

std::unique_ptr<SerialPort> make_system_port() {
  return std::make_unique<Win32SerialPort>();
}

}  // namespace korvel
