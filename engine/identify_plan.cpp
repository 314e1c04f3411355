// The identify plan: the agent's greeting, the flash geometry from a read
// answer, the ROM information record on the flash, and for each FS section
// of a package the decision the FS writer itself would take (PlanFsWrite),
// all without a write or an erase.
#include "engine/identify_plan.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "images/fs_layout.h"
#include "images/records.h"
#include "nand/fs_format.h"
#include "vantrel/codes.h"

namespace vantrel {
namespace {

// The block size every package for this phone uses with each page size;
// the flash itself names only its page and spare size.
uint32_t StandardBlockMainSize(uint32_t page_size) {
  if (page_size == 512) return 16 * 1024;
  if (page_size == 2048) return 128 * 1024;
  return 0;
}

// The block size of the package's FS images, when they are for this page size.
uint32_t PackageBlockMainSize(const FirmwareBundle* fw, uint32_t page_size) {
  for (uint32_t i = 0; fw && i < fw->fsCount && i < fw->fs.size(); ++i) {
    const ImageDesc& fs = fw->fs[i];
    if (fs.empty() || fs.length < kFsHeaderFixedBytes) continue;
    FsImageHeader header;
    if (ParseFsImageGeometry(std::span<const uint8_t>(fs.data, fs.length), &header) != FsHeaderStatus::kOk) continue;
    if (header.pageSize == page_size) return header.blockMainSize;
  }
  return 0;
}

// The ROM information record as the next download leaves it on the flash:
// the 352 bytes from the marker in the package's ROM image (the agent
// places the image so that the FS writer finds it in blocks 2 to 9).
bool PackageRomRecord(const FirmwareBundle& fw, RomInfoRecord* out) {
  uint32_t offset = 0, size = 0;
  if (fw.rom.empty() || !FindRomInfoRecord(fw.rom, &offset, &size) || offset >= fw.rom.length) return false;
  out->fill(0);
  std::memcpy(out->data(), fw.rom.data + offset, std::min<uint64_t>(out->size(), fw.rom.length - offset));
  return true;
}

// Codes with which PlanFsWrite says that the section does not fit, as
// opposed to a read that failed.
bool SaysDoesNotFit(int code) {
  return code == kFsNoInfoRecord || code == kFsLayoutMismatch || code == kRomInfoNotOnFlash;
}

void TakeDeviceTables(const FsWritePlan& plan, FsSectionIdentity* out) {
  out->infoBlockFound = true;
  out->infoBlock = plan.foundBlock;
  std::copy_n(plan.deviceRecord.begin() + kInfoVersion, kInfoVersionBytes, out->infoVersion.begin());
  try {
    const InfoBlockTables tables(plan.deviceInfo.Main(), plan.header.countersEnd);
    for (uint32_t k = 0; k < kTagCount; ++k) out->tagCounters[k] = tables.Counter(k);
    // The entries the writer applies to this section's data blocks.
    for (uint32_t i = 0; i < plan.header.dataBlockCount; ++i)
      out->remapsInUse += tables.Remap(uint64_t(plan.base) + i) != 0 ? 1 : 0;
  } catch (const std::out_of_range&) {
    // An info block whose table does not reach its data blocks: nothing in use.
  }
}

// One FS section: 0 (whatever it predicts) or the code of a failed read.
// *record receives the image's info record when the section was planned.
int IdentifySection(BlockDevice& device, const ImageDesc& image, const RomInfoRecord* package_rom, uint32_t page_size,
                    FsSectionIdentity* out, std::optional<FsInfoRecord>* record) {
  Channel& ch = device.channel();
  const uint32_t image_page = image.length >= kFsHeaderFixedBytes ? FsHeaderView(image.data).PageSize() : 0;
  if (image_page != 0 && image_page != page_size) {
    out->result = kWrongFlashGeometry;
    out->problem = "the package's FS images are for " + std::to_string(image_page) +
                   "-byte pages; this phone's flash has " + std::to_string(page_size) + "-byte pages";
    return kOk;
  }
  if (!package_rom) {
    out->result = kRomInfoNotOnFlash;
    out->problem = "the package's ROM image carries no ROM information record";
    return kOk;
  }
  FsWritePlan plan;
  const int rc = PlanFsWrite(device, image, &plan, package_rom);
  if (rc != 0 && !SaysDoesNotFit(rc)) return rc;
  out->result = rc;
  if (rc == 0 || rc == kFsLayoutMismatch) *record = plan.imageRecord;
  out->problem = rc ? ch.failure() : "";
  ch.ClearFailure();
  out->infoAreaStart = InfoAreaStart(plan.imageRecord);
  out->infoAreaLength = InfoAreaLength(plan.imageRecord);
  if (plan.deviceInfo.main) TakeDeviceTables(plan, out);
  out->next = plan.action;
  return kOk;
}

// An earlier section of the same download writes its info block into the
// info area this one shares with it: the writer then finds that block, not
// the one on the flash now, and decides as it would on it (one section
// split into two images shares one info area).
void FollowEarlierSection(const FsInfoRecord& earlier, const FsInfoRecord& own, FsSectionIdentity* out) {
  if (!IsSameVersion(earlier, own)) {
    out->next = FsNextAction::kEraseRange;
  } else if (IsSameLayout(earlier, own)) {
    out->next = FsNextAction::kCarryRemaps;
  } else {
    out->result = kFsLayoutMismatch;
    out->problem =
        "the info block the FS section before it commits in the same info area has this image's "
        "version but another info area or region table";
  }
}

// The flash's ROM information record; only a failed read fails the plan.
int IdentifyRomRecord(BlockDevice& device, PhoneIdentity* out) {
  uint32_t block = 0;
  int read_code = 0;
  const RomInfoSearch r = SearchRomInfo(device, out->blockMainSize, &out->rom, &block, &read_code);
  if (r == RomInfoSearch::kReadFailed) return read_code;
  device.channel().ClearFailure();
  out->romFound = r == RomInfoSearch::kFound;
  if (!out->romFound) return kOk;
  out->romBlock = block;
  const RomInfoView rom(out->rom);
  out->romVersion = ParseDecimal(out->rom.data() + kRomInfoMarkerLength, kRomInfoText1Offset - kRomInfoMarkerLength);
  out->regionCount = rom.RegionCount();
  for (uint32_t k = 0; k < std::min(out->regionCount, kRomInfoMaxRegions); ++k)
    out->regions[k] = {rom.RegionStart(k), rom.RegionLength(k)};
  out->fsIdentifierOk = rom.HasFsIdentifier();
  return kOk;
}

int IdentifyFlash(LinkHandle h, const FirmwareBundle* fw, PhoneIdentity* out) {
  Channel& ch = h->channel();
  if (int rc = AgentReadFlashGeometry(h, &out->pageSize, &out->spareSize))
    return rc == kCancelled
               ? ch.Fail(rc, "cancelled during the read that names the flash geometry; nothing was written")
               : ch.Fail(rc, "the read that names the flash geometry failed (agent code %d)", rc);
  out->blockMainSize = PackageBlockMainSize(fw, out->pageSize);
  if (out->blockMainSize == 0) out->blockMainSize = StandardBlockMainSize(out->pageSize);
  AgentBlockDevice device(h);
  if (out->blockMainSize != 0)
    if (int rc = IdentifyRomRecord(device, out)) return rc;
  if (!fw) return kOk;
  out->packageUsed = true;
  RomInfoRecord package_rom{};
  const bool has_rom = PackageRomRecord(*fw, &package_rom);
  std::vector<FsInfoRecord> committed;  // the info records of the sections written before this one
  for (uint32_t i = 0; i < fw->fsCount && i < fw->fs.size(); ++i) {
    if (fw->fs[i].empty()) continue;
    if (ch.cancelled())
      return ch.Fail(kCancelled, "identify: cancelled before FS section %u; nothing was written", i + 1);
    FsSectionIdentity section;
    section.slot = i + 1;
    std::optional<FsInfoRecord> record;
    if (int rc =
            IdentifySection(device, fw->fs[i], has_rom ? &package_rom : nullptr, out->pageSize, &section, &record)) {
      ch.AddContext("FS section %u", i + 1);
      return rc;
    }
    if (record) {
      const auto same_area = std::find_if(committed.rbegin(), committed.rend(), [&](const FsInfoRecord& r) {
        return InfoAreaStart(r) == InfoAreaStart(*record) && InfoAreaLength(r) == InfoAreaLength(*record);
      });
      const bool planned =
          section.result == kFsLayoutMismatch || (section.result == 0 && section.next != FsNextAction::kSkip);
      if (same_area != committed.rend() && planned) {
        section.result = 0;
        section.problem.clear();
        FollowEarlierSection(*same_area, *record, &section);
      }
      if (section.result == 0 && section.next != FsNextAction::kSkip) committed.push_back(*record);
    }
    out->sections.push_back(std::move(section));
  }
  return kOk;
}

}  // namespace

int IdentifyPhoneFlash(LinkHandle h, PhoneIdentity* out) { return IdentifyFlash(h, nullptr, out); }

std::vector<PlanStep> IdentifyPlanSteps() {
  return {{kStageBootRom}, {kStageAgentConnection}, {kStageFlashScan}, {kStageIdentify}};
}

int IdentifyRun(LinkHandle h, const AgentStageInputs& in, const FirmwareBundle* fw, uint32_t port, PhoneIdentity* out) {
  LinkLog(h, "Connecting to DA...\n");
  if (int rc = AgentConnect(h, &in.tableA, &in.tableB, port, &out->greeting)) return rc;
  AgentCommandE0(h);  // as the download sends it; its answer does not matter
  LinkLog(h, "Identify the phone...\n");
  h->channel().EnterStage(kStageIdentify);
  if (int rc = IdentifyFlash(h, fw, out)) return rc;
  LinkLog(h, "Enable Watch Dog...\n");
  AgentEnableWatchdog(h, kWatchdogOnReset);
  return kOk;
}

}  // namespace vantrel
