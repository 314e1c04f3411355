#pragma once
// The download-agent stage. The agent does not echo; it answers with status
// bytes (0x5A ready/accepted, 0x69 packet accepted) and the plug-in answers
// 0x5A confirm, 0x69 resend, 0xA5 give up. Every function takes the open link
// first and returns 0 or an error code (see vantrel/codes.h).
#include <cstdint>

#include "images/image_desc.h"
#include "images/rom_info.h"
#include "link/link.h"

namespace vantrel {

inline constexpr uint32_t kSharedDataMax = 65536;
// A packet the agent keeps asking for again is resent at most this often.
inline constexpr uint32_t kMaxPacketResends = 16;

int AgentConnect(LinkHandle h, const ImageDesc* table_a, const ImageDesc* table_b, uint32_t port);
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
int AgentFormatRange(LinkHandle h, uint8_t option1, uint8_t option2, uint8_t option3,
                     uint32_t address, uint32_t length);

}  // namespace vantrel
