#include "nand/fs_write.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "images/fs_write_layout.h"
#include "link/report.h"  // report types
#include "nand/fs_block_writer.h"
#include "vantrel/codes.h"

namespace vantrel {
namespace {

constexpr uint32_t kRomInfoFirstBlock = 2;
constexpr uint32_t kRomInfoLastBlock = 9;
constexpr uint64_t kRomInfoMaxOffsets = 1048576;
constexpr uint64_t kAddressLimit = uint64_t(UINT32_MAX) + 1;
// The agent sends whole packets (at most one 4224-byte read unit each), so a
// read may fill up to one packet past the length asked for.
constexpr uint32_t kReadSlack = 4224;

// Sets `m` up from the table source: data blocks the phone moved earlier stay
// moved, and reserved blocks that earlier downloads used are skipped.
// Throws RunOutOfReservedBlocks, with `tag` the tag that ran out.
void ApplyDeviceTables(const InfoBlockTables& tables, BlockMappingTable& m,
                       const FsImageHeader& header, uint32_t base, uint32_t fs_start_block,
                       uint32_t* tag) {
  for (uint32_t i = 0; i < header.dataBlockCount; ++i) {
    const uint16_t t = tables.Remap(uint64_t(base) + i);
    if (t != 0) m.SetBlock(i, t + fs_start_block);
  }
  for (uint32_t k = 0; k < kTagCount; ++k) {
    const uint16_t c = tables.Counter(k);
    if (c == 0) continue;
    const uint32_t limit = (c + fs_start_block) % 65536;
    *tag = k;
    while (m.PeekReserved(k) < limit) m.TakeReserved(k);
  }
}

// A data block of tag t that goes bad moves to a reserved block of tag t, and
// the move is recorded as (block - FS start block), which must lie in
// 1..65534. Checked before the first erase rather than when a block fails.
bool ReplacementsExpressible(const FsImageHeader& header, uint32_t fs_start_block, uint32_t* bad_block,
                             uint32_t* bad_tag) {
  std::set<uint32_t> tags;
  for (const BlockMapEntry& e : header.table.Normal()) tags.insert(e.tag);
  for (const BlockMapEntry& e : header.table.Reserved()) {
    if (!tags.count(e.tag)) continue;
    if (e.block <= fs_start_block || e.block - fs_start_block >= 0xFFFF) {
      *bad_block = e.block;
      *bad_tag = e.tag;
      return false;
    }
  }
  return true;
}

// Why the phone's ROM information record does not fit the image, or null.
const char* RomInfoProblem(const RomInfoRecord& rom, const FsInfoRecord& image) {
  const RomInfoView v(rom);
  if (v.RegionCount() < 2) return "lists fewer than two regions";
  const uint64_t fs_start = v.RegionStart(1);
  const uint64_t fs_length = v.RegionLength(1);
  if (fs_length == 0) return "has an empty FS region (region 1)";
  if (!v.HasFsIdentifier()) return "does not carry the identifier \"05200001\"";
  // 64-bit sums: a region wrapping past 4 GiB must not pass as inside.
  for (uint32_t k = 0; k < kInfoMaxRegions; ++k) {
    const uint64_t length = RecordRegionLength(image, k);
    if (length == 0) continue;
    const uint64_t start = RecordRegionStart(image, k);
    if (start < fs_start || start + length > fs_start + fs_length)
      return "has an FS region (region 1) that does not hold every region of the image";
  }
  return nullptr;
}

// Reads the phone's info area back and decides whose remap table and
// counters the write carries on. A failed read says nothing about what the
// phone holds: it ends the plan, since erasing the pool then could erase the
// phone's live info block.
int DecideTableSource(BlockDevice& device, FsWritePlan* p) {
  int read_code = 0;
  const InfoScan scan = FindInfoBlock(device, p->header, InfoAreaStart(p->imageRecord),
                                      InfoAreaLength(p->imageRecord), &p->deviceInfo, &p->foundBlock,
                                      &p->deviceRecord, &read_code);
  if (scan == InfoScan::kReadFailed) return read_code;
  if (scan == InfoScan::kNone) {
    p->action = FsNextAction::kEraseReservedPool;
    return kOk;
  }
  if (!IsSameVersion(p->deviceRecord, p->imageRecord)) {
    // The block number stays: the block is erased after the commit.
    p->action = FsNextAction::kEraseRange;
    return kOk;
  }
  if (!IsSameLayout(p->deviceRecord, p->imageRecord))
    return device.channel().Fail(kFsLayoutMismatch,
                                 "the phone's info block (block %u) has the image's version but another "
                                 "info area or region table",
                                 p->foundBlock);
  p->action = FsNextAction::kCarryRemaps;
  return kOk;
}

// Erases what the plan's action needs erased: the reserved pool when no info
// block was found, the FS range when the one found has another version (at
// most once per download, see FsDownloadState).
int EraseForPlan(BlockDevice& device, const FsWritePlan& p, uint32_t erase_start, uint32_t erase_length,
                 FsDownloadState* state) {
  if (p.action == FsNextAction::kEraseReservedPool)
    return EraseReservedPool(device, p.header) ? kOk : kWriteFailed;
  if (p.action != FsNextAction::kEraseRange) return kOk;
  // A range erased earlier in this download is not erased again: the block
  // lies outside it, and a second erase would wipe what the download has
  // written since.
  if (state && state->rangeErased) return kOk;
  if (int rc = device.Erase(kEraseFsRange, erase_start, erase_length))
    return device.channel().Fail(kWriteFailed,
                                 "erase of the FS range 0x%08X + 0x%X (the phone's info block has another "
                                 "version) failed (agent code %d)",
                                 erase_start, erase_length, rc);
  if (state) {
    state->rangeErased = true;
    state->writeAgain = state->imageWritten;  // the erase took them with it
  }
  return kOk;
}

// The image's own checks, before the flash is read: its header, info record
// and block table.
int CheckImage(Channel& ch, std::span<const uint8_t> bytes, FsWritePlan* p) {
  // The version decides first whether the image is written at all: an image
  // to skip never fails on the rest of its header.
  FsHeaderStatus status = ParseFsImageGeometry(bytes, &p->header);
  if (status != FsHeaderStatus::kOk)
    return ch.Fail(kFsNoInfoRecord, "FS image header: %s", FsHeaderStatusText(status));
  const FsImageHeader& header = p->header;
  if (bytes.size() < header.DataBlockOffset(0))
    return ch.Fail(kFsNoInfoRecord, "FS image of %zu bytes ends before its info block", bytes.size());
  p->imageInfo = SplitBlockData(bytes.subspan(header.InfoBlockOffset(), header.blockBytes), header.pageSize,
                                header.spareSize, header.pagesPerBlock);
  if (!FindInfoRecord(p->imageInfo, header, &p->imageRecord))
    return ch.Fail(kFsNoInfoRecord, "no info record in the FS image's info block");
  if (!IsVersionSupported(p->imageRecord)) return kOk;  // kSkip
  status = ParseFsImageHeader(bytes, &p->header);
  if (status != FsHeaderStatus::kOk)
    return ch.Fail(kFsNoInfoRecord, "FS image header: %s", FsHeaderStatusText(status));
  std::string why;
  if (!CheckFsWriteLayout(bytes, header.blockMainSize, p->imageRecord.data(), &why))
    return ch.Fail(kFsNoInfoRecord, "FS image: %s", why.c_str());
  return kOk;
}

// The device's ROM record against the image: it must hold the image's
// regions, and the image's blocks must be namable by the remap table.
int CheckAgainstRom(Channel& ch, FsWritePlan* p) {
  const FsImageHeader& header = p->header;
  if (const char* problem = RomInfoProblem(p->rom, p->imageRecord))
    return ch.Fail(kFsLayoutMismatch, "the phone's ROM information record %s", problem);
  p->fsStartBlock = RomInfoView(p->rom).RegionStart(1) / header.blockMainSize;
  p->base = header.dataBlockCount > 0 ? header.table.BlockAt(0) - p->fsStartBlock : 0;
  // An image whose blocks the remap table cannot describe is refused before
  // anything on the flash is erased.
  if (!RemapRangeFits(header, p->base))
    return ch.Fail(kFsLayoutMismatch,
                   "remap entries %u to %llu of the data blocks do not fit before the tag counters "
                   "at %u (FS start block %u)",
                   p->base, static_cast<unsigned long long>(uint64_t(p->base) + header.dataBlockCount - 1),
                   header.countersEnd, p->fsStartBlock);
  uint32_t bad_block = 0, bad_tag = 0;
  if (!ReplacementsExpressible(header, p->fsStartBlock, &bad_block, &bad_tag))
    return ch.Fail(kFsLayoutMismatch,
                   "reserved block %u (tag %u) cannot be named by a remap entry from FS start "
                   "block %u",
                   bad_block, bad_tag, p->fsStartBlock);
  return kOk;
}

int WriteFsImageChecked(BlockDevice& device, const ImageDesc& image, uint32_t erase_start,
                        uint32_t erase_length, uint32_t port, FsDownloadState* state) {
  Channel& ch = device.channel();
  FsWritePlan plan;
  if (int rc = PlanFsWrite(device, image, &plan)) return rc;
  if (plan.action == FsNextAction::kSkip) {
    ch.Report(port, kReportTransfer, 100, "");
    ch.Report(port, kReportStage, 100, "Write FS Image Complete");
    return kOk;
  }
  if (int rc = EraseForPlan(device, plan, erase_start, erase_length, state)) return rc;
  if (state && state->writeAgain) return kOk;
  const FsImageHeader& header = plan.header;
  const bool carry = plan.action == FsNextAction::kCarryRemaps;
  const SplitBlock& source = carry ? plan.deviceInfo : plan.imageInfo;
  // An info block of another version is not carried on, but its block is
  // still the one to erase after the commit.
  const uint32_t found_block = plan.foundBlock;

  BlockMappingTable m = header.table;
  uint32_t tag = 0;
  try {
    ApplyDeviceTables(InfoBlockTables(source.Main(), header.countersEnd), m, header, plan.base, plan.fsStartBlock,
                      &tag);
  } catch (const BlockMappingTable::RunOutOfReservedBlocks&) {
    return ch.Fail(kOutOfReservedBlocks,
                   "tag %u: the phone's counter marks every reserved block of the tag as used", tag);
  }
  // A fresh copy of the header's table offers the block that holds the
  // phone's current info block as a replacement; data written there would be
  // erased with the old info block after the commit.
  if (found_block != 0) m.MarkReservedBlockTaken(found_block);

  const std::span<const uint8_t> bytes(image.data, image.length);
  const int rc = WriteDataBlocks(source.Main(), m, device, bytes.subspan(header.DataBlockOffset(0)), header,
                                 plan.base, plan.fsStartBlock, port);
  if (rc != 0) return rc;
  return CommitInfoBlock(device, source, found_block, m, header);
}

}  // namespace

int PlanFsWrite(BlockDevice& device, const ImageDesc& image, FsWritePlan* plan, const RomInfoRecord* rom) {
  Channel& ch = device.channel();
  if (image.data == nullptr) return ch.Fail(kFsNoInfoRecord, "the FS image has no bytes");
  const std::span<const uint8_t> bytes(image.data, image.length);
  plan->action = FsNextAction::kSkip;
  if (int rc = CheckImage(ch, bytes, plan)) return rc;
  if (!IsVersionSupported(plan->imageRecord)) return kOk;
  if (rom) {
    plan->rom = *rom;
  } else {
    uint32_t block = 0;
    int read_code = 0;
    if (SearchRomInfo(device, plan->header.blockMainSize, &plan->rom, &block, &read_code) != RomInfoSearch::kFound)
      return read_code == kCancelled ? kCancelled : kRomInfoNotOnFlash;
  }
  if (int rc = CheckAgainstRom(ch, plan)) return rc;
  return DecideTableSource(device, plan);
}

int WriteFsImageOn(BlockDevice& device, const ImageDesc& image, uint32_t erase_start,
                   uint32_t erase_length, uint32_t port, FsDownloadState* state) {
  device.channel().Report(port, kReportStage, 0, "Start Write FS Image");
  Channel& ch = device.channel();
  try {
    return WriteFsImageChecked(device, image, erase_start, erase_length, port, state);
  } catch (const BlockMappingTable::RunOutOfReservedBlocks&) {
    return ch.Fail(kOutOfReservedBlocks, "FS write: no reserved block of the tag needed left");
  } catch (const std::out_of_range& e) {
    // Only a table or buffer index the checks above missed gets here.
    return ch.Fail(kFsNoInfoRecord, "FS write: %s", e.what());
  } catch (const std::bad_alloc&) {
    return ch.Fail(kWriteFailed, "FS write: out of memory");
  }
}

RomInfoSearch SearchRomInfo(BlockDevice& device, uint32_t block_main_size, RomInfoRecord* out, uint32_t* block,
                            int* read_code) {
  const uint32_t l = block_main_size;
  Channel& ch = device.channel();
  if (l == 0) {
    ch.Fail(kRomInfoNotOnFlash, "block main size 0: no block to search");
    return RomInfoSearch::kNone;
  }
  std::vector<uint8_t> buffer(uint64_t(l) + kReadSlack);
  const uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), UINT32_MAX));
  for (uint32_t b = kRomInfoFirstBlock; b <= kRomInfoLastBlock; ++b) {
    const uint64_t address = uint64_t(b) * l;
    if (address >= kAddressLimit) {
      ch.Fail(kRomInfoNotOnFlash, "block %u lies past 4 GiB; no ROM information record found", b);
      return RomInfoSearch::kNone;
    }
    if (int rc = device.ReadFlash(static_cast<uint32_t>(address), l, 1, buffer.data(), capacity)) {
      if (rc == kCancelled)
        ch.Fail(kCancelled, "block %u: cancelled while searching for the ROM information record", b);
      else
        ch.Fail(kRomInfoNotOnFlash, "block %u: the read for the ROM information record failed (agent code %d)", b,
                rc);
      *read_code = rc;
      return RomInfoSearch::kReadFailed;
    }
    // Only matches with the whole record inside the block count: a record
    // cut by the block end is never read past the buffer.
    if (l < out->size()) continue;
    const uint64_t offsets = std::min<uint64_t>(l - out->size() + 1, kRomInfoMaxOffsets);
    const auto last = buffer.begin() + static_cast<ptrdiff_t>(offsets - 1 + kRomInfoMarkerLength);
    const auto hit = std::search(buffer.begin(), last, kRomInfoMarker, kRomInfoMarker + kRomInfoMarkerLength);
    if (hit == last) continue;
    std::copy_n(hit, out->size(), out->begin());
    *block = b;
    return RomInfoSearch::kFound;
  }
  ch.Fail(kRomInfoNotOnFlash, "no \"MTK_ROMINFO_v\" record in device blocks 2 to 9");
  return RomInfoSearch::kNone;
}

