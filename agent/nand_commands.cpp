// The packet sender and the NAND block commands used by the FS writer:
// block write (0xBD), page write (0xC0), erase (0xD4). The flash read (0xDF)
// is flash_read.cpp.
#include <cstring>
#include <vector>

#include "agent/agent.h"
#include "agent/agent_util.h"
#include "vantrel/codes.h"

namespace vantrel {

using namespace agent_detail;

namespace {

constexpr uint8_t kCmdWriteBlock = 0xBD;
constexpr uint8_t kCmdWritePages = 0xC0;
constexpr uint8_t kCmdFormat = 0xD4;

constexpr uint32_t kUnitBytes = 0x4200;  // 32 × (512 + 16) or 8 × (2048 + 64)
constexpr uint32_t kFormatWorking = 3021;

// Pages of one unit for the page sizes the agent knows, with their spare
// size; 0 for anything else.
uint32_t PagesPerUnit(uint32_t page_size, uint32_t spare_size) {
  if (page_size == 512 && spare_size == 16) return 32;
  if (page_size == 2048 && spare_size == 64) return 8;
  return 0;
}

// After a refused block or page command the agent sends an error word; 3041
// is its way of saying the block is bad and must be replaced.
int Refused(LinkHandle h) {
  uint32_t error_word = 0;
  if (Get32(h, &error_word) && error_word == static_cast<uint32_t>(kBadBlock)) return kBadBlock;
  return kCommandRefused;
}

// Copies pages [first, first + count) into `out` as main, spare, main, ...
void Interleave(uint8_t* out, uint32_t first, uint32_t count, uint32_t page_size,
                uint32_t spare_size, const uint8_t* main_data, const uint8_t* spare_data) {
  for (uint32_t p = first; p < first + count; ++p) {
    std::memcpy(out, main_data + uint64_t(p) * page_size, page_size);
    out += page_size;
    std::memcpy(out, spare_data + uint64_t(p) * spare_size, spare_size);
    out += spare_size;
  }
}

}  // namespace

int AgentSendPackets(LinkHandle h, const uint8_t* data, uint32_t total, uint32_t packet_size,
                     bool with_checksum) {
  if (total == 0) return 0;
  if (!data || packet_size == 0) return kWriteFailed;
  const uint32_t count = (total - 1) / packet_size + 1;
  for (uint32_t i = 0; i < count; ++i) {
    if (h->channel().cancelled()) return h->channel().Fail(kCancelled, "packet %u: cancelled", i);
    const uint64_t at = uint64_t(i) * packet_size;
    const uint32_t len = total - at < packet_size ? uint32_t(total - at) : packet_size;
    const uint8_t* p = data + at;
    // The agent may ask for a packet again; a peer that never stops asking
    // must not keep the link busy for ever.
    for (uint32_t sends = 0;; ++sends) {
      if (sends > kMaxPacketResends) return kWriteFailed;
      if (!Put8(h, kAck) || !Put(h, p, len)) return kWriteFailed;
      for (uint32_t fill = len; fill < packet_size; ++fill) {
        if (!Put8(h, 0)) return kPacketZeroFillFailed;
      }
      if (with_checksum && !Put16(h, Sum16(p, len))) return kPacketChecksumFailed;
      uint8_t answer = 0;
      if (!WaitByte(h, h->channel().limits().statusByteMs, &answer)) return kWriteFailed;
      if (answer == kPacketOk) break;
      if (answer == kGiveUp || answer == kStopAll) return 0;
    }
  }
  return 0;
}

int AgentWriteBlock(LinkHandle h, uint32_t block, uint32_t page_size, uint32_t spare_size,
                    uint32_t page_count, const uint8_t* main_data, const uint8_t* spare_data,
                    uint16_t expected_checksum) {
  LinkLog(h, "Write Block num = %u\n", block);
  // Only whole units of a known geometry can be interleaved without reading
  // past the caller's arrays; anything else is refused before it is sent.
  const uint32_t per_unit = PagesPerUnit(page_size, spare_size);
  if (per_unit == 0 || page_count % per_unit != 0 || (page_count && (!main_data || !spare_data))) {
    return kCommandRefused;
  }
  if (!Put8(h, kCmdWriteBlock) || !Put32(h, block) || !Put32(h, page_size) ||
      !Put32(h, spare_size) || !Put32(h, page_count)) {
    return kCommandRefused;
  }
  uint8_t answer = 0;
  if (!WaitByte(h, h->channel().limits().statusByteMs, &answer)) return kCommandRefused;
  if (answer != kAck) return Refused(h);

  std::vector<uint8_t> unit(kUnitBytes);
  for (uint32_t first = 0; first < page_count; first += per_unit) {
    Interleave(unit.data(), first, per_unit, page_size, spare_size, main_data, spare_data);
    int rc = AgentSendPackets(h, unit.data(), kUnitBytes, kUnitBytes, false);
    if (rc == kBadBlock) return rc;
    if (rc != 0) return kTransferFailed;
  }
  uint16_t checksum = 0;
  if (LinkWaitRead16(h, &checksum, h->channel().limits().statusByteMs) != kLinkOk) return kTransferFailed;
  return checksum == expected_checksum ? 0 : kBlockChecksum;
}

int AgentWritePages(LinkHandle h, uint32_t block, uint32_t list_length, const uint32_t* pages,
                    uint32_t page_size, uint32_t spare_size, uint32_t pages_per_block,
                    const uint8_t* main_data, const uint8_t* spare_data) {
  LinkLog(h, "Write Block num = %u\n", block);
  // A spare area larger than the page is no NAND geometry; refusing it also
  // keeps the page buffer's size sane.
  if ((page_size != 512 && page_size != 2048) || spare_size > page_size) return kCommandRefused;
  if (list_length && (!pages || !main_data || (spare_size && !spare_data))) return kCommandRefused;
  for (uint32_t i = 0; i < list_length; ++i) {
    if (pages[i] >= pages_per_block) return kCommandRefused;  // outside the caller's block
  }
  if (!Put8(h, kCmdWritePages) || !Put32(h, block) || !Put32(h, list_length) ||
      !Put32(h, page_size) || !Put32(h, spare_size) || !Put32(h, pages_per_block)) {
    return kCommandRefused;
  }
  uint8_t answer = 0;
  if (!WaitByte(h, h->channel().limits().statusByteMs, &answer)) return kCommandRefused;
  if (answer != kAck) return Refused(h);

  const uint32_t page_bytes = page_size + spare_size;
  std::vector<uint8_t> page(page_bytes);
  for (uint32_t i = 0; i < list_length; ++i) {
    const uint32_t p = pages[i];
    if (!Put32(h, p)) return kCommandRefused;
    Interleave(page.data(), p, 1, page_size, spare_size, main_data, spare_data);
    int rc = AgentSendPackets(h, page.data(), page_bytes, page_bytes, false);
    if (rc == kBadBlock) return rc;
    uint16_t ignored = 0;
    if (LinkWaitRead16(h, &ignored, h->channel().limits().statusByteMs) != kLinkOk) return kTransferFailed;
    if (!Put8(h, kAck)) return kCommandRefused;
    if (rc != 0) return kTransferFailed;
  }
  return 0;
}

int AgentFormatRange(LinkHandle h, uint8_t option1, uint8_t option2, uint8_t option3,
                     uint32_t address, uint32_t length) {
  if (!Put8(h, kCmdFormat) || !Put8(h, option1) || !Put8(h, option2) || !Put8(h, option3) ||
      !Put32(h, address) || !Put32(h, length)) {
    return kFormatFailed;
  }
  const uint32_t erase_ms = h->channel().limits().eraseMs;
  if (!WaitAck(h, erase_ms) || !WaitAck(h, erase_ms)) return kFormatFailed;

  // The agent reports its progress until it is done. Each report is a round
  // trip that takes at least a millisecond, so counting them against the
  // erase deadline bounds an agent that never finishes.
  uint32_t status = 0;
  uint8_t b = 0;
  if (!Get32(h, &status)) return kFormatFailed;
  for (uint32_t rounds = 0; rounds < erase_ms; ++rounds) {
    if (status == kFormatWorking) {
      if (!Get8(h, &b) || !Put8(h, kAck)) return kFormatFailed;
    } else if (status == 0) {
      if (!Get8(h, &b) || !Put8(h, kAck) || !WaitAck(h, erase_ms) || !WaitAck(h, erase_ms)) {
        return kFormatFailed;
      }
      return 0;
    } else {
      uint32_t ignored = 0;
      if (!Get32(h, &ignored) || !Get8(h, &b) || b != kPacketOk) return kFormatFailed;
    }
    if (!Get32(h, &status)) return kFormatFailed;
  }
  return kFormatFailed;
}

}  // namespace vantrel
