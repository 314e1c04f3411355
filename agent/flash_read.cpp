// The flash read (0xDF): whole into a buffer (the FS writer's block reads),
// or streamed packet by packet to a sink (a front end's read of any size),
// and the search for the flash's end.
#include <algorithm>
#include <vector>

#include "agent/agent.h"
#include "agent/agent_util.h"
#include "vantrel/codes.h"

namespace vantrel {

using namespace agent_detail;

namespace {

constexpr uint8_t kCmdReadFlash = 0xDF;
constexpr uint32_t kReadAlign = 2048;
constexpr uint32_t kReadBytesPerUnit = 4224;
constexpr uint32_t kReadChecksumRetries = 10;
constexpr uint32_t kReadAttempts = 1000;
constexpr uint64_t kAddressLimit = uint64_t(UINT32_MAX) + 1;

// The agent's answer to a read command. A and B are the page and spare
// sizes: E pages fill one read unit, a packet holds E × C bytes, and T bytes
// come in all.
struct ReadOpening {
  uint32_t a = 0, b = 0, total = 0;
  uint64_t packet = 0;  // E × C
  bool refused = false;
  uint8_t refusal = 0;
};

// Sends the command and takes the answer up to T: 0 or 3100, with `refused`
// set when the agent answered the command with a byte other than 0x5A.
int OpenRead(LinkHandle h, uint32_t address, uint32_t length, uint8_t mode, ReadOpening* o) {
  if (!Put8(h, kCmdReadFlash) || !Put8(h, mode) || !Put32(h, address) || !Put32(h, length) || !Put32(h, 0))
    return kReadFlashFailed;
  uint8_t answer = 0;
  if (!WaitByte(h, h->channel().limits().statusByteMs, &answer)) return kReadFlashFailed;
  if (answer != kAck) {
    o->refused = true;
    o->refusal = answer;
    return kReadFlashFailed;
  }
  uint32_t c = 0;
  if (!Get32(h, &o->a) || !Get32(h, &o->b) || !Get32(h, &c)) return kReadFlashFailed;
  const uint64_t page_bytes = uint64_t(o->a) + o->b;
  if (page_bytes == 0) return kReadFlashFailed;
  const uint32_t e = static_cast<uint32_t>(kReadBytesPerUnit / page_bytes);
  if (!Put32(h, e) || !Get32(h, &o->total)) return kReadFlashFailed;
  o->packet = uint64_t(e) * c;
  return 0;
}

enum class PacketRead { kMatched, kAskedAgain, kFailed, kBudgetSpent };

// Reads one packet of n bytes into p, and its sum. A packet whose sum matches
// is left for the caller to answer; one that does not is asked for again
// (0x69) while the read's one budget lasts, then given up (0xA5).
PacketRead ReadPacket(LinkHandle h, uint8_t* p, uint32_t n, uint32_t* retries_left) {
  // A packet that does not come whole is asked for again; the attempts are
  // bounded in number and by the status deadline, and a gone port stops them.
  WaitBudget budget(h, h->channel().limits().statusByteMs);
  for (uint32_t attempt = 1; LinkReadAll(h, p, n) != kLinkOk; ++attempt) {
    if (LinkGone(h)) return PacketRead::kFailed;
    if (attempt >= kReadAttempts || !budget.Spend()) break;
  }
  uint16_t checksum = 0;
  if (!Get16(h, &checksum)) return PacketRead::kFailed;
  if (Sum16(p, n) == checksum) return PacketRead::kMatched;
  if (*retries_left == 0) {
    Put8(h, kGiveUp);
    return PacketRead::kBudgetSpent;
  }
  if (!Put8(h, kPacketOk)) return PacketRead::kFailed;
  --*retries_left;
  return PacketRead::kAskedAgain;
}

// The read into a buffer; `geometry` (may be null) receives the page and
// spare size the agent names in its answer.
int ReadFlash(LinkHandle h, uint32_t address, uint32_t length, uint8_t mode, uint8_t* destination,
              uint32_t capacity, uint32_t geometry[2]) {
  if (address % kReadAlign) return kReadMisalignedStart;
  if (length % kReadAlign) return kReadMisalignedLength;
  if (!destination) return kReadFlashFailed;
  ReadOpening o;
  const int rc = OpenRead(h, address, length, mode, &o);
  if (geometry) {
    geometry[0] = o.a;
    geometry[1] = o.b;
  }
  if (rc) return rc;
  // Every packet lands whole in the destination, the last one included, so it
  // must hold the total rounded up to whole packets. Absurd answers from the
  // agent are refused here instead of being written past the buffer.
  const uint64_t n = o.packet;
  const uint64_t needed = n ? (uint64_t(o.total) + n - 1) / n * n : 0;
  if (n == 0 || n > capacity || needed > capacity) {
    Put8(h, kGiveUp);
    return kReadFlashFailed;
  }
  uint32_t received = 0;
  uint32_t retries_left = kReadChecksumRetries;
  while (received < o.total) {
    const PacketRead r = ReadPacket(h, destination + received, uint32_t(n), &retries_left);
    if (r == PacketRead::kAskedAgain) continue;
    if (r != PacketRead::kMatched) return kReadFlashFailed;
    // A block read takes seconds on a slow link: a cancel stops it at the
    // next packet, as the writes stop. The caller says where it was.
    if (h->channel().cancelled()) {
      Put8(h, kGiveUp);
      return kCancelled;
    }
    received += uint32_t(n);
    if (!Put8(h, kAck)) return kReadFlashFailed;
  }
  return 0;
}

// The packets of an opened read, each handed to the sink once its sum matched.
int StreamPackets(LinkHandle h, uint32_t address, const ReadOpening& o, const ReadSink& sink, ReadStatus* st) {
  Channel& ch = h->channel();
  const uint32_t n = static_cast<uint32_t>(o.packet);
  std::vector<uint8_t> packet(n);
  uint32_t retries_left = kReadChecksumRetries;
  for (uint64_t received = 0; received < o.total;) {
    const PacketRead r = ReadPacket(h, packet.data(), n, &retries_left);
    if (r == PacketRead::kAskedAgain) continue;
    if (r == PacketRead::kBudgetSpent)
      return ch.Fail(kReadFlashFailed,
                     "the read at 0x%08X: the packet at byte %llu came with a wrong sum %u times; the agent "
                     "was told to give up",
                     address, static_cast<unsigned long long>(received), kReadChecksumRetries + 1);
    if (r != PacketRead::kMatched)
      return ch.Fail(kReadFlashFailed, "the read at 0x%08X stopped at byte %llu of %u", address,
                     static_cast<unsigned long long>(received), o.total);
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(n, o.total - received));
    const bool go_on = !sink || sink(packet.data(), take);
    if (!go_on || ch.cancelled()) {
      Put8(h, kGiveUp);
      return ch.Fail(kCancelled, "the read at 0x%08X: %s at byte %llu", address,
                     go_on ? "cancelled" : "the receiver stopped it", static_cast<unsigned long long>(received));
    }
    if (!Put8(h, kAck)) return ch.Fail(kReadFlashFailed, "the read at 0x%08X: the answer to a packet failed", address);
    received += n;
    st->delivered += take;
  }
  return 0;
}

}  // namespace

