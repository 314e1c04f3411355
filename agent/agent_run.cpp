// The agent stage as a whole: the order in which the phone's flash is written.
#include <vector>

#include "agent/agent.h"
#include "agent/agent_util.h"
#include "nand/fs_write.h"
#include "vantrel/codes.h"

namespace vantrel {

using namespace agent_detail;

namespace {

constexpr uint32_t kSharedDataTypes[] = {0x10000, 0x10001, 0x10002, 0x10003};
constexpr uint16_t kWatchdogOnReset = 0x40;

// Region table of the ROM information copy: a 16-bit count, then entries of
// 16 bytes holding a 32-bit start at +4 and a 32-bit length at +8.
constexpr uint32_t kRegionCountOffset = 210;
constexpr uint32_t kRegionTableOffset = 216;
constexpr uint32_t kRegionEntrySize = 16;
constexpr uint32_t kMaxRegions = (kRomInfoCopySize - kRegionTableOffset) / kRegionEntrySize;

}  // namespace

// A count of 0 names no region, and a count beyond what the 352-byte copy
// holds would point past it; both are refused rather than guessed at.
bool AgentFsRegion(const uint8_t* rom_info, uint32_t* start, uint32_t* length) {
  if (!rom_info) return false;
  uint32_t n = GetLe16(rom_info + kRegionCountOffset);
  if (n == 0 || n > kMaxRegions) return false;
  const uint8_t* entry = rom_info + kRegionTableOffset + kRegionEntrySize * (n - 1);
  *start = GetLe32(entry + 4);
  *length = GetLe32(entry + 8);
  return true;
}

namespace {

bool AnyFsImage(const ImageDesc* fs_images, uint32_t fs_count) {
  for (uint32_t i = 0; fs_images && i < fs_count; ++i) {
    if (!fs_images[i].empty()) return true;
  }
  return false;
}

}  // namespace

int AgentRun(LinkHandle h, const ImageDesc* table_a, const ImageDesc* table_b,
             const ImageDesc* bootloader, const ImageDesc* ext_bootloader, const ImageDesc* rom,
             const ImageDesc* rom2, const ImageDesc* fs_images, const uint8_t* bloader_info,
             const uint8_t* rom_info, uint32_t fs_count, uint32_t port) {
  // Checked before anything reaches the phone: failing once its bootloader and
  // ROM are already replaced would leave it with half a firmware.
  uint32_t region_start = 0, region_length = 0;
  if (AnyFsImage(fs_images, fs_count) && !AgentFsRegion(rom_info, &region_start, &region_length)) {
    return kRomInfoNoRegions;
  }

  LinkLog("Connecting to DA...\n");
  if (int rc = AgentConnect(h, table_a, table_b, port)) return rc;

  // Command 0xE0: its answer does not matter to the stage.
  uint8_t ignored = 0;
  if (Put8(h, 0xE0) && Put32(h, 0)) Get8(h, &ignored);

  std::vector<uint8_t> shared(kSharedDataMax);
  for (uint32_t type : kSharedDataTypes) {
    uint32_t length = kSharedDataMax;
    if (AgentReadSharedData(h, type, shared.data(), &length) == 0) {
      LinkLog("Bootloader shared data (type = %x) is read\n", type);
    } else {
      LinkLog("Failed to read bootloader shared data (type = %x)\n", type);
    }
  }

  LinkLog("Write Boot loader...\n");
  if (int rc = AgentWriteBootloader(h, bootloader, ext_bootloader, bloader_info, port)) return rc;
  LinkLog("Send NAND Image List...\n");
  if (int rc = AgentSendImageList(h, rom, rom2, port)) return rc;
  LinkLog("Write NFB images...\n");
  if (int rc = AgentWriteNfb(h, rom, rom2, port)) return rc;

  // A slot the package left empty has no image to write: it is skipped.
  for (uint32_t i = 0; fs_images && i < fs_count; ++i) {
    if (fs_images[i].empty()) continue;
    LinkLog("Write FS images...\n");
    if (int rc = WriteFsImage(fs_images[i], h, region_start, region_length, port)) return rc;
  }

  LinkLog("Enable Watch Dog...\n");
  AgentEnableWatchdog(h, kWatchdogOnReset);
  return 0;
}

}  // namespace vantrel
