#pragma once
// The Windows serial port behind platform::SerialPort, for the Windows-only
// code that needs the handle itself (the port manager's overlapped I/O).
#include <windows.h>

#include <string>

#include "platform/serial_port.h"

namespace vantrel::platform {

// True for the errors with which Windows reports a device that has gone
// away under an open handle (a USB serial adapter pulled out, a driver that
// dropped the port): the port is of no further use.
bool IsGoneError(DWORD error);

// "\\.\COM<n>": reaches ports above 9 as well as below.
std::string ComDeviceName(unsigned number);

class Win32SerialPort final : public SerialPort {
 public:
  // Takes ownership of an open handle. `overlapped` says whether it was
  // opened with FILE_FLAG_OVERLAPPED; the synchronous calls of this class
  // then wait for their own operation to finish.
  Win32SerialPort(HANDLE h, bool overlapped, std::string name);
  ~Win32SerialPort() override;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool Read(uint8_t* buf, uint32_t n, uint32_t* got) override;
  bool Write(const uint8_t* buf, uint32_t n, uint32_t* put) override;
  bool Flush() override;
  bool SetTimeouts(const Timeouts& t) override;
  Timeouts GetTimeouts() const override;
  bool ClearError() override;
  bool SetQueueSizes(uint32_t in, uint32_t out) override;
  bool GetLine(LineSettings* out) override;
  bool SetLine(const LineSettings& s) override;
  bool ClearBreak() override;
  bool Purge(uint32_t actions) override;
  bool SetDtr(bool on) override;
  bool SetRts(bool on) override;
  uint32_t InputQueued() override;
  bool Gone() const override { return gone_; }
  std::string Name() const override { return name_; }
  bool IsPseudoTerminal() override;

  HANDLE handle() const { return h_; }
  bool overlapped() const { return overlapped_; }
  // Records the error of a failed call on this handle; returns false so that
  // callers can write `return Fail();`.
  bool Fail(DWORD error);

 private:
  // One read or write, waited for to the end in overlapped mode.
  bool Transfer(bool write, void* buf, uint32_t n, uint32_t* done);
  bool Check(BOOL ok);
  bool ModemLine(DWORD escape_function);

  HANDLE h_;
  bool overlapped_;
  HANDLE io_event_ = nullptr;  // for the synchronous calls in overlapped mode
  std::string name_;
  Timeouts cached_{};
  bool gone_ = false;
};

}  // namespace vantrel::platform
