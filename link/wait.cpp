#include "link/wait.h"

namespace vantrel {

bool WaitBudget::Spend() {
  if (LinkGone(h_)) return false;
  platform::Timeouts t = h_->port()->GetTimeouts();
  uint64_t cost = uint64_t(t.readMultiplier) + t.readConstant;
  if (cost == 0) cost = 1;
  left_ = left_ > cost ? left_ - cost : 0;
  return Goes();
}

bool WaitBudget::SpendMs(uint32_t ms) {
  if (LinkGone(h_)) return false;
  left_ = left_ > ms ? left_ - ms : 0;
  return Goes();
}

bool WaitBudget::Goes() {
  if (left_ > 0) return true;
  // The wait gives up: a silence that ended it is the failure, whatever
  // the protocol reads after it.
  h_->channel().CommitSilence();
  return false;
}

namespace {

// Repeats one read primitive until it succeeds, the budget is spent or the
// port is gone.
template <class T>
LinkStatus WaitRead(LinkHandle h, T* out, uint32_t budget_ms, LinkStatus (*read)(LinkHandle, T*)) {
  WaitBudget b(h, budget_ms);
  for (;;) {
    LinkStatus s = read(h, out);
    if (s == kLinkOk) return s;
    if (!b.Spend()) return LinkGone(h) ? kLinkError : kLinkNoData;
  }
}

}  // namespace

LinkStatus LinkWaitByte(LinkHandle h, uint8_t* out, uint32_t budget_ms) {
  return WaitRead(h, out, budget_ms, &LinkRead8);
}

LinkStatus LinkWaitRead16(LinkHandle h, uint16_t* out, uint32_t budget_ms) {
  return WaitRead(h, out, budget_ms, &LinkRead16);
}

}  // namespace vantrel
