#include "link/link.h"

#include <cstdint>
#include <cstdio>

#include "platform/clock.h"

namespace vantrel {

namespace {

// What a failed call leaves in the channel: the port gone, or the kind of
// call that failed on a port still there.
void NoteFailedCall(LinkHandle h, LinkCause while_there) {
  h->channel().NoteFault(h->port()->Gone() ? LinkCause::kPortGone : while_there);
}

// The port time a read of n bytes may take before it gives up.
uint32_t ReadTimeoutMs(LinkHandle h, uint32_t n) {
  const platform::Timeouts t = h->port()->GetTimeouts();
  const uint64_t ms = uint64_t(n) * t.readMultiplier + t.readConstant;
  return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

}  // namespace

LinkStatus LinkWrite(LinkHandle h, const uint8_t* buf, uint32_t n) {
  if (!h || !h->port()) return kLinkError;
  uint32_t put = 0;
  LinkStatus s = kLinkOk;
  if (!h->port()->Write(buf, n, &put)) s = kLinkError;
  else if (put == 0) s = kLinkNothingWritten;
  else if (put != n) s = kLinkError;
  else if (!h->port()->Flush()) s = kLinkError;
  if (s != kLinkOk) NoteFailedCall(h, LinkCause::kWriteFailed);
  return s;
}

LinkStatus LinkWrite8(LinkHandle h, uint32_t value) {
  uint8_t b = static_cast<uint8_t>(value);
  return LinkWrite(h, &b, 1);
}

LinkStatus LinkWrite16(LinkHandle h, uint16_t value) {
  uint8_t b[2];
  PutBe16(b, value);
  return LinkWrite(h, b, 2);
}

LinkStatus LinkWrite32(LinkHandle h, uint32_t value) {
  uint8_t b[4];
  PutBe32(b, value);
  return LinkWrite(h, b, 4);
}

LinkStatus LinkRead(LinkHandle h, uint8_t* buf, uint32_t n) {
  if (!h || !h->port()) return kLinkError;
  uint32_t got = 0;
  if (!h->port()->Read(buf, n, &got)) {
    NoteFailedCall(h, LinkCause::kReadFailed);
    return kLinkError;
  }
  if (got > 0) h->channel().NoteAnswered();
  if (got == n) return kLinkOk;
  // Nothing, or the answer stopped short: the rest never came.
  h->channel().NoteSilence(ReadTimeoutMs(h, n - got));
  return got == 0 ? kLinkNoData : kLinkError;
}

LinkStatus LinkReadAll(LinkHandle h, uint8_t* buf, uint32_t n) {
  if (n == 0) return kLinkNoData;
  if (!h || !h->port()) return kLinkError;
  uint32_t have = 0;
  while (have < n) {
    uint32_t got = 0;
    if (!h->port()->Read(buf + have, n - have, &got)) {
      NoteFailedCall(h, LinkCause::kReadFailed);
      return kLinkError;
    }
    if (got == 0) {
      h->channel().NoteSilence(ReadTimeoutMs(h, n - have));
      return kLinkNoData;
    }
    h->channel().NoteAnswered();
    have += got;
  }
  return kLinkOk;
}

LinkStatus LinkRead8(LinkHandle h, uint8_t* out) {
  uint8_t b = 0;
  LinkStatus s = LinkRead(h, &b, 1);
  if (s == kLinkOk) *out = b;
  return s;
}

LinkStatus LinkRead16(LinkHandle h, uint16_t* out) {
  uint8_t b[2];
  LinkStatus s = LinkRead(h, b, 2);
  if (s == kLinkOk) *out = GetBe16(b);
  return s;
}

LinkStatus LinkRead32(LinkHandle h, uint32_t* out) {
  uint8_t b[4];
  LinkStatus s = LinkRead(h, b, 4);
  if (s == kLinkOk) *out = GetBe32(b);
  return s;
}

int LinkSetTimeouts(LinkHandle h, uint32_t read_constant_ms, uint32_t write_constant_ms) {
  if (!h || !h->port()) return kLinkError;
  platform::Timeouts t;
  t.readInterval = 0;
  t.readMultiplier = 1;
  t.readConstant = read_constant_ms;
  t.writeMultiplier = 1;
  t.writeConstant = write_constant_ms;
  return h->port()->SetTimeouts(t) ? kLinkOk : kLinkError;
}

bool LinkFlush(LinkHandle h) { return h && h->port() && h->port()->Flush(); }

void LinkLog(LinkHandle h, const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);  // cuts to 511 characters + NUL
  va_end(ap);
  if (h) h->channel().Log("%s", buf);
  else {
    std::fputs(buf, stdout);
    std::fflush(stdout);
  }
}

void LinkSleep(uint32_t ms) { platform::GetClock().SleepMs(ms); }

void LinkSleep(LinkHandle h, uint32_t ms) {
  if (h) h->channel().pauses().SleepMs(ms);
  else LinkSleep(ms);
}

uint64_t LinkNowMs() { return platform::GetClock().NowMs(); }

bool LinkGone(LinkHandle h) { return !h || !h->port() || h->port()->Gone(); }

}  // namespace vantrel
