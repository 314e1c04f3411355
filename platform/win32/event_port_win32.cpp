// The event-driven port on Windows: "\\.\COM<n>" opened for overlapped I/O,
// one overlapped record and one manual-reset event for reads and one for
// writes. A read still pending after its wait is cancelled and finished, so
// the system never writes into a buffer or a record the caller has reused.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "platform/event_port.h"
#include "platform/win32/serial_win32.h"

namespace vantrel::platform {
namespace {

static_assert(kEventRxFlag == EV_RXFLAG);
constexpr std::size_t kDcbFlagsOffset = 8;  // the flag word after DCBlength and BaudRate

class Win32EventPort final : public EventPort {
 public:
  Win32EventPort(HANDLE h, std::string name, HANDLE read_event, HANDLE write_event)
      : port_(h, /*overlapped=*/true, std::move(name)) {
    read_ov_.hEvent = read_event;
    write_ov_.hEvent = write_event;
  }
  ~Win32EventPort() override {
    CloseHandle(read_ov_.hEvent);
    CloseHandle(write_ov_.hEvent);
  }  // the port closes its handle after this body

  SerialPort& Port() override { return port_; }

  bool SetEventMask(uint32_t mask) override { return Check(SetCommMask(port_.handle(), mask)); }

  bool ClearError(uint32_t* errors, uint32_t* in_queue) override {
    DWORD e = 0;
    COMSTAT stat{};
    const bool ok = Check(ClearCommError(port_.handle(), &e, &stat));
    *errors = ok ? e : 0;
    *in_queue = ok ? stat.cbInQue : 0;
    return ok;
  }

  bool SetLine(const LineSettings& s, const FlowChars& f) override {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!Check(GetCommState(port_.handle(), &d))) return false;
    d.BaudRate = s.baudRate;
    d.ByteSize = s.byteSize;
    d.Parity = s.parity;
    d.StopBits = s.stopBits;
    std::memcpy(reinterpret_cast<char*>(&d) + kDcbFlagsOffset, &s.flags, 4);
    d.XonLim = f.xonLim;
    d.XoffLim = f.xoffLim;
    d.XonChar = static_cast<char>(f.xonChar);
    d.XoffChar = static_cast<char>(f.xoffChar);
    return Check(SetCommState(port_.handle(), &d));
  }

  IoResult Read(void* buf, uint32_t n, uint32_t pending_wait_ms, uint32_t* got) override {
    HANDLE h = port_.handle();
    *got = 0;
    ResetEvent(read_ov_.hEvent);
    DWORD count = 0;
    if (ReadFile(h, buf, n, &count, &read_ov_)) {
      *got = count;
      return IoResult::kDone;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      const DWORD w = WaitForSingleObject(read_ov_.hEvent, pending_wait_ms);
      if (w == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(h, &read_ov_, &count, FALSE)) return IoResult::kFailed;
      } else {
        // Retire the read before the buffer and the record can be reused. If
        // it completed in the meantime its bytes are returned, not lost.
        CancelIo(h);
        if (!GetOverlappedResult(h, &read_ov_, &count, TRUE)) count = 0;
      }
      ClearErrors();
      *got = count;
      return IoResult::kDone;
    }
    ClearErrors();
    port_.Fail(error);
    return IsGoneError(error) ? IoResult::kGone : IoResult::kFailed;
  }

  IoResult Write(const void* buf, uint32_t n, uint32_t* put) override {
    HANDLE h = port_.handle();
    *put = 0;
    ResetEvent(write_ov_.hEvent);
    DWORD count = 0;
    if (WriteFile(h, buf, n, &count, &write_ov_)) {
      *put = count;
      return IoResult::kDone;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      // The write time-out set at open ends the wait.
      if (GetOverlappedResult(h, &write_ov_, &count, TRUE)) {
        ClearErrors();
        *put = count;
        return IoResult::kDone;
      }
      error = GetLastError();
      if (error == ERROR_IO_INCOMPLETE) return IoResult::kFailed;
    }
    port_.Fail(error);
    if (IsGoneError(error)) return IoResult::kGone;
    ClearErrors();
    return IoResult::kFailed;
  }

 private:
  bool Check(BOOL ok) { return ok ? true : port_.Fail(GetLastError()); }
  void ClearErrors() {
    DWORD e = 0;
    COMSTAT stat{};
    ClearCommError(port_.handle(), &e, &stat);
  }

  Win32SerialPort port_;
  OVERLAPPED read_ov_{};
  OVERLAPPED write_ov_{};
};

}  // namespace

std::unique_ptr<EventPort> OpenEventPort(unsigned number, const std::string& /*dir*/) {
  const std::string name = ComDeviceName(number);
  // Exclusive (no sharing), only an existing device, overlapped.
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE r = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not signalled
  HANDLE w = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!r || !w) {  // no event, no overlapped I/O
    if (r) CloseHandle(r);
    if (w) CloseHandle(w);
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<Win32EventPort>(h, name, r, w);
}

}  // namespace vantrel::platform
