#pragma once
// Link primitives: every byte between the plug-in and the phone goes through
// these. Multi-byte values travel big-endian; every write is flushed before
// the call returns (a byte is on the wire before its echo is read); every call
// reports a LinkStatus instead of raising.
#include <cstdarg>
#include <cstdint>

#include "link/byte_order.h"
#include "link/channel.h"
#include "platform/serial_port.h"

namespace vantrel {

// What a protocol function works on, always its first argument: the open
// byte link and the session's channel (reports, trace, wait limits, failure
// detail). A link made without a channel has one of its own with the
// defaults, so a bare port behaves exactly as the process-wide set-up did.
class Link {
 public:
  explicit Link(platform::ByteLink* port, Channel* channel = nullptr)
      : port_(port), channel_(channel ? channel : &own_) {}
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  platform::ByteLink* port() const { return port_; }
  Channel& channel() const { return *channel_; }

 private:
  platform::ByteLink* port_;
  Channel own_;
  Channel* channel_;
};
using LinkHandle = Link*;

enum LinkStatus : int {
  kLinkOk = 0,       // everything written and flushed, or read
  kLinkNoData = 1,   // no byte within the read time-out
  kLinkNothingWritten = 2,
  kLinkError = 3,    // OS call failed, short transfer, or failed flush
};

LinkStatus LinkWrite(LinkHandle h, const uint8_t* buf, uint32_t n);
LinkStatus LinkWrite8(LinkHandle h, uint32_t value);
LinkStatus LinkWrite16(LinkHandle h, uint16_t value);
LinkStatus LinkWrite32(LinkHandle h, uint32_t value);
LinkStatus LinkRead(LinkHandle h, uint8_t* buf, uint32_t n);
LinkStatus LinkReadAll(LinkHandle h, uint8_t* buf, uint32_t n);
LinkStatus LinkRead8(LinkHandle h, uint8_t* out);
LinkStatus LinkRead16(LinkHandle h, uint16_t* out);
LinkStatus LinkRead32(LinkHandle h, uint32_t* out);
// Read constant and write constant in ms; multipliers are 1 ms per byte.
int LinkSetTimeouts(LinkHandle h, uint32_t read_constant_ms, uint32_t write_constant_ms);
// Flushes the port's output once more (the boot ROM echo discipline uses it).
bool LinkFlush(LinkHandle h);
// Formats into a 512-byte buffer (511 characters kept) and hands the text
// unchanged to the link's channel (standard output by default): no prefix,
// no time stamp, no newline added.
void LinkLog(LinkHandle h, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LinkSleep(uint32_t ms);
// One of the protocol's fixed pauses in a session: the session's time scale
// applies (see Channel::pauses).
void LinkSleep(LinkHandle h, uint32_t ms);
// The clock the link's sleeps use, in milliseconds.
uint64_t LinkNowMs();

// True when the port has gone away (unplugged, hung up): every wait on it
// ends at once.
bool LinkGone(LinkHandle h);

}  // namespace vantrel
