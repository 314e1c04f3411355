// The agent stage as a whole: the order in which the phone's flash is
// written, and the FS writer driven through the agent's block commands.
#include "engine/download_plan.h"

#include <algorithm>
#include <vector>

#include "agent/agent.h"
#include "images/fs_layout.h"
#include "images/records.h"
#include "nand/fs_verify.h"
#include "nand/fs_write.h"
#include "vantrel/codes.h"

namespace vantrel {

namespace {

constexpr uint32_t kSharedDataTypes[] = {0x10000, 0x10001, 0x10002, 0x10003};

bool AnyFsImage(const FirmwareBundle& fw) {
  for (uint32_t i = 0; i < fw.fsCount && i < fw.fs.size(); ++i)
    if (!fw.fs[i].empty()) return true;
  return false;
}

// The page size the package's FS images are for (the loader makes them
// agree); false when the package has none with a header.
bool PackageFsPageSize(const FirmwareBundle& fw, uint32_t* page_size) {
  for (uint32_t i = 0; i < fw.fsCount && i < fw.fs.size(); ++i) {
    if (fw.fs[i].empty() || fw.fs[i].length < kFsHeaderFixedBytes) continue;
    *page_size = FsHeaderView(fw.fs[i].data).PageSize();
    return true;
  }
  return false;
}

// The front end's check before the first write: the FS images are the only
// images bound to a flash geometry, and written onto the other geometry they
// fail only after the bootloader and ROM images are replaced.
int CheckFlashGeometry(LinkHandle h, const FirmwareBundle& fw) {
  uint32_t want = 0;
  if (!PackageFsPageSize(fw, &want)) return 0;
  LinkLog(h, "Check flash geometry...\n");
  Channel& ch = h->channel();
  uint32_t page = 0, spare = 0;
  if (int rc = AgentReadFlashGeometry(h, &page, &spare))
    return ch.Fail(rc, "the read that names the flash geometry failed (agent code %d); nothing was written", rc);
  const bool known = (page == 512 && spare == 16) || (page == 2048 && spare == 64);
  if (!known)
    return ch.Fail(kWrongFlashGeometry,
                   "the phone's flash answered %u-byte pages with %u spare bytes, neither 512 + 16 nor "
                   "2048 + 64; the package's FS images are for %u-byte pages; nothing was written",
                   page, spare, want);
  if (page != want || spare != SpareSizeFor(want))
    return ch.Fail(kWrongFlashGeometry,
                   "the package's FS images are for %u-byte pages; this phone's flash has %u-byte pages; "
                   "nothing was written",
                   want, page);
  return 0;
}

// Every FS image in slot order; a slot the package left empty has no image
// to write and is skipped. When an image's FS range erase wiped images this
// download had written, they are written again from the first; the range is
// erased once per download, so this happens at most once.
// With `log`, every write goes through it, image by image, for verify.
int WriteFsImages(LinkHandle h, const FirmwareBundle& fw, uint32_t region_start, uint32_t region_length,
                  uint32_t port, WriteLog* log) {
  FsDownloadState state;
  const uint32_t count = std::min<uint32_t>(fw.fsCount, uint32_t(fw.fs.size()));
  uint32_t i = 0;
  while (i < count) {
    if (fw.fs[i].empty()) {
      ++i;
      continue;
    }
    LinkLog(h, "Write FS images...\n");
    h->channel().EnterStage(kStageFsImage, i + 1);
    if (log) log->BeginImage(i + 1);
    const int rc = log ? WriteFsImageOn(*log, fw.fs[i], region_start, region_length, port, &state)
                       : WriteFsImage(fw.fs[i], h, region_start, region_length, port, &state);
    if (rc) {
      h->channel().AddContext("FS image %u", i + 1);  // counted from 1, as the front end shows them
      return rc;
    }
    if (state.writeAgain) {
      LinkLog(h, "FS range erased after FS images were written: writing them again\n");
      state.writeAgain = false;
      state.imageWritten = false;
      i = 0;
      continue;
    }
    if (log) log->EndImage();
    state.imageWritten = true;
    ++i;
  }
  return 0;
}

// Reads back what the FS writes left; the time it took is its last event's.
int VerifyFsImages(LinkHandle h, BlockDevice& device, const WriteLog& log) {
  Channel& ch = h->channel();
  LinkLog(h, "Verify FS images...\n");
  ch.EnterStage(kStageVerify);
  const uint64_t started = LinkNowMs();
  if (int rc = VerifyWrittenBlocks(device, log)) return rc;
  const uint32_t blocks = static_cast<uint32_t>(log.blocks().size());
  StageEvent end{kStageVerify, blocks, blocks};
  end.elapsedMs = static_cast<uint32_t>(std::min<uint64_t>(LinkNowMs() - started, UINT32_MAX));
  ch.Event(end);
  LinkLog(h, "Verified %u blocks in %u ms\n", blocks, end.elapsedMs);
  return 0;
}

}  // namespace

std::vector<PlanStep> DownloadPlanSteps(const FirmwareBundle& fw, bool verify) {
  // In the order the bytes go out: the extended bootloader's data before the
  // bootloader's.
  std::vector<PlanStep> steps{{kStageBootRom},
                              {kStageAgentConnection},
                              {kStageFlashScan},
                              {kStageExtBootloader, 0, fw.extBootloader.length, true},
                              {kStageBootloader, 0, fw.bootloader.length, true},
                              {kStageImageList},
                              {kStageRomImage, 0, fw.rom.length, true},
                              {kStageSecondaryRomImage, 0, fw.rom2.length, true}};
  for (uint32_t i = 0; i < fw.fsCount && i < fw.fs.size(); ++i)
    if (!fw.fs[i].empty()) steps.push_back({kStageFsImage, i + 1, fw.fs[i].length, true});
  if (verify) steps.push_back({kStageVerify});
  return steps;
}

int AgentRun(LinkHandle h, const AgentStageInputs& in, const FirmwareBundle& fw, uint32_t port,
             AgentGreeting* greeting) {
  // Checked before anything reaches the phone: failing once its bootloader and
  // ROM are already replaced would leave it with half a firmware.
  uint32_t region_start = 0, region_length = 0;
  if (AnyFsImage(fw) && !RomInfoFsRegion(in.romInfo, &region_start, &region_length)) {
    return h->channel().Fail(kRomInfoNoRegions, "the ROM information record lists no region for the FS images");
  }

  LinkLog(h, "Connecting to DA...\n");
  if (int rc = AgentConnect(h, &in.tableA, &in.tableB, port, greeting)) return rc;

  AgentCommandE0(h);  // its answer does not matter to the stage

  std::vector<uint8_t> shared(kSharedDataMax);
  for (uint32_t type : kSharedDataTypes) {
    uint32_t length = kSharedDataMax;
    if (AgentReadSharedData(h, type, shared.data(), &length) == 0) {
      LinkLog(h, "Bootloader shared data (type = %x) is read\n", type);
    } else {
      LinkLog(h, "Failed to read bootloader shared data (type = %x)\n", type);
    }
  }
  // A failed shared-data read does not fail the stage: its detail is not the
  // stage's.
  h->channel().ClearFailure();

  if (h->channel().settings().checkGeometry)
    if (int rc = CheckFlashGeometry(h, fw)) return rc;

  LinkLog(h, "Write Boot loader...\n");
  if (int rc = AgentWriteBootloader(h, &fw.bootloader, &fw.extBootloader, in.bloaderInfo, port))
    return rc;
  LinkLog(h, "Send NAND Image List...\n");
  if (int rc = AgentSendImageList(h, &fw.rom, &fw.rom2, port)) return rc;
  LinkLog(h, "Write NFB images...\n");
  if (int rc = AgentWriteNfb(h, &fw.rom, &fw.rom2, port)) return rc;

  AgentBlockDevice agent(h);
  WriteLog log(agent);
  const bool verify = h->channel().settings().verify;
  if (int rc = WriteFsImages(h, fw, region_start, region_length, port, verify ? &log : nullptr)) return rc;
  if (verify)
    if (int rc = VerifyFsImages(h, agent, log)) return rc;

  LinkLog(h, "Enable Watch Dog...\n");
  AgentEnableWatchdog(h, kWatchdogOnReset);
  return 0;
}

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
                 uint32_t erase_length, uint32_t port, FsDownloadState* state) {
  AgentBlockDevice device(h);
  return WriteFsImageOn(device, image, erase_start, erase_length, port, state);
}

}  // namespace vantrel
