#include "link/serial.h"

#include "platform/recording_port.h"

namespace vantrel {

using platform::LineSettings;

namespace {
namespace line = platform::line;
// Cleared: parity checking, CTS/DSR/XON/XOFF flow, DSR sensitivity, abort on
// error, and the upper bit of the DTR and RTS controls; then set: DTR and RTS
// control "on" (raised while the port is open).
constexpr uint32_t kLineFlagsCleared = line::kParity | line::kOutxCtsFlow | line::kOutxDsrFlow |
                                       (2u << line::kDtrControlShift) | line::kDsrSensitivity |
                                       line::kOutX | line::kInX | (2u << line::kRtsControlShift) |
                                       line::kAbortOnError;
constexpr uint32_t kLineFlagsSet = (1u << line::kDtrControlShift) | (1u << line::kRtsControlShift);
static_assert(kLineFlagsCleared == 0x636E && kLineFlagsSet == 0x1010);
constexpr uint32_t kQueueBytes = 8192;
constexpr uint32_t kReadConstantMs = 20;
constexpr uint32_t kWriteConstantMs = 5000;
}  // namespace

int ConfigureLinkPort(platform::SerialPort& port, uint32_t baud) {
  if (!port.ClearError()) return kLinkError;
  if (!port.SetQueueSizes(kQueueBytes, kQueueBytes)) return kLinkError;
  LineSettings s{};
  if (!port.GetLine(&s)) return kLinkError;
  s.baudRate = baud;
  s.byteSize = 8;
  s.parity = 0;
  s.stopBits = 0;
  s.flags = (s.flags & ~kLineFlagsCleared) | kLineFlagsSet;
  if (!port.SetLine(s)) return kLinkError;
  if (!port.ClearBreak()) return kLinkError;
  if (!port.Purge(platform::kPurgeAll)) return kLinkError;
  Link link(&port);
  if (LinkSetTimeouts(&link, kReadConstantMs, kWriteConstantMs) != 0) return kLinkError;
  return kLinkOk;
}

int OpenLinkPort(uint32_t baud, uint32_t n, std::unique_ptr<platform::SerialPort>* out,
                 const std::string& port_dir, const std::string& transcript) {
  out->reset();
  auto port = platform::OpenComPort(n, /*overlapped=*/false, nullptr, port_dir);
  if (!port) return kLinkError;
  if (ConfigureLinkPort(*port, baud) != kLinkOk) return kLinkError;  // closes the handle
  if (!transcript.empty()) port = platform::MaybeRecord(std::move(port), transcript.c_str(), n);
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
