// The port manager on Windows: "\\.\COM<n>" opened for overlapped I/O, one
// overlapped record and one manual-reset event for reads and one for writes.
// Reads take only what is queued; a read still pending after 3000 ms is
// cancelled and waited for, so the system never writes into a buffer or a
// record that the caller has already reused.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/win32/serial_win32.h"
#include "ports/com_driver.h"

namespace vantrel {

using platform::IsGoneError;

struct CComMngr::OsState {
  DCB dcb{};  // the line settings as last read, changed and written back
  OVERLAPPED read_ov{};
  OVERLAPPED write_ov{};
  HANDLE read_event = nullptr;
  HANDLE write_event = nullptr;
};

namespace {

constexpr DWORD kPendingReadLimitMs = 3000;
constexpr std::size_t kDcbFlagsOffset = 8;  // the flag word after DCBlength and BaudRate

HANDLE Native(platform::SerialPort* p) {
  return p ? static_cast<platform::Win32SerialPort*>(p)->handle() : nullptr;
}

uint32_t DcbFlags(const DCB& d) {
  uint32_t f;
  std::memcpy(&f, reinterpret_cast<const char*>(&d) + kDcbFlagsOffset, 4);
  return f;
}
void SetDcbFlags(DCB& d, uint32_t f) {
  std::memcpy(reinterpret_cast<char*>(&d) + kDcbFlagsOffset, &f, 4);
}

void ClearErrors(HANDLE h) {
  DWORD errors = 0;
  COMSTAT stat{};
  ClearCommError(h, &errors, &stat);
}

}  // namespace

CComMngr::CComMngr() : os_(std::make_unique<OsState>()) {}

CComMngr::~CComMngr() {
  // The owner calls ClosePort first; if it did not, the handle still goes
  // with port_ and the events go here. No read is ever left pending.
  port_.reset();
  if (os_->read_event) CloseHandle(os_->read_event);
  if (os_->write_event) CloseHandle(os_->write_event);
}

int32_t CComMngr::Open(uint8_t port_number) {
  if (IsOpen()) return 1;
  port_number_ = port_number;
  if (!OpenPort()) return 0;
  return SetCommMask(Native(port_.get()), EV_RXFLAG) ? 1 : 0;  // the port stays open on failure
}

int32_t CComMngr::OpenPort() {
  if (open_) return 0;
  port_ = platform::OpenComPort(port_number_, /*overlapped=*/true);
  if (!port_) {
    open_ = 0;
    return 0;
  }
  HANDLE h = Native(port_.get());
  open_ = 1;
  if (!SetCommMask(h, EV_RXFLAG)) {
    open_ = 0;
    port_.reset();
    return 0;
  }
  SetupComm(h, 0x20000, 0x20000);
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;  // with both read totals 0: return at once with what is queued
  t.WriteTotalTimeoutConstant = 10000;
  SetCommTimeouts(h, &t);
  if (!ConfigurePort(19200, 8, NOPARITY, ONESTOPBIT)) {
    open_ = 0;
    port_.reset();
    return 0;
  }
  SetDtr(true);
  OsState& s = *os_;
  if (!s.read_event) s.read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!s.write_event) s.write_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  s.read_ov = OVERLAPPED{};
  s.write_ov = OVERLAPPED{};
  s.read_ov.hEvent = s.read_event;
  s.write_ov.hEvent = s.write_event;
  if (!s.read_event || !s.write_event) {  // no event, no overlapped I/O
    ClosePort();
    return 0;
  }
  PurgeRx();
  return 1;
}

int32_t CComMngr::ConfigurePort(uint32_t baud, uint8_t byte_size, uint8_t parity, uint8_t stop_bits) {
  DCB& d = os_->dcb;
  d.DCBlength = sizeof(DCB);
  if (!GetCommState(Native(port_.get()), &d)) return 0;
  d.BaudRate = baud;
  d.ByteSize = byte_size;
  d.Parity = parity;
  d.StopBits = stop_bits;
  // No hardware or XON/XOFF flow control; DTR and RTS enabled; binary,
  // parity checking and abort-on-error set. Other flag bits stay.
  SetDcbFlags(d, (DcbFlags(d) & 0xFFFFDCD3u) | 0x5013u);
  d.XonLim = 100;
  d.XoffLim = 100;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  line_ = {d.BaudRate, d.ByteSize, d.Parity, d.StopBits, DcbFlags(d)};
  return SetCommState(Native(port_.get()), &d) ? 1 : 0;
}

