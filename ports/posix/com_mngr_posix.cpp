// The port manager over the platform's serial port in its event-driven mode:
// reads return at once with what is queued, writes are bounded by a 10 s
// time-out, and a device that has gone away closes the port by itself.
#include <algorithm>

#include "platform/clock.h"
#include "ports/com_driver.h"

namespace vantrel {

using platform::LineSettings;
namespace line = platform::line;

struct CComMngr::OsState {};  // nothing beyond the descriptor

CComMngr::CComMngr() = default;
CComMngr::~CComMngr() = default;

int32_t CComMngr::Open(uint8_t port_number) {
  if (IsOpen()) return 1;
  port_number_ = port_number;
  if (!OpenPort()) return 0;
  return 1;  // the receive-flag event mask has no POSIX counterpart to fail
}

int32_t CComMngr::OpenPort() {
  if (open_) return 0;
  platform::OpenError err;
  port_ = platform::OpenComPort(port_number_, /*overlapped=*/true, &err);
  if (!port_) {
    open_ = 0;
    return 0;
  }
  open_ = 1;
  port_->SetQueueSizes(0x20000, 0x20000);
  platform::Timeouts t;
  t.readInterval = platform::kReadReturnAtOnce;  // a read returns at once with what is queued
  t.writeConstant = 10000;
  if (!port_->SetTimeouts(t) || !ConfigurePort(19200, 8, 0, 0)) {
    open_ = 0;
    port_.reset();
    return 0;
  }
  SetDtr(true);
  PurgeRx();
  return 1;
}

int32_t CComMngr::ConfigurePort(uint32_t baud, uint8_t byte_size, uint8_t parity, uint8_t stop_bits) {
  if (!port_ || !port_->GetLine(&line_)) return 0;
  line_.baudRate = baud;
  line_.byteSize = byte_size;
  line_.parity = parity;
  line_.stopBits = stop_bits;
  // No hardware or XON/XOFF flow control; DTR and RTS enabled; binary,
  // parity checking and abort-on-error set. Other flag bits stay.
  line_.flags = (line_.flags & 0xFFFFDCD3u) | 0x5013u;
  return port_->SetLine(line_) ? 1 : 0;
}

int32_t CComMngr::SetDtr(bool on) {
  if (((line_.flags & line::kDtrControlMask) >> line::kDtrControlShift) == 2) return 2;
  if (port_) port_->SetDtr(on);
  return 0;
}

void CComMngr::ClosePort() {
  if (!open_) return;
  open_ = 0;
  SetDtr(false);
  PurgeRx();
  port_.reset();
}

int32_t CComMngr::PurgeRx() {
  return port_ && port_->Purge(platform::kPurgeRxAbort | platform::kPurgeRxClear) ? 1 : 0;
}

int32_t CComMngr::PurgeAll() { return port_ && port_->Purge(platform::kPurgeAll) ? 1 : 0; }

int32_t CComMngr::SetBaudRate(uint32_t baud) {
  if (!port_ || !port_->GetLine(&line_)) return 0;
  line_.baudRate = baud;
  return port_->SetLine(line_) ? 1 : 0;
}

uint32_t CComMngr::Read(void* buffer, uint32_t capacity) {
  if (!port_) return 0;
  if (!port_->ClearError()) {
    if (port_->Gone()) {
      ClosePort();
      platform::GetClock().SleepMs(1000);
    }
    return 0;
  }
  uint32_t n = std::min(capacity, port_->InputQueued());
  if (n == 0) {
    if (port_->Gone()) ClosePort();
    return 0;
  }
  uint32_t got = 0;
  if (!port_->Read(static_cast<uint8_t*>(buffer), n, &got)) {
    if (port_->Gone()) {
      platform::GetClock().SleepMs(2000);
      ClosePort();
    }
    return 0;
  }
  return got;
}

int32_t CComMngr::Write(const void* buffer, uint32_t length) {
  if (!port_) return 0;
  uint32_t put = 0;
  if (port_->Write(static_cast<const uint8_t*>(buffer), length, &put) && put == length) return 1;
  if (port_->Gone()) ClosePort();
  return 0;
}

}  // namespace vantrel
