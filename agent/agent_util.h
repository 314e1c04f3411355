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

// One packet of the bootloader and NFB writes: the bytes, their 16-bit sum,
// then the agent's answer byte (0x69 accepted). Looks at the channel's cancel
// flag first, so a cancelled transfer stops between packets.
enum class PacketResult { kAccepted, kCancelled, kDataWriteFailed, kSumWriteFailed, kNoAnswer, kRefused };
inline PacketResult SendSummedPacket(LinkHandle h, const uint8_t* p, uint32_t len, uint8_t* answer) {
  if (h->channel().cancelled()) return PacketResult::kCancelled;
  if (!Put(h, p, len)) return PacketResult::kDataWriteFailed;
  if (!Put16(h, Sum16(p, len))) return PacketResult::kSumWriteFailed;
  if (!WaitByte(h, h->channel().limits().statusByteMs, answer)) return PacketResult::kNoAnswer;
  return *answer == kPacketOk ? PacketResult::kAccepted : PacketResult::kRefused;
}
inline const char* PacketFailure(PacketResult r) {
  switch (r) {
    case PacketResult::kAccepted: return "accepted";
    case PacketResult::kCancelled: return "cancelled";
    case PacketResult::kDataWriteFailed: return "the data write failed";
    case PacketResult::kSumWriteFailed: return "the checksum write failed";
    case PacketResult::kNoAnswer: return "no answer from the agent";
    case PacketResult::kRefused: return "the agent refused it";
  }
  return "?";
}

}  // namespace vantrel::agent_detail