int32_t CComMngr::SetDtr(bool on) {
  if (((line_.flags & platform::line::kDtrControlMask) >> platform::line::kDtrControlShift) == 2)
    return 2;  // DTR handshake: the driver owns the line
  EscapeCommFunction(Native(port_.get()), on ? SETDTR : CLRDTR);
  return 0;
}

void CComMngr::ClosePort() {
  if (!open_) return;
  open_ = 0;
  SetCommMask(Native(port_.get()), 0);
  SetDtr(false);
  PurgeRx();
  port_.reset();
  OsState& s = *os_;
  if (s.read_event) CloseHandle(s.read_event);
  if (s.write_event) CloseHandle(s.write_event);
  s.read_event = s.write_event = nullptr;
  s.read_ov.hEvent = s.write_ov.hEvent = nullptr;
}

int32_t CComMngr::PurgeRx() {
  return PurgeComm(Native(port_.get()), PURGE_RXABORT | PURGE_RXCLEAR) ? 1 : 0;
}

int32_t CComMngr::PurgeAll() {
  return PurgeComm(Native(port_.get()),
                   PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) ? 1 : 0;
}

int32_t CComMngr::SetBaudRate(uint32_t baud) {
  DCB& d = os_->dcb;
  d.DCBlength = sizeof(DCB);
  if (!GetCommState(Native(port_.get()), &d)) return 0;
  d.BaudRate = baud;
  line_ = {d.BaudRate, d.ByteSize, d.Parity, d.StopBits, DcbFlags(d)};
  return SetCommState(Native(port_.get()), &d) ? 1 : 0;
}

uint32_t CComMngr::Read(void* buffer, uint32_t capacity) {
  if (!port_) return 0;
  HANDLE h = Native(port_.get());
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(h, &errors, &stat)) {
    if (IsGoneError(GetLastError())) {
      ClosePort();
      platform::GetClock().SleepMs(1000);
    }
    return 0;
  }
  if (errors != 0) return 0;  // a line error: this read is lost, the next one goes on
  const DWORD n = std::min<DWORD>(capacity, stat.cbInQue);
  if (n == 0) return 0;
  OVERLAPPED& ov = os_->read_ov;
  DWORD count = 0;
  if (ReadFile(h, buffer, n, &count, &ov)) return count;
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    count = 0;
    const DWORD w = WaitForSingleObject(ov.hEvent, kPendingReadLimitMs);
    if (w == WAIT_OBJECT_0) {
      if (!GetOverlappedResult(h, &ov, &count, FALSE)) return 0;
    } else {
      // Retire the read before the buffer and the record can be reused. If
      // it completed in the meantime its bytes are returned, not lost.
      CancelIo(h);
      if (!GetOverlappedResult(h, &ov, &count, TRUE)) count = 0;
    }
    ClearErrors(h);
    return count;
  }
  ClearErrors(h);
  if (IsGoneError(error)) {
    platform::GetClock().SleepMs(2000);
    ClosePort();
  }
  return 0;
}

int32_t CComMngr::Write(const void* buffer, uint32_t length) {
  if (!port_) return 0;
  HANDLE h = Native(port_.get());
  OVERLAPPED& ov = os_->write_ov;
  DWORD count = 0;
  if (WriteFile(h, buffer, length, &count, &ov)) return count == length ? 1 : 0;
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    // The 10 s write time-out set at open ends the wait.
    if (GetOverlappedResult(h, &ov, &count, TRUE)) {
      ClearErrors(h);
      return count == length ? 1 : 0;  // a write cut short by its time-out failed
    }
    const DWORD late = GetLastError();
    if (late == ERROR_IO_INCOMPLETE) return 0;
    if (IsGoneError(late)) {
      ClosePort();
      return 0;
    }
    ClearErrors(h);
    return 0;
  }
  if (IsGoneError(error)) {
    ClosePort();
    return 0;
  }
  ClearErrors(h);
  return 0;
}

}  // namespace vantrel
