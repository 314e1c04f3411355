// The port manager, written once over the platform's event-driven port:
// reads take only what is queued, writes are bounded by a 10 s time-out, and
// a device that the system reports gone closes the port by itself.
#include <algorithm>

#include "platform/clock.h"
#include "ports/com_driver.h"

namespace vantrel {

namespace line = platform::line;
using platform::IoResult;

namespace {
constexpr uint32_t kQueueBytes = 0x20000;  // 128 KiB each way
constexpr uint32_t kWriteTimeoutMs = 10000;
constexpr uint32_t kPendingReadLimitMs = 3000;
constexpr uint32_t kPurgeRx = platform::kPurgeRxAbort | platform::kPurgeRxClear;
}  // namespace

int32_t CComMngr::Open(uint8_t port_number) {
  if (IsOpen()) return 1;
  port_number_ = port_number;
  if (!OpenPort()) return 0;
  return port_->SetEventMask(platform::kEventRxFlag) ? 1 : 0;  // the port stays open on failure
}

int32_t CComMngr::OpenPort() {
  if (open_) return 0;
  port_ = platform::OpenEventPort(port_number_, port_dir_);
  if (!port_) {
    open_ = 0;
    return 0;
  }
  open_ = 1;
  if (!port_->SetEventMask(platform::kEventRxFlag)) {
    open_ = 0;
    port_.reset();
    return 0;
  }
  platform::SerialPort& p = port_->Port();
  p.SetQueueSizes(kQueueBytes, kQueueBytes);
  platform::Timeouts t;
  t.readInterval = platform::kReadReturnAtOnce;  // with both read totals 0: what is queued, at once
  t.writeConstant = kWriteTimeoutMs;
  p.SetTimeouts(t);
  if (!ConfigurePort(19200, 8, 0, 0)) {
    open_ = 0;
    port_.reset();
    return 0;
  }
  SetDtr(true);
  PurgeRx();
  return 1;
}

int32_t CComMngr::ConfigurePort(uint32_t baud, uint8_t byte_size, uint8_t parity, uint8_t stop_bits) {
  if (!port_ || !port_->Port().GetLine(&line_)) return 0;
  line_.baudRate = baud;
  line_.byteSize = byte_size;
  line_.parity = parity;
  line_.stopBits = stop_bits;
  // No hardware or XON/XOFF flow control; DTR and RTS enabled; binary,
  // parity checking and abort-on-error set. Other flag bits stay.
  line_.flags = (line_.flags & 0xFFFFDCD3u) | 0x5013u;
  platform::FlowChars f;
  f.xonLim = 100;
  f.xoffLim = 100;
  f.xonChar = 0x11;
  f.xoffChar = 0x13;
  return port_->SetLine(line_, f) ? 1 : 0;
}

int32_t CComMngr::SetDtr(bool on) {
  if (((line_.flags & line::kDtrControlMask) >> line::kDtrControlShift) == 2)
    return 2;  // DTR handshake: the driver owns the line
  if (port_) port_->Port().SetDtr(on);
  return 0;
}

void CComMngr::ClosePort() {
  if (!open_) return;
  open_ = 0;
  port_->SetEventMask(0);
  SetDtr(false);
  PurgeRx();
  port_.reset();  // the handle and both events
}

int32_t CComMngr::PurgeRx() { return port_ && port_->Port().Purge(kPurgeRx) ? 1 : 0; }

int32_t CComMngr::PurgeAll() { return port_ && port_->Port().Purge(platform::kPurgeAll) ? 1 : 0; }

int32_t CComMngr::SetBaudRate(uint32_t baud) {
  if (!port_ || !port_->Port().GetLine(&line_)) return 0;
  line_.baudRate = baud;
  return port_->Port().SetLine(line_) ? 1 : 0;
}

uint32_t CComMngr::Read(void* buffer, uint32_t capacity) {
  if (!port_) return 0;
  uint32_t errors = 0, queued = 0;
  if (!port_->ClearError(&errors, &queued)) {
    if (port_->Port().Gone()) {
      ClosePort();
      platform::GetClock().SleepMs(1000);
    }
    return 0;
  }
  if (errors != 0) return 0;  // a line error: this read is lost, the next one goes on
  const uint32_t n = std::min(capacity, queued);
  if (n == 0) return 0;
  uint32_t got = 0;
  switch (port_->Read(buffer, n, kPendingReadLimitMs, &got)) {
    case IoResult::kDone:
      return got;
    case IoResult::kGone:
      platform::GetClock().SleepMs(2000);
      ClosePort();
      return 0;
    case IoResult::kFailed:
      break;
  }
  return 0;
}

int32_t CComMngr::Write(const void* buffer, uint32_t length) {
  if (!port_) return 0;
  uint32_t put = 0;
  const IoResult r = port_->Write(buffer, length, &put);
  if (r == IoResult::kGone) {
    ClosePort();
    return 0;
  }
  return r == IoResult::kDone && put == length ? 1 : 0;  // a write cut short by its time-out failed
}

int32_t CComMngr::IsPortAbsent(uint8_t port_number) { return IsPortPresent(port_number) ? 0 : 1; }

int32_t CComMngr::IsPortPresent(uint8_t port_number) {
  std::vector<SSerInfo> ports;
  EnumeratePorts(ports, false, false, false);  // a full scan each time: nothing is cached
  for (const auto& p : ports)
    if (p.portNumber == port_number) return 1;
  return 0;
}

}  // namespace vantrel