int AgentReadFlash(LinkHandle h, uint32_t address, uint32_t length, uint8_t mode,
                   uint8_t* destination, uint32_t capacity) {
  return ReadFlash(h, address, length, mode, destination, capacity, nullptr);
}

int AgentReadFlashGeometry(LinkHandle h, uint32_t* page_size, uint32_t* spare_size) {
  // Mode 0 (main and spare data): an answer for main data alone may leave
  // the spare size out. The data is not used; the buffer holds the pages of
  // 2048 main bytes with their spare bytes, and one packet beyond.
  std::vector<uint8_t> buffer(2 * kReadBytesPerUnit);
  uint32_t geometry[2] = {0, 0};
  const int rc = ReadFlash(h, 0, kReadAlign, 0, buffer.data(), uint32_t(buffer.size()), geometry);
  if (page_size) *page_size = geometry[0];
  if (spare_size) *spare_size = geometry[1];
  return rc;
}

int AgentReadFlashStream(LinkHandle h, uint32_t address, uint32_t length, uint8_t mode, const ReadSink& sink,
                         ReadStatus* status) {
  ReadStatus local;
  ReadStatus& st = status ? *status : local;
  st = ReadStatus{};
  Channel& ch = h->channel();
  if (address % kReadAlign)
    return ch.Fail(kReadMisalignedStart, "read start 0x%08X is not a multiple of 2048", address);
  if (length % kReadAlign)
    return ch.Fail(kReadMisalignedLength, "read length 0x%X is not a multiple of 2048", length);
  ReadOpening o;
  const int rc = OpenRead(h, address, length, mode, &o);
  st.pageSize = o.a;
  st.spareSize = o.b;
  st.refused = o.refused;
  st.refusal = o.refusal;
  if (rc && o.refused)
    return ch.Fail(rc, "the agent refused the read of 0x%X bytes at 0x%08X (answered 0x%02X)", length, address,
                   o.refusal);
  if (rc) return ch.Fail(rc, "the read of 0x%X bytes at 0x%08X: the agent's answer did not come", length, address);
  // The receiver gets exactly the range: what the agent announces must be
  // its pages (with their spare bytes in mode 0).
  const uint64_t expected = mode == 1 || o.a == 0 ? length : uint64_t(length) / o.a * (uint64_t(o.a) + o.b);
  if (o.total != expected) {
    Put8(h, kGiveUp);
    return ch.Fail(kReadFlashFailed, "the read of 0x%X bytes at 0x%08X: the agent announced %u bytes, not %llu",
                   length, address, o.total, static_cast<unsigned long long>(expected));
  }
  // One packet is held at a time: the agent's packet size bounds the memory.
  if (o.packet == 0 || o.packet > kMaxStreamPacket) {
    Put8(h, kGiveUp);
    return ch.Fail(kReadFlashFailed, "the read at 0x%08X: the agent announced packets of %llu bytes", address,
                   static_cast<unsigned long long>(o.packet));
  }
  return StreamPackets(h, address, o, sink, &st);
}

int AgentFindFlashEnd(LinkHandle h, uint64_t* end) {
  // Pages below the end are read, pages at or past it refused: the first
  // refused page is the end.
  uint64_t lo = 0, hi = kAddressLimit / kReadAlign;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    ReadStatus st;
    const int rc = AgentReadFlashStream(h, static_cast<uint32_t>(mid * kReadAlign), kReadAlign, 1, nullptr, &st);
    if (rc == 0) lo = mid + 1;
    else if (st.refused) hi = mid;
    else return rc;
  }
  *end = lo * kReadAlign;
  return 0;
}

}  // namespace vantrel
