#include "nand/fs_write.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>
#include <vector>

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
// Throws RunOutOfReservedBlocks.
void ApplyDeviceTables(const InfoBlockTables& tables, BlockMappingTable& m,
                       const FsImageHeader& h, uint32_t base, uint32_t fs_start_block) {
  for (uint32_t i = 0; i < h.dataBlockCount; ++i) {
    const uint16_t t = tables.Remap(uint64_t(base) + i);
    if (t != 0) m.SetBlock(i, t + fs_start_block);
  }
  for (uint32_t k = 0; k < kTagCount; ++k) {
    const uint16_t c = tables.Counter(k);
    if (c == 0) continue;
    const uint32_t limit = (c + fs_start_block) % 65536;
    while (m.PeekReserved(k) < limit) m.TakeReserved(k);
  }
}

int WriteFsImageChecked(BlockDevice& device, const ImageDesc& image, uint32_t erase_start,
                        uint32_t erase_length, uint32_t port) {
  if (image.data == nullptr) return kFsNoInfoRecord;
  const std::span<const uint8_t> bytes(image.data, image.length);
  FsImageHeader h;
  if (ParseFsImageHeader(bytes, &h) != FsHeaderStatus::kOk) return kFsNoInfoRecord;

  const SplitBlock s = SplitBlockData(bytes.subspan(h.InfoBlockOffset(), h.blockBytes), h.pageSize,
                                      h.spareSize, h.pagesPerBlock);
  FsInfoRecord image_record{};
  if (!FindInfoRecord(s, h, &image_record)) return kFsNoInfoRecord;
  if (!IsVersionSupported(image_record)) {
    device.channel().Report(port, kReportTransfer, 100, "");
    device.channel().Report(port, kReportStage, 100, "Write FS Image Complete");
    return kOk;
  }

  RomInfoRecord rom{};
  if (!FindRomInfo(device, h.blockMainSize, &rom)) return kRomInfoNotOnFlash;
  if (!CheckRomInfo(rom, image_record)) return kFsLayoutMismatch;
  const uint32_t fs_start_block = RomInfoView(rom).RegionStart(1) / h.blockMainSize;
  const uint32_t base = h.dataBlockCount > 0 ? h.table.BlockAt(0) - fs_start_block : 0;
  // An image whose blocks the remap table cannot describe is refused before
  // anything on the flash is erased.
  if (!RemapRangeFits(h, base)) return kFsLayoutMismatch;

  SplitBlock d;
  uint32_t found_block = 0;
  FsInfoRecord device_record{};
  bool found = FindInfoBlock(device, h, InfoAreaStart(image_record), InfoAreaLength(image_record),
                             &d, &found_block, &device_record);
  const SplitBlock* source = &s;
  if (found) {
    if (IsSameVersion(device_record, image_record)) {
      if (!IsSameLayout(device_record, image_record)) return kFsLayoutMismatch;
      source = &d;
    } else {
      found = false;  // the block number stays: it is erased after the commit
      if (device.FormatRange(1, 0, 1, erase_start, erase_length) != 0) return kFsWriteFailed;
    }
  } else if (!EraseReservedPool(device, h)) {
    return kFsWriteFailed;
  }

  BlockMappingTable m = h.table;
  try {
    ApplyDeviceTables(InfoBlockTables(source->Main(), h.countersEnd), m, h, base, fs_start_block);
  } catch (const BlockMappingTable::RunOutOfReservedBlocks&) {
    return kOutOfReservedBlocks;
  }
  // A fresh copy of the header's table offers the block that holds the
  // phone's current info block as a replacement; data written there would be
  // erased with the old info block after the commit.
  if (found_block != 0) m.MarkReservedBlockTaken(found_block);

  const int rc = WriteDataBlocks(source->Main(), m, device, bytes.subspan(h.DataBlockOffset(0)), h,
                                 base, fs_start_block, port);
  if (rc != 0) return rc;
  return CommitInfoBlock(device, found ? d : s, found_block, m, h);
}

}  // namespace

int WriteFsImageOn(BlockDevice& device, const ImageDesc& image, uint32_t erase_start,
                   uint32_t erase_length, uint32_t port) {
  device.channel().Report(port, kReportStage, 0, "Start Write FS Image");
  try {
    return WriteFsImageChecked(device, image, erase_start, erase_length, port);
  } catch (const BlockMappingTable::RunOutOfReservedBlocks&) {
    return kOutOfReservedBlocks;
  } catch (const std::out_of_range&) {
    // Only a table or buffer index the checks above missed gets here.
    return kFsNoInfoRecord;
  } catch (const std::bad_alloc&) {
    return kFsWriteFailed;
  }
}

