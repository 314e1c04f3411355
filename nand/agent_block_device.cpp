// Kept apart from the writer so that code using only WriteFsImageOn (tests,
// tools) does not pull in the agent protocol.
#include "agent/agent.h"
#include "nand/block_device.h"
#include "nand/fs_write.h"

namespace vantrel {

int AgentBlockDevice::WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size,
                                 uint32_t page_count, const uint8_t* main_data,
                                 const uint8_t* spare_data, uint16_t checksum) {
  return AgentWriteBlock(h_, block, page_size, spare_size, page_count, main_data, spare_data,
                         checksum);
}

int AgentBlockDevice::WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages,
                                 uint32_t page_size, uint32_t spare_size, uint32_t pages_per_block,
                                 const uint8_t* main_data, const uint8_t* spare_data) {
  return AgentWritePages(h_, block, list_length, pages, page_size, spare_size, pages_per_block,
                         main_data, spare_data);
}

int AgentBlockDevice::ReadFlash(uint32_t address, uint32_t length, uint8_t mode,
                                uint8_t* destination, uint32_t capacity) {
  return AgentReadFlash(h_, address, length, mode, destination, capacity);
}

int AgentBlockDevice::FormatRange(uint8_t option1, uint8_t option2, uint8_t option3,
                                  uint32_t address, uint32_t length) {
  return AgentFormatRange(h_, option1, option2, option3, address, length);
}

int WriteFsImage(const ImageDesc& image, LinkHandle h, uint32_t erase_start,
                 uint32_t erase_length, uint32_t port) {
  AgentBlockDevice device(h);
  return WriteFsImageOn(device, image, erase_start, erase_length, port);
}

}  // namespace vantrel
