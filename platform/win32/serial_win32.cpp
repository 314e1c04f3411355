// Windows serial port: the communication functions on a "\\.\COM<n>" handle.
// The device-control record's flag word has the same bit layout as
// LineSettings::flags, so the line settings pass through unchanged.
#include "platform/win32/serial_win32.h"

#include <cstddef>
#include <cstring>

namespace vantrel::platform {

static_assert(sizeof(DCB) == 28, "the device-control record of 32-bit Windows");
// The bit fields follow DCBlength and BaudRate: one 32-bit word at offset 8.
constexpr std::size_t kDcbFlagsOffset = 8;
static_assert(offsetof(DCB, wReserved) == kDcbFlagsOffset + 4);

bool IsGoneError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:      // the driver refuses a handle whose device left
    case ERROR_GEN_FAILURE:        // "device not functioning"
    case ERROR_BAD_COMMAND:        // the device no longer understands the request
    case ERROR_OPERATION_ABORTED:  // the driver cancelled I/O while the device went away
      return true;
    default:
      return false;
  }
}

std::string ComDeviceName(unsigned number) { return "\\\\.\\COM" + std::to_string(number); }

Win32SerialPort::Win32SerialPort(HANDLE h, bool overlapped, std::string name)
    : h_(h), overlapped_(overlapped), name_(std::move(name)) {
  if (overlapped_) io_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Win32SerialPort::~Win32SerialPort() {
  if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  if (io_event_) CloseHandle(io_event_);
}

bool Win32SerialPort::Fail(DWORD error) {
  if (IsGoneError(error)) gone_ = true;
  SetLastError(error);
  return false;
}

bool Win32SerialPort::Check(BOOL ok) { return ok ? true : Fail(GetLastError()); }

bool Win32SerialPort::Transfer(bool write, void* buf, uint32_t n, uint32_t* done) {
  *done = 0;
  if (gone_) return false;
  if (n == 0) return true;
  DWORD count = 0;
  if (!overlapped_) {
    BOOL ok = write ? WriteFile(h_, buf, n, &count, nullptr) : ReadFile(h_, buf, n, &count, nullptr);
    *done = count;
    return Check(ok);
  }
  if (!io_event_) return false;
  OVERLAPPED ov{};
  ov.hEvent = io_event_;
  ResetEvent(io_event_);
  BOOL ok = write ? WriteFile(h_, buf, n, nullptr, &ov) : ReadFile(h_, buf, n, nullptr, &ov);
  if (!ok && GetLastError() != ERROR_IO_PENDING) return Fail(GetLastError());
  // The port's own time-outs end the operation; waiting for it keeps the
  // buffer and the record alive until the system is done with them.
  ok = GetOverlappedResult(h_, &ov, &count, TRUE);
  *done = count;
  return Check(ok);
}

bool Win32SerialPort::Read(uint8_t* buf, uint32_t n, uint32_t* got) {
  return Transfer(false, buf, n, got);
}

bool Win32SerialPort::Write(const uint8_t* buf, uint32_t n, uint32_t* put) {
  return Transfer(true, const_cast<uint8_t*>(buf), n, put);
}

bool Win32SerialPort::Flush() { return !gone_ && Check(FlushFileBuffers(h_)); }

bool Win32SerialPort::SetTimeouts(const Timeouts& t) {
  if (gone_) return false;
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = t.readInterval;
  ct.ReadTotalTimeoutMultiplier = t.readMultiplier;
  ct.ReadTotalTimeoutConstant = t.readConstant;
  ct.WriteTotalTimeoutMultiplier = t.writeMultiplier;
  ct.WriteTotalTimeoutConstant = t.writeConstant;
  if (!Check(SetCommTimeouts(h_, &ct))) return false;
  cached_ = t;
  return true;
}

Timeouts Win32SerialPort::GetTimeouts() const {
  COMMTIMEOUTS ct{};
  if (!GetCommTimeouts(h_, &ct)) return cached_;  // what was last set
  Timeouts t;
  t.readInterval = ct.ReadIntervalTimeout;
  t.readMultiplier = ct.ReadTotalTimeoutMultiplier;
  t.readConstant = ct.ReadTotalTimeoutConstant;
  t.writeMultiplier = ct.WriteTotalTimeoutMultiplier;
  t.writeConstant = ct.WriteTotalTimeoutConstant;
  return t;
}

bool Win32SerialPort::ClearError() {
  DWORD errors = 0;
  COMSTAT stat{};
  return !gone_ && Check(ClearCommError(h_, &errors, &stat));
}

bool Win32SerialPort::SetQueueSizes(uint32_t in, uint32_t out) {
  return !gone_ && Check(SetupComm(h_, in, out));
}

bool Win32SerialPort::GetLine(LineSettings* out) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (gone_ || !Check(GetCommState(h_, &dcb))) return false;
  LineSettings s;
  s.baudRate = dcb.BaudRate;
  s.byteSize = dcb.ByteSize;
  s.parity = dcb.Parity;
  s.stopBits = dcb.StopBits;
  std::memcpy(&s.flags, reinterpret_cast<const char*>(&dcb) + kDcbFlagsOffset, 4);
  *out = s;
  return true;
}

