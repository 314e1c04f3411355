#include "link/serial.h"

#include <cstdlib>

#include "platform/recording_port.h"

namespace vantrel {

using platform::LineSettings;

int ConfigureLinkPort(platform::SerialPort& port, uint32_t baud) {
  if (!port.ClearError()) return kLinkError;
  if (!port.SetQueueSizes(8192, 8192)) return kLinkError;
  LineSettings s{};
  if (!port.GetLine(&s)) return kLinkError;
  s.baudRate = baud;
  s.byteSize = 8;
  s.parity = 0;
  s.stopBits = 0;
  // No parity checking, no CTS/DSR/XON/XOFF flow, no DSR sensitivity, no
  // abort on error; DTR and RTS raised while the port is open.
  s.flags = (s.flags & ~0x636Eu) | 0x1010u;
  if (!port.SetLine(s)) return kLinkError;
  if (!port.ClearBreak()) return kLinkError;
  if (!port.Purge(platform::kPurgeAll)) return kLinkError;
  if (LinkSetTimeouts(&port, 20, 5000) != 0) return kLinkError;
  return kLinkOk;
}

int OpenLinkPort(uint32_t baud, uint32_t n, std::unique_ptr<platform::SerialPort>* out) {
  out->reset();
  auto port = platform::OpenComPort(n, /*overlapped=*/false);
  if (!port) return kLinkError;
  if (ConfigureLinkPort(*port, baud) != kLinkOk) return kLinkError;  // closes the handle
  // A transcript of the wire for field reports: VANTREL_TRANSCRIPT names the
  // file ("%u" becomes the COM port number). Set-up calls are not wire bytes.
  if (const char* path = std::getenv("VANTREL_TRANSCRIPT"))
    port = platform::MaybeRecord(std::move(port), path, n);
  *out = std::move(port);
  return kLinkOk;
}

CSerial::~CSerial() {
  if (open_) Close();
}

void CSerial::Attach(std::unique_ptr<platform::SerialPort> port) {
  port_ = std::move(port);
  open_ = port_ ? 1 : 0;
}

int32_t CSerial::Close() {
  open_ = 0;
  if (port_) {
    port_->SetDtr(false);
    port_.reset();
  }
  return 1;
}

}  // namespace vantrel
