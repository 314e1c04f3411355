#pragma once
// The four flash commands the FS writer needs, as an interface: the writer is
// written against it, the agent stage hands it an adapter over the agent's
// block commands, and tests hand it an in-memory NAND.
#include <cstdint>

#include "link/channel.h"

namespace vantrel {

// The three option bytes of the agent's erase command, as the FS writer uses
// them: what each erase is for.
struct EraseOptions {
  uint8_t option1, option2, option3;
};
inline constexpr EraseOptions kEraseBlock{1, 0, 0};         // one block: the old info block
inline constexpr EraseOptions kEraseReservedRun{1, 1, 0};   // a run of the reserved pool
inline constexpr EraseOptions kEraseFsRange{1, 0, 1};       // the FS range, on a version change

// Each command returns 0 on success, otherwise the agent routine's code.
// A write answering 3041 means the target block is bad.
class BlockDevice {
 public:
  // `channel`: the session's reports, limits and failure detail (null: the
  // device's own, with the process-wide defaults). Not owned.
  explicit BlockDevice(Channel* channel = nullptr) : channel_(channel ? channel : &own_) {}
  virtual ~BlockDevice() = default;
  BlockDevice(const BlockDevice&) = delete;
  BlockDevice& operator=(const BlockDevice&) = delete;
  Channel& channel() const { return *channel_; }

  // Whole block: pages x (main, spare); the agent compares its own checksum
  // with `checksum` (XorChecksum16 of the main data).
  virtual int WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size,
                         uint32_t page_count, const uint8_t* main_data, const uint8_t* spare_data,
                         uint16_t checksum) = 0;
  // Only the listed pages (ascending indices into main_data / spare_data).
  virtual int WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages,
                         uint32_t page_size, uint32_t spare_size, uint32_t pages_per_block,
                         const uint8_t* main_data, const uint8_t* spare_data) = 0;
  // `length` bytes of main data from byte `address` (main-data space). Mode 1
  // returns main data only; mode 0 each page's main bytes followed by its
  // spare bytes. `capacity` is the destination's size.
  virtual int ReadFlash(uint32_t address, uint32_t length, uint8_t mode, uint8_t* destination,
                        uint32_t capacity) = 0;
  virtual int FormatRange(uint8_t option1, uint8_t option2, uint8_t option3, uint32_t address,
                          uint32_t length) = 0;
  int Erase(const EraseOptions& o, uint32_t address, uint32_t length) {
    return FormatRange(o.option1, o.option2, o.option3, address, length);
  }

 private:
  Channel own_;
  Channel* channel_;
};

}  // namespace vantrel
