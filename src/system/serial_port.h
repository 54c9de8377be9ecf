#pragma once
// The loader's view of a serial port. Each call blocks; none of them prints anything.
// The open sequence is split into its steps so that the caller can report each one.
#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

// A time limit of the port's calls: a base, and a millisecond more for each byte.
struct TimeLimit {
  uint32_t base_ms;
  uint32_t per_byte_ms;
  constexpr uint64_t for_bytes(uint32_t n) const { return base_ms + uint64_t{per_byte_ms} * n; }
};

// The same on every platform and on the tests' virtual line, since the documented pacing is
// written in them: a read of n bytes waits up to 21 + n ms, a write up to 48 + n ms.
struct PortTimeLimits {
  TimeLimit read;
  TimeLimit write;
};
inline constexpr PortTimeLimits kPortTimeLimits{{21, 1}, {48, 1}};

// Why a step of opening the port failed, as the system told it.
enum class PortFault {
  None,            // it did not: the step was done
  Missing,         // no such port
  Busy,            // held by another program
  NotPermitted,    // this user may not have it
  NotASerialPort,  // there, but no serial port
  Other,           // anything else: the code says what
};

// What came of a step of opening the port. The text is for the trace: the call that failed and
// the system's words for it ("open: No such file or directory").
struct [[nodiscard]] PortStatus {
  PortFault fault = PortFault::None;
  int code = 0;  // the system's own (errno, GetLastError()), 0 when the system gave none
  std::string text;
  bool ok() const { return fault == PortFault::None; }
};

// Every call but open() on a port that is not open (never opened, or closed) fails at once
// (false, or a fault), and *got is 0.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Opens the named port for exclusive reading and writing (the name as the program holds
  // names: the system's bytes on POSIX, UTF-8 on Windows). Fails when it cannot be had, or
  // when this port is open already.
  virtual PortStatus open(const char* name) = 0;
  // Reads the port's current line settings, to be kept and given back at close(). A file that
  // is no serial port fails here, if not at open().
  virtual PortStatus read_settings() = 0;
  // Sets `baud`, 8 data bits, no parity, one stop bit and byte transparency, keeping the
  // other settings as read_settings() read them. Fails when they have not been read or the
  // port refuses them.
  virtual PortStatus apply_line_settings(int32_t baud) = 0;
  // Applies the read and write time limits of kPortTimeLimits.
  virtual PortStatus apply_timeouts() = 0;

  // Writes n bytes. Returns once they have left the output queue or after the write's time
  // limit (48 + n ms), whichever is first; running out of time is no failure, whatever is still
  // queued then. n = 0 writes nothing and returns true at once. False only on a fault of the port.
  virtual bool write(const uint8_t* data, uint32_t n) = 0;
  // The platform's one read primitive: up to n bytes of what comes within wait_ms. Bytes
  // already waiting come back at once; otherwise it returns as soon as a byte has come, or
  // after wait_ms with none; wait_ms = 0 takes only what is waiting. Some drivers come back
  // early with nothing (port_reads.h copes). n = 0 returns true at once. *got is the count
  // delivered into buf. False only on a fault of the port, or when got is null. The reads the
  // loader makes are built on it in port_reads.h.
  virtual bool read_some(uint8_t* buf, uint32_t n, uint32_t* got, uint32_t wait_ms) = 0;
  // How many received bytes wait to be read (0 when the system cannot tell); no waiting.
  virtual uint32_t input_waiting() { return 0; }
  // Drops whatever has arrived and not been read; nothing on a closed port.
  virtual void discard_input() = 0;
  // What the port found and asked of the adapter's own latency, for the trace ("" when the
  // platform says nothing of it).
  virtual std::string adapter_note() const { return {}; }
  // Puts back the settings read_settings() read and closes the handle. False when the
  // system reports a failure, or when the port is not open.
  virtual bool close() = 0;
};

// The platform's own port (termios or the Win32 comm API).
std::unique_ptr<SerialPort> make_system_port();

}  // namespace korvel