bool CheckRomInfo(const RomInfoRecord& rom, const FsInfoRecord& image) {
  return RomInfoProblem(rom, image) == nullptr;
}

InfoScan FindInfoBlock(BlockDevice& device, const FsImageHeader& header, uint32_t area_start,
                       uint32_t area_length, SplitBlock* block, uint32_t* block_number,
                       FsInfoRecord* record, int* read_code) {
  const uint64_t l = header.blockMainSize;
  if (l == 0 || uint64_t(area_start) + area_length < l) return InfoScan::kNone;
  std::vector<uint8_t> buffer(uint64_t(header.blockBytes) + kReadSlack);
  const std::span<const uint8_t> read(buffer.data(), header.blockBytes);
  const uint64_t marker = uint64_t(header.pageSize) + 2;
  Channel& ch = device.channel();
  // Front ends see the read-back (many seconds on a slow link) block by block.
  StageEvent progress{kStageInfoReadBack, 0, static_cast<uint32_t>(area_length / l), 0};
  // From the last block of the area down: the block nearest the end wins.
  for (uint64_t address = uint64_t(area_start) + area_length - l; address >= area_start;
       address -= l) {
    // Between blocks the read-back can be cancelled; nothing is erased yet.
    if (ch.cancelled()) {
      if (read_code) *read_code = kCancelled;
      ch.Fail(kCancelled, "block %llu: cancelled while reading the info area back; nothing was erased",
              static_cast<unsigned long long>(address / l));
      return InfoScan::kReadFailed;
    }
    ch.Event(progress);
    ++progress.done;
    if (address + l <= kAddressLimit) {
      if (int rc = device.ReadFlash(static_cast<uint32_t>(address), header.blockMainSize, 0,
                                    buffer.data(), static_cast<uint32_t>(buffer.size()))) {
        if (read_code) *read_code = rc;
        if (rc == kCancelled)
          ch.Fail(kCancelled, "block %llu: cancelled while reading the info area back; nothing was erased",
                  static_cast<unsigned long long>(address / l));
        else
          ch.Fail(rc, "block %llu: the read of the info area failed (agent code %d); nothing was erased",
                  static_cast<unsigned long long>(address / l), rc);
        return InfoScan::kReadFailed;
      }
      if (!IsBadBlock(read, header.pageSize, header.spareSize) && marker + 1 < read.size() &&
          read[marker] == kInfoMarker0 && read[marker + 1] == kInfoMarker1) {
        SplitBlock candidate = SplitBlockData(read, header.pageSize, header.spareSize, header.pagesPerBlock);
        if (FindInfoRecord(candidate, header, record)) {
          *block = candidate;
          *block_number = static_cast<uint32_t>(address / l);
          return InfoScan::kFound;
        }
      }
    }
    if (address < l) break;
  }
  return InfoScan::kNone;
}