bool FindRomInfo(BlockDevice& device, uint32_t block_main_size, RomInfoRecord* out) {
  const uint32_t l = block_main_size;
  if (l == 0) return false;
  std::vector<uint8_t> buffer(uint64_t(l) + kReadSlack);
  const uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), UINT32_MAX));
  for (uint32_t b = kRomInfoFirstBlock; b <= kRomInfoLastBlock; ++b) {
    const uint64_t address = uint64_t(b) * l;
    if (address >= kAddressLimit) return false;
    if (device.ReadFlash(static_cast<uint32_t>(address), l, 1, buffer.data(), capacity) != 0)
      return false;
    // Only matches with the whole record inside the block count: a record
    // cut by the block end is never read past the buffer.
    if (l < out->size()) continue;
    const uint64_t offsets = std::min<uint64_t>(l - out->size() + 1, kRomInfoMaxOffsets);
    const auto last = buffer.begin() + static_cast<ptrdiff_t>(offsets - 1 + kRomInfoMarkerLength);
    const auto hit = std::search(buffer.begin(), last, kRomInfoMarker, kRomInfoMarker + kRomInfoMarkerLength);
    if (hit == last) continue;
    std::copy_n(hit, out->size(), out->begin());
    return true;
  }
  return false;
}

bool CheckRomInfo(const RomInfoRecord& rom, const FsInfoRecord& image) {
  const RomInfoView v(rom);
  if (v.RegionCount() < 2) return false;
  const uint64_t fs_start = v.RegionStart(1);
  const uint64_t fs_length = v.RegionLength(1);
  if (fs_length == 0) return false;
  if (!v.HasFsIdentifier()) return false;
  // 64-bit sums: a region wrapping past 4 GiB must not pass as inside.
  for (uint32_t k = 0; k < kTagCount; ++k) {
    const uint64_t length = RecordRegionLength(image, k);
    if (length == 0) continue;
    const uint64_t start = RecordRegionStart(image, k);
    if (start < fs_start || start + length > fs_start + fs_length) return false;
  }
  return true;
}

bool FindInfoBlock(BlockDevice& device, const FsImageHeader& h, uint32_t area_start,
                   uint32_t area_length, SplitBlock* block, uint32_t* block_number,
                   FsInfoRecord* record) {
  const uint64_t l = h.blockMainSize;
  if (l == 0 || uint64_t(area_start) + area_length < l) return false;
  std::vector<uint8_t> buffer(uint64_t(h.blockBytes) + kReadSlack);
  const std::span<const uint8_t> read(buffer.data(), h.blockBytes);
  const uint64_t marker = uint64_t(h.pageSize) + 2;
  // From the last block of the area down: the block nearest the end wins.
  for (uint64_t address = uint64_t(area_start) + area_length - l; address >= area_start;
       address -= l) {
    if (address + l <= kAddressLimit) {
      if (device.ReadFlash(static_cast<uint32_t>(address), h.blockMainSize, 0, buffer.data(),
                           static_cast<uint32_t>(buffer.size())) != 0)
        return false;
      if (!IsBadBlock(read, h.pageSize, h.spareSize) && marker + 1 < read.size() &&
          read[marker] == kInfoMarker0 && read[marker + 1] == kInfoMarker1) {
        SplitBlock candidate = SplitBlockData(read, h.pageSize, h.spareSize, h.pagesPerBlock);
        if (FindInfoRecord(candidate, h, record)) {
          *block = candidate;
          *block_number = static_cast<uint32_t>(address / l);
          return true;
        }
      }
    }
    if (address < l) break;
  }
  return false;
}

bool EraseReservedPool(BlockDevice& device, const FsImageHeader& h) {
  const uint64_t l = h.blockMainSize;
  std::set<uint32_t> pool;
  for (uint32_t i = 0; i < h.reservedCount; ++i) pool.insert(h.table.BlockAt(h.poolFirstIndex + i));
  const std::vector<uint32_t> blocks(pool.begin(), pool.end());
  const std::vector<BlockRun> runs = CoalesceRuns(blocks);
  // Every run must be addressable before the first is erased: a wrapped
  // address would erase some other part of the flash.
  for (const BlockRun& r : runs)
    if ((uint64_t(r.last) + 1) * l > kAddressLimit) return false;
  for (const BlockRun& r : runs) {
    if (device.FormatRange(1, 1, 0, static_cast<uint32_t>(r.first * l),
                           static_cast<uint32_t>((uint64_t(r.last) - r.first + 1) * l)) != 0)
      return false;
  }
  return true;
}

bool RemapRangeFits(const FsImageHeader& h, uint32_t base) {
  if (h.dataBlockCount == 0) return true;
  if (h.countersEnd < kTagCountersBytes) return false;
  const uint64_t capacity = (h.countersEnd - kTagCountersBytes) / 2;
  return uint64_t(base) + h.dataBlockCount <= capacity;
}

}  // namespace vantrel
