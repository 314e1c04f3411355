#pragma once
// The download plan: the order in which the agent stage writes the phone's
// flash, and the glue between the agent's block commands and the FS writer.
// It sits above the protocol folders (agent/, nand/, images/), which never
// include each other.
#include <array>
#include <cstdint>
#include <vector>

#include "agent/agent.h"
#include "images/firmware.h"
#include "link/link.h"
#include "link/progress.h"
#include "nand/block_device.h"
#include "nand/fs_write.h"

namespace vantrel {

// What the agent stage needs besides the firmware: the carried flash tables
// and the two records parsed from the package.
struct AgentStageInputs {
  ImageDesc tableA, tableB;
  const uint8_t* bloaderInfo = nullptr;  // 136 bytes
  const uint8_t* romInfo = nullptr;      // 352 bytes, the ROM information copy
};

// The agent's watchdog command that ends every plan: the phone resets.
inline constexpr uint16_t kWatchdogOnReset = 0x40;

// The agent stage as a whole, from the agent's first byte to the final
// watchdog command. With the session's verify setting, the FS blocks written
// are read back and compared before the watchdog command (nand/fs_verify.h);
// the bootloader and NFB images are left to the agent's checksum answers,
// since where they lie on the flash is the agent's choice. `port` is the COM port number, the first argument of
// every report.
// `greeting` (may be null) receives what the agent reports when it connects.
int AgentRun(LinkHandle h, const AgentStageInputs& in, const FirmwareBundle& fw, uint32_t port,
             AgentGreeting* greeting = nullptr);

// The plan's steps for front ends, in the order AgentRun takes them, with the
// bytes each image step writes (and the verify step when it is on).
std::vector<PlanStep> DownloadPlanSteps(const FirmwareBundle& fw, bool verify = false);

// Writes one FS image through the agent's block commands on the open link;
// `state` is shared by the FS writes of one download (null: this image alone).
int WriteFsImage(const ImageDesc& image, LinkHandle h, uint32_t erase_start, uint32_t erase_length,
                 uint32_t port, FsDownloadState* state = nullptr);

// The agent's block commands on an open link, as the FS writer's device; its
// channel is the link's.
class AgentBlockDevice final : public BlockDevice {
 public:
  explicit AgentBlockDevice(LinkHandle h) : BlockDevice(&h->channel()), h_(h) {}
  int WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size, uint32_t page_count,
                 const uint8_t* main_data, const uint8_t* spare_data, uint16_t checksum) override;
  int WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages, uint32_t page_size,
                 uint32_t spare_size, uint32_t pages_per_block, const uint8_t* main_data,
                 const uint8_t* spare_data) override;
  int ReadFlash(uint32_t address, uint32_t length, uint8_t mode, uint8_t* destination,
                uint32_t capacity) override;
  int FormatRange(uint8_t option1, uint8_t option2, uint8_t option3, uint32_t address,
                  uint32_t length) override;

 private:
  LinkHandle h_;
};

}  // namespace vantrel
