#pragma once
// Bounded waits. The protocol "waits for a byte" by reading again and again
// until a read succeeds; left alone that loop never ends on a silent phone.
// Every such wait here has a deadline, counted in port time: each read that
// times out uses up its read time-out from the budget (so the count does not
// depend on a clock that tests may stop), and a port that has gone away ends
// the wait at once.
#include <cstdint>

#include "link/channel.h"
#include "link/link.h"

namespace vantrel {

// Reads one byte, repeating timed-out or failed reads until one succeeds, the
// budget is used up (kLinkNoData) or the port is gone (kLinkError).
LinkStatus LinkWaitByte(LinkHandle h, uint8_t* out, uint32_t budget_ms);
// The same for a 16-bit big-endian value.
LinkStatus LinkWaitRead16(LinkHandle h, uint16_t* out, uint32_t budget_ms);

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
  bool Goes();  // false once the budget is spent

  LinkHandle h_;
  uint64_t left_;
};

}  // namespace vantrel
