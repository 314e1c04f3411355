#pragma once
// The download-agent stage. The agent does not echo; it answers with status
// bytes (0x5A ready/accepted, 0x69 packet accepted) and the plug-in answers
// 0x5A confirm, 0x69 resend, 0xA5 give up. Every function takes the open link
// first and returns 0 or an error code (see vantrel/codes.h).
#include <array>
#include <cstdint>
#include <functional>

#include "images/image_desc.h"
#include "images/rom_info.h"
#include "link/link.h"

namespace vantrel {

inline constexpr uint32_t kSharedDataMax = 65536;
// A packet the agent keeps asking for again is resent at most this often.
inline constexpr uint32_t kMaxPacketResends = 16;

// What the agent tells of itself while connecting, kept as it came on the
// wire: the download reads it only to stay in step, a front end shows it.
inline constexpr uint32_t kTargetReportFirstBytes = 28;
inline constexpr uint32_t kTargetReportBytes = 81;
inline constexpr uint32_t kScanResultBytes = 9;
struct AgentGreeting {
  std::array<uint8_t, 2> version{};
  uint8_t chipType = 0;
  std::array<uint8_t, kTargetReportBytes> report{};   // its fields big-endian, unnamed
  std::array<uint8_t, kScanResultBytes> scanResult{}; // the two values and the byte after the scan
};

// `greeting` (may be null) receives what the agent reported.
int AgentConnect(LinkHandle h, const ImageDesc* table_a, const ImageDesc* table_b, uint32_t port,
                 AgentGreeting* greeting = nullptr);
int AgentSendTable(LinkHandle h, const ImageDesc* table, uint32_t record_size);
// *length: in, the buffer's size; out, the length the agent announced (all of
// it is read to stay in step; at most the buffer's size is stored).
int AgentReadSharedData(LinkHandle h, uint32_t type, uint8_t* buffer, uint32_t* length);
int AgentEnableWatchdog(LinkHandle h, uint16_t value);
// Command 0xE0 after the connect: 0 when the agent answers 0x5A. The stage
// goes on whatever it answers.
int AgentCommandE0(LinkHandle h);

int AgentWriteBootloader(LinkHandle h, const ImageDesc* bootloader, const ImageDesc* ext_bootloader,
                         const uint8_t* bloader_info /*136*/, uint32_t port);
int AgentSendImageList(LinkHandle h, const ImageDesc* rom, const ImageDesc* rom2, uint32_t port);
int AgentWriteNfb(LinkHandle h, const ImageDesc* rom, const ImageDesc* rom2, uint32_t port);

// Packet and NAND block commands used by the FS writer.
int AgentSendPackets(LinkHandle h, const uint8_t* data, uint32_t total, uint32_t packet_size,
                     bool with_checksum);
int AgentWriteBlock(LinkHandle h, uint32_t block, uint32_t page_size, uint32_t spare_size,
                    uint32_t page_count, const uint8_t* main_data, const uint8_t* spare_data,
                    uint16_t expected_checksum);
int AgentWritePages(LinkHandle h, uint32_t block, uint32_t list_length, const uint32_t* pages,
                    uint32_t page_size, uint32_t spare_size, uint32_t pages_per_block,
                    const uint8_t* main_data, const uint8_t* spare_data);
// `capacity` is the destination's size; a read that would overrun it fails.
int AgentReadFlash(LinkHandle h, uint32_t address, uint32_t length, uint8_t mode,
                   uint8_t* destination, uint32_t capacity);
// The flash geometry as the agent names it when it answers a read: one read
// of the first 2048 main-data bytes with their spare bytes; the page and
// spare size are its answer's first two values. Returns AgentReadFlash's code.
int AgentReadFlashGeometry(LinkHandle h, uint32_t* page_size, uint32_t* spare_size);

// A read streamed packet by packet: `sink` gets the bytes of each packet whose
// sum matched, in order, never more than the read's total (at most
// kMaxStreamPacket at a time); returning false stops the read. The agent is
// told to give up when the sink stops or the channel is cancelled (1031).
inline constexpr uint32_t kMaxStreamPacket = 65536;
using ReadSink = std::function<bool(const uint8_t* data, uint32_t length)>;
struct ReadStatus {
  uint32_t pageSize = 0, spareSize = 0;  // as the agent's answer names them
  uint64_t delivered = 0;                // bytes handed to the sink
  bool refused = false;                  // the agent answered the command with `refusal`, not 0x5A
  uint8_t refusal = 0;
};
// 0, 4017, 4018, 3100 (refused, no answer, sums that never match: the
// failure detail says which) or 1031.
int AgentReadFlashStream(LinkHandle h, uint32_t address, uint32_t length, uint8_t mode, const ReadSink& sink,
                         ReadStatus* status = nullptr);
// The end of the flash in main-data bytes, found by reading single 2048-byte
// pages: the agent refuses a read past its flash. Costs about 21 short reads;
// for naming the valid range after the agent refused one. 0 or a read's code.
int AgentFindFlashEnd(LinkHandle h, uint64_t* end);
int AgentFormatRange(LinkHandle h, uint8_t option1, uint8_t option2, uint8_t option3,
                     uint32_t address, uint32_t length);

}  // namespace vantrel