bool Win32SerialPort::SetLine(const LineSettings& s) {
  // Fields that LineSettings does not carry keep what the driver reported.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (gone_ || !Check(GetCommState(h_, &dcb))) return false;
  dcb.BaudRate = s.baudRate;
  dcb.ByteSize = s.byteSize;
  dcb.Parity = s.parity;
  dcb.StopBits = s.stopBits;
  std::memcpy(reinterpret_cast<char*>(&dcb) + kDcbFlagsOffset, &s.flags, 4);
  return Check(SetCommState(h_, &dcb));
}

bool Win32SerialPort::ClearBreak() { return !gone_ && Check(ClearCommBreak(h_)); }

bool Win32SerialPort::Purge(uint32_t actions) {
  static_assert(kPurgeTxAbort == PURGE_TXABORT && kPurgeRxAbort == PURGE_RXABORT &&
                kPurgeTxClear == PURGE_TXCLEAR && kPurgeRxClear == PURGE_RXCLEAR);
  return !gone_ && Check(PurgeComm(h_, actions));
}

bool Win32SerialPort::ModemLine(DWORD function) {
  if (gone_) return false;
  if (EscapeCommFunction(h_, function)) return true;
  // A port without modem lines (Wine's port on a pseudo-terminal, some
  // virtual ports) has nothing to raise: done, not failed.
  const DWORD error = GetLastError();
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ? true : Fail(error);
}

// Windows has no pseudo-terminals of its own; the simulated phone reaches a
// Windows build through Wine's port on one, which is the port without modem
// lines. Raising DTR, which the open port has raised already, tells: Wine
// answers ERROR_NOT_SUPPORTED there. (A virtual port without modem lines
// counts too; a real phone's port always has them.)
bool Win32SerialPort::IsPseudoTerminal() {
  if (gone_ || EscapeCommFunction(h_, SETDTR)) return false;
  const DWORD error = GetLastError();
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

bool Win32SerialPort::SetDtr(bool on) { return ModemLine(on ? SETDTR : CLRDTR); }

bool Win32SerialPort::SetRts(bool on) { return ModemLine(on ? SETRTS : CLRRTS); }

uint32_t Win32SerialPort::InputQueued() {
  DWORD errors = 0;
  COMSTAT stat{};
  if (gone_ || !Check(ClearCommError(h_, &errors, &stat))) return 0;
  return stat.cbInQue;
}

namespace {

std::unique_ptr<SerialPort> OpenDevice(const std::string& path, bool overlapped, OpenError* err) {
  OpenError dummy;
  OpenError& e = err ? *err : dummy;
  // Exclusive (no sharing), only an existing device, no attributes.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         overlapped ? (FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL) : 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    switch (GetLastError()) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        e = OpenError::kAbsent;
        break;
      case ERROR_ACCESS_DENIED:  // held by another opener
      case ERROR_SHARING_VIOLATION:
        e = OpenError::kBusy;
        break;
      default:
        e = OpenError::kFailed;
        break;
    }
    return nullptr;
  }
  e = OpenError::kNone;
  return std::make_unique<Win32SerialPort>(h, overlapped, path);
}

}  // namespace

std::string PortDirectory() { return "\\\\.\\"; }
void SetPortDirectory(const std::string& /*dir*/) {}  // COM names are the system's own

std::string ComPortPath(unsigned number, const std::string& /*dir*/) { return ComDeviceName(number); }

std::unique_ptr<SerialPort> OpenPortPath(const std::string& path, OpenError* err) {
  return OpenDevice(path, /*overlapped=*/false, err);
}

std::unique_ptr<SerialPort> OpenComPort(unsigned number, bool overlapped, OpenError* err,
                                        const std::string& /*dir*/) {
  return OpenDevice(ComDeviceName(number), overlapped, err);
}

}  // namespace vantrel::platform