bool EraseReservedPool(BlockDevice& device, const FsImageHeader& header) {
  const uint64_t l = header.blockMainSize;
  std::set<uint32_t> pool;
  for (uint32_t i = 0; i < header.reservedCount; ++i) pool.insert(header.table.BlockAt(header.poolFirstIndex + i));
  const std::vector<uint32_t> blocks(pool.begin(), pool.end());
  const std::vector<BlockRun> runs = CoalesceRuns(blocks);
  // Every run must be addressable before the first is erased: a wrapped
  // address would erase some other part of the flash.
  for (const BlockRun& r : runs)
    if ((uint64_t(r.last) + 1) * l > kAddressLimit) {
      device.channel().Fail(kWriteFailed,
                            "reserved block %u lies past 4 GiB; nothing of the pool was erased", r.last);
      return false;
    }
  for (const BlockRun& r : runs) {
    if (int rc = device.Erase(kEraseReservedRun, static_cast<uint32_t>(r.first * l),
                                    static_cast<uint32_t>((uint64_t(r.last) - r.first + 1) * l))) {
      device.channel().Fail(kWriteFailed,
                            "reserved blocks %u to %u: the erase of the pool failed (agent code %d)",
                            r.first, r.last, rc);
      return false;
    }
  }
  return true;
}

bool RemapRangeFits(const FsImageHeader& header, uint32_t base) {
  if (header.dataBlockCount == 0) return true;
  if (header.countersEnd < kTagCountersBytes) return false;
  const uint64_t capacity = (header.countersEnd - kTagCountersBytes) / 2;
  return uint64_t(base) + header.dataBlockCount <= capacity;
}

}  // namespace vantrel
