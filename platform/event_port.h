#pragma once
// The port manager's port: a serial port opened for event-driven I/O, with
// the few operations that the synchronous link does not need (event mask,
// error bits, the XON/XOFF record fields, a read whose pending part is waited
// for only so long). One backend per OS (posix/event_port_posix.cpp,
// win32/event_port_win32.cpp); the port manager sees only this interface.
//
// Thread safety: as SerialPort; one object is used by one thread.
#include <cstdint>
#include <memory>

#include "platform/serial_port.h"

namespace vantrel::platform {

// Event-mask bits.
inline constexpr uint32_t kEventRxFlag = 0x0002;  // the event character arrived

// The flow-control fields of the device-control record that LineSettings
// does not carry.
struct FlowChars {
  uint16_t xonLim = 0;
  uint16_t xoffLim = 0;
  uint8_t xonChar = 0x11;
  uint8_t xoffChar = 0x13;
};

enum class IoResult {
  kDone,    // the transfer ended; the count says how far it got
  kFailed,  // the call failed; the port may still be usable
  kGone,    // the system reports the device gone (access denied, general failure)
};

class EventPort {
 public:
  virtual ~EventPort() = default;

  // The line control and synchronous calls of the same open port.
  virtual SerialPort& Port() = 0;

  virtual bool SetEventMask(uint32_t mask) = 0;
  // Clears a pending communication error: *errors gets the error bits,
  // *in_queue the bytes waiting. False when the call fails (Port().Gone()
  // then tells whether the device went away).
  virtual bool ClearError(uint32_t* errors, uint32_t* in_queue) = 0;
  // Writes the line settings and the flow-control fields in one call.
  virtual bool SetLine(const LineSettings& s, const FlowChars& f) = 0;
  // Reads up to n bytes. A read the system leaves pending is waited for at
  // most pending_wait_ms and then retired (cancelled and finished), so the
  // system never writes into `buf` once this returns.
  virtual IoResult Read(void* buf, uint32_t n, uint32_t pending_wait_ms, uint32_t* got) = 0;
  // Writes n bytes; a pending write ends by the port's write time-out.
  virtual IoResult Write(const void* buf, uint32_t n, uint32_t* put) = 0;
};

// Opens "\\.\COM<n>" (POSIX: COM<n> of the port directory `dir`, empty:
// the default) for exclusive, event-driven use. Null when the port is absent,
// held, or no event could be made for it.
std::unique_ptr<EventPort> OpenEventPort(unsigned number, const std::string& dir = {});

}  // namespace vantrel::platform
