#pragma once
// Bounded waits. The protocol "waits for a byte" by reading again and again
// until a read succeeds; left alone that loop never ends on a silent phone.
// Every such wait here has a deadline, counted in port time: each read that
// times out uses up its read time-out from the budget (so the count does not
// depend on a clock that tests may stop), and a port that has gone away ends
// the wait at once.
#include <cstdint>

#include "link/link.h"

namespace vantrel {

// Deadlines of the waits without a limit of their own, in milliseconds. The
// defaults suit a real phone; tests and simulations may shorten them.
struct WaitLimits {
  uint32_t handshakeMs = 60000;      // boot ROM start handshake
  uint32_t registerPollMs = 5000;    // one power-key busy-bit poll
  uint32_t firstAgentByteMs = 60000; // the agent's first 0xC0 after the jump
  uint32_t statusByteMs = 30000;     // any agent status byte or short answer
  uint32_t flashScanMs = 120000;     // "Wait for DA to scan flash content"
  uint32_t eraseMs = 120000;         // answers during an erase of a range
};

// The process-wide limits (read by every session; set them before sessions run).
WaitLimits& Limits();

// Reads one byte, repeating timed-out or failed reads until one succeeds, the
// budget is used up (kLinkNoData) or the port is gone (kLinkError).
LinkStatus LinkWaitByte(LinkHandle h, uint8_t* out, uint32_t budget_ms);
// The same for a 16-bit and a 32-bit big-endian value.
LinkStatus LinkWaitRead16(LinkHandle h, uint16_t* out, uint32_t budget_ms);
LinkStatus LinkWaitRead32(LinkHandle h, uint32_t* out, uint32_t budget_ms);

// Tracks a budget across several reads of one wait loop.
class WaitBudget {
 public:
  WaitBudget(LinkHandle h, uint32_t budget_ms) : h_(h), left_(budget_ms) {}
  // Call after a read that did not succeed; false when the wait must end.
  bool Spend();
  // Call after an exchange that succeeded but must be repeated (a busy
  // answer): it costs about the time the exchange takes on the wire.
  bool SpendMs(uint32_t ms);
  bool Exhausted() const { return left_ == 0; }

 private:
  LinkHandle h_;
  uint64_t left_;
};

}  // namespace vantrel
