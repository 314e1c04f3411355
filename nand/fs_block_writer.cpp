#include "nand/fs_block_writer.h"

#include <algorithm>
#include <vector>

#include "link/report.h"
#include "vantrel/codes.h"

namespace vantrel {
namespace {

// Pages whose spare bytes are all 0xFF carry no data; a block with only a few
// used pages is cheaper to send page by page.
constexpr size_t kMaxPagesForPageWrite = 3;

int WriteOne(BlockDevice& device, uint32_t physical, const SplitBlock& block,
             const std::vector<uint32_t>& used, const FsImageHeader& header) {
  const uint8_t* main = block.main->data();
  const uint8_t* spare = block.spare->data();
  if (used.size() <= kMaxPagesForPageWrite)
    return device.WritePages(physical, static_cast<uint32_t>(used.size()), used.data(), header.pageSize,
                             header.spareSize, header.pagesPerBlock, main, spare);
  return device.WriteBlock(physical, header.pageSize, header.spareSize, header.pagesPerBlock, main, spare,
                           XorChecksum16(*block.main));
}

// A remap entry names a block as an offset from the FS start block; 0 means
// "home block", and the counter (entry + 1) must still fit 16 bits.
bool RemapEntryFor(uint32_t replacement, uint32_t fs_start_block, uint16_t* entry) {
  if (replacement <= fs_start_block) return false;
  const uint32_t offset = replacement - fs_start_block;
  if (offset >= 0xFFFF) return false;
  *entry = static_cast<uint16_t>(offset);
  return true;
}

bool HoldsDataBlock(const BlockMappingTable& m, uint32_t block) {
  const auto& normal = m.Normal();
  return std::any_of(normal.begin(), normal.end(),
                     [block](const BlockMapEntry& e) { return e.block == block; });
}

}  // namespace

int WriteDataBlocks(std::span<uint8_t> table_source, BlockMappingTable& m, BlockDevice& device,
                    std::span<const uint8_t> data_blocks, const FsImageHeader& header, uint32_t base,
                    uint32_t fs_start_block, uint32_t port) {
  Channel& ch = device.channel();
  const uint32_t count = header.dataBlockCount;
  if (header.countersEnd < kTagCountersBytes || header.countersEnd > table_source.size() ||
      data_blocks.size() < uint64_t(count) * header.blockBytes || m.NormalCount() < count)
    return ch.Fail(kFsNoInfoRecord, "data blocks: the image or its info block is shorter than the header says");
  InfoBlockTables tables(table_source, header.countersEnd);
  // Checked before the first write, so a misplaced image writes nothing.
  if (count > 0 && uint64_t(base) + count > tables.RemapCapacity())
    return ch.Fail(kFsLayoutMismatch, "data blocks: remap entries from %u run past the %llu before the tag counters",
                   base, static_cast<unsigned long long>(tables.RemapCapacity()));

  for (uint32_t i = 0; i < count; ++i) {
    // A front end's cancel lands between blocks: the phone is left as after
    // a power cut there, which the info block's commit-last order survives.
    if (ch.cancelled()) return ch.Fail(kCancelled, "data block %u: cancelled", i);
    ch.ReportTransfer(port, static_cast<uint32_t>(uint64_t(i) * 100 / count), i, count);
    uint32_t physical = m.BlockAt(i);
    const SplitBlock block = SplitBlockData(
        data_blocks.subspan(uint64_t(i) * header.blockBytes, header.blockBytes), header.pageSize, header.spareSize,
        header.pagesPerBlock);
    const std::vector<uint32_t> used = UsedPages(*block.spare, header.spareSize, header.pagesPerBlock);
    for (;;) {
      const int rc = WriteOne(device, physical, block, used, header);
      if (rc == 0) break;
      if (rc != kBadBlock)
        return ch.Fail(kWriteFailed, "data block %u: the write to block %u failed (agent code %d)", i,
                       physical, rc);
      const uint32_t tag = m.TagAt(i);
      if (tag >= kTagCount)
        return ch.Fail(kFsNoInfoRecord, "data block %u: block %u is bad and tag %u has no counter", i,
                       physical, tag);
      const uint32_t bad = physical;
      try {
        physical = m.TakeReserved(tag);
      } catch (const BlockMappingTable::RunOutOfReservedBlocks&) {
        return ch.Fail(kOutOfReservedBlocks,
                       "data block %u: block %u answered %d (bad), no reserved block of tag %u left", i,
                       bad, rc, tag);
      }
      // Record the block the data really goes to, and keep the counter past
      // it; where replacement = FS start + counter this is the counter's old
      // value recorded and the counter incremented.
      uint16_t entry = 0;
      if (!RemapEntryFor(physical, fs_start_block, &entry))
        return ch.Fail(kFsLayoutMismatch,
                       "data block %u: replacement block %u cannot be named by a remap entry from FS "
                       "start block %u",
                       i, physical, fs_start_block);
      tables.SetRemap(uint64_t(base) + i, entry);
      tables.SetCounter(tag, std::max<uint16_t>(tables.Counter(tag), entry + 1));
    }
  }
  ch.Report(port, kReportTransfer, 100, "");
  return kOk;
}

int CommitInfoBlock(BlockDevice& device, const SplitBlock& info, uint32_t old_block,
                    BlockMappingTable& m, const FsImageHeader& header) {
  Channel& ch = device.channel();
  const uint64_t main_size = uint64_t(header.pagesPerBlock) * header.pageSize;
  if (!info.main || !info.spare || info.main->size() != main_size ||
      info.spare->size() != uint64_t(header.pagesPerBlock) * header.spareSize)
    return ch.Fail(kFsNoInfoRecord, "info block: not of the header's block geometry");
  const uint16_t checksum = XorChecksum16(*info.main);
  uint32_t bad = 0;  // the last new block that answered bad, for the detail
  for (;;) {
    uint32_t physical = 0;
    try {
      physical = m.TakeReservedFromEnd(0);
      // The current info block stays intact until the new one is written.
      if (old_block != 0 && physical == old_block) physical = m.TakeReservedFromEnd(0);
    } catch (const BlockMappingTable::RunOutOfReservedBlocks&) {
      if (bad != 0)
        return ch.Fail(kOutOfReservedBlocks,
                       "info block: block %u answered bad, no reserved block of tag 0 left; the "
                       "phone keeps its previous info block",
                       bad);
      return ch.Fail(kOutOfReservedBlocks, "info block: no reserved block of tag 0 left to write it to");
    }
    const int rc = device.WriteBlock(physical, header.pageSize, header.spareSize, header.pagesPerBlock,
                                     info.main->data(), info.spare->data(), checksum);
    if (rc == kBadBlock) {
      bad = physical;
      continue;
    }
    if (rc != 0)
      return ch.Fail(kWriteFailed, "info block: the write to block %u failed (agent code %d)", physical, rc);
    // A block that now holds image data (an image placing a data block where
    // the old info block was) has already been overwritten; erasing it would
    // lose that data.
    if (old_block == 0 || HoldsDataBlock(m, old_block)) return kOk;
    const uint64_t address = uint64_t(old_block) * header.blockMainSize;
    if (address + header.blockMainSize > UINT32_MAX + uint64_t(1))
      return ch.Fail(kWriteFailed, "block %u: the old info block lies past 4 GiB and was not erased", old_block);
    if (int erc = device.Erase(kEraseBlock, static_cast<uint32_t>(address), header.blockMainSize))
      return ch.Fail(kWriteFailed,
                     "block %u: erase of the old info block failed (agent code %d); the new one is "
                     "in block %u",
                     old_block, erc, physical);
    return kOk;
  }
}

}  // namespace vantrel
