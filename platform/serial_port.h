#pragma once
// The serial port as the plug-in needs it from the operating system. One
// backend per OS (posix/serial_posix.cpp, win32/serial_win32.cpp), chosen by
// the build; protocol code only ever sees this interface.
//
// Thread safety: one port object is used by one thread at a time (the thread
// running its session). Different port objects may be used concurrently.
#include <cstdint>
#include <memory>
#include <string>

namespace vantrel::platform {

// The communication time-out record. A synchronous read of n bytes gives up
// after n × readMultiplier + readConstant ms, a write after
// n × writeMultiplier + writeConstant ms. readInterval = kReadReturnAtOnce with
// both read fields 0 makes a read return at once with what is queued.
struct Timeouts {
  uint32_t readInterval = 0;
  uint32_t readMultiplier = 0;
  uint32_t readConstant = 0;
  uint32_t writeMultiplier = 0;
  uint32_t writeConstant = 0;
};
inline constexpr uint32_t kReadReturnAtOnce = 0xFFFFFFFFu;

// The line settings in the device-control record's terms, so that the code
// that changes them reads the same on every OS.
struct LineSettings {
  uint32_t baudRate = 0;
  uint8_t byteSize = 8;
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint32_t flags = 0;    // the record's flag word, bits below
};

namespace line {
inline constexpr uint32_t kBinary = 0x0001;
inline constexpr uint32_t kParity = 0x0002;        // parity checking
inline constexpr uint32_t kOutxCtsFlow = 0x0004;
inline constexpr uint32_t kOutxDsrFlow = 0x0008;
inline constexpr uint32_t kDtrControlMask = 0x0030;  // 0 off, 1 on, 2 handshake
inline constexpr uint32_t kDtrControlShift = 4;
inline constexpr uint32_t kDsrSensitivity = 0x0040;
inline constexpr uint32_t kTxContinueOnXoff = 0x0080;
inline constexpr uint32_t kOutX = 0x0100;
inline constexpr uint32_t kInX = 0x0200;
inline constexpr uint32_t kErrorChar = 0x0400;
inline constexpr uint32_t kNull = 0x0800;
inline constexpr uint32_t kRtsControlMask = 0x3000;  // 0 off, 1 on, 2 handshake, 3 toggle
inline constexpr uint32_t kRtsControlShift = 12;
inline constexpr uint32_t kAbortOnError = 0x4000;
}  // namespace line

// Purge actions (may be combined).
inline constexpr uint32_t kPurgeTxAbort = 0x0001;
inline constexpr uint32_t kPurgeRxAbort = 0x0002;
inline constexpr uint32_t kPurgeTxClear = 0x0004;
inline constexpr uint32_t kPurgeRxClear = 0x0008;
inline constexpr uint32_t kPurgeAll = 0x000F;

// The byte link: what the link primitives and the protocol use of a port.
// The scripted fake link of the tests implements only this.
class ByteLink {
 public:
  virtual ~ByteLink() = default;

  // Synchronous read of up to n bytes within the read time-out. Returns false
  // when the OS call fails, which includes the port having gone away (an I/O
  // error, or end of file before the time-out elapsed); *got is then the
  // bytes that did arrive. true with *got < n is a time-out.
  virtual bool Read(uint8_t* buf, uint32_t n, uint32_t* got) = 0;
  // Synchronous write of n bytes within the write time-out.
  virtual bool Write(const uint8_t* buf, uint32_t n, uint32_t* put) = 0;
  // Waits until the driver has sent what was written.
  virtual bool Flush() = 0;
  virtual bool SetTimeouts(const Timeouts& t) = 0;
  virtual Timeouts GetTimeouts() const = 0;
  // True once an I/O call has found the device gone (unplugged, hung up).
  virtual bool Gone() const = 0;
  // The name the port was opened under, for logs.
  virtual std::string Name() const = 0;
  // True for a pseudo-terminal, the port a simulated phone talks through: the
  // one kind of port on which a session may run its fixed pauses faster.
  virtual bool IsPseudoTerminal() { return false; }
};

// A serial port: the byte link plus line control, which only the port's
// opening and the port manager use.
class SerialPort : public ByteLink {
 public:
  // Clears a pending communication error and reads the port status.
  virtual bool ClearError() = 0;
  virtual bool SetQueueSizes(uint32_t in, uint32_t out) = 0;
  virtual bool GetLine(LineSettings* out) = 0;
  virtual bool SetLine(const LineSettings& s) = 0;
  virtual bool ClearBreak() = 0;
  virtual bool Purge(uint32_t actions) = 0;
  // Raise or lower a modem line. A port without modem lines (a
  // pseudo-terminal) accepts this as done.
  virtual bool SetDtr(bool on) = 0;
  virtual bool SetRts(bool on) = 0;
  // Bytes waiting in the input queue.
  virtual uint32_t InputQueued() = 0;
};

enum class OpenError { kNone, kAbsent, kBusy, kFailed };

// Opens the COM port with the given number for exclusive use ("\\.\COM<n>").
// `overlapped` asks for the event-driven mode of the port manager; POSIX
// serves both modes from one non-blocking descriptor. `dir` is the port
// directory to look in (empty: PortDirectory()); Windows has none.
std::unique_ptr<SerialPort> OpenComPort(unsigned number, bool overlapped, OpenError* err = nullptr,
                                        const std::string& dir = {});

// Opens a port by a path of the OS's own (POSIX: any tty path, pty included).
std::unique_ptr<SerialPort> OpenPortPath(const std::string& path, OpenError* err = nullptr);

// Where COM port numbers live. POSIX: a directory (by default /dev/vantrel)
// whose entry COM<n> is a symbolic link to the real device; a missing or
// dangling link is an absent port. Each session may name its own directory
// (`dir`); PortDirectory() is the process's default, which a front end (or a
// test) may set once with SetPortDirectory. Windows: the system's own names.
std::string ComPortPath(unsigned number, const std::string& dir = {});
std::string PortDirectory();
void SetPortDirectory(const std::string& dir);  // empty: the built-in default

}  // namespace vantrel::platform
