#pragma once
// Small pieces shared by the agent commands.
#include <cstdint>

#include "link/link.h"
#include "link/wait.h"

namespace vantrel::agent_detail {

inline constexpr uint8_t kAck = 0x5A;       // ready / accepted / confirm
inline constexpr uint8_t kPacketOk = 0x69;  // packet accepted (agent) or resend (plug-in)
inline constexpr uint8_t kGiveUp = 0xA5;    // give up a transfer
inline constexpr uint8_t kStopAll = 0x96;   // the agent ends a packet transfer

inline bool Put8(LinkHandle h, uint8_t v) { return LinkWrite8(h, v) == kLinkOk; }
inline bool Put16(LinkHandle h, uint16_t v) { return LinkWrite16(h, v) == kLinkOk; }
inline bool Put32(LinkHandle h, uint32_t v) { return LinkWrite32(h, v) == kLinkOk; }
inline bool Put(LinkHandle h, const uint8_t* p, uint32_t n) { return LinkWrite(h, p, n) == kLinkOk; }
inline bool Get8(LinkHandle h, uint8_t* v) { return LinkRead8(h, v) == kLinkOk; }
inline bool Get16(LinkHandle h, uint16_t* v) { return LinkRead16(h, v) == kLinkOk; }
inline bool Get32(LinkHandle h, uint32_t* v) { return LinkRead32(h, v) == kLinkOk; }

// A *wait for a byte*: reads until one arrives, the deadline passes or the
// port goes away. False in the last two cases.
inline bool WaitByte(LinkHandle h, uint32_t deadline_ms, uint8_t* out) {
  return LinkWaitByte(h, out, deadline_ms) == kLinkOk;
}
// Waits for a byte and checks that it is 0x5A.
inline bool WaitAck(LinkHandle h, uint32_t deadline_ms) {
  uint8_t b = 0;
  return WaitByte(h, deadline_ms, &b) && b == kAck;
}
inline bool WaitAck(LinkHandle h) { return WaitAck(h, h->channel().limits().statusByteMs); }

// Sum of the bytes modulo 65536: the agent's packet and image check.
inline uint16_t Sum16(const uint8_t* p, uint32_t n) {
  uint32_t s = 0;
  for (uint32_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint16_t>(s);
}

}  // namespace vantrel::agent_detail
