#include "nand/fs_format.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "link/byte_order.h"

namespace vantrel {

const char* FsHeaderStatusText(FsHeaderStatus status) {
  switch (status) {
    case FsHeaderStatus::kOk: return "ok";
    case FsHeaderStatus::kTooShortForHeader: return "image shorter than the 48-byte header";
    case FsHeaderStatus::kBadPageSize: return "page size 0";
    case FsHeaderStatus::kBadBlockSize: return "block size gives no page";
    case FsHeaderStatus::kEntriesPastHeader: return "entry words reach past the header units";
    case FsHeaderStatus::kImageTooShort: return "image shorter than its header, info block and data blocks";
    case FsHeaderStatus::kBadCountersEnd: return "tag counters not inside one block's main data";
    case FsHeaderStatus::kPoolOutsideTable: return "reserved pool indices past the block table";
  }
  return "unknown";
}

FsHeaderStatus ParseFsImageGeometry(std::span<const uint8_t> image, FsImageHeader* out) {
  if (image.size() < kFsHeaderFixedBytes) return FsHeaderStatus::kTooShortForHeader;
  const uint8_t* p = image.data();
  FsImageHeader& header = *out;
  const FsHeaderView v(p);
  header.headerBlocks = v.HeaderBlocks();
  header.tagModulus = v.TagModulus();
  header.entryCount = v.EntryCount();
  header.dataBlockCount = v.DataBlockCount();
  header.reservedCount = v.ReservedCount();
  header.poolFirstIndex = v.PoolFirstIndex();
  header.blocksPerTag = v.BlocksPerTag();
  header.countersEnd = v.CountersEnd();
  header.pageSize = v.PageSize();
  header.blockSizeKiB = v.BlockSizeKiB();
  for (uint32_t k = 0; k < kFsUninterpretedCount; ++k) header.uninterpreted[k] = v.Uninterpreted(k);

  if (header.pageSize == 0) return FsHeaderStatus::kBadPageSize;
  header.spareSize = SpareSizeFor(header.pageSize);
  // Integer division first, as the images are built.
  const uint64_t pages = (uint64_t(header.blockSizeKiB) * 1024) / header.pageSize;
  if (pages == 0) return FsHeaderStatus::kBadBlockSize;
  // At most 65535 KiB of main data per block: both products fit 32 bits.
  header.pagesPerBlock = static_cast<uint32_t>(pages);
  header.blockMainSize = static_cast<uint32_t>(pages * header.pageSize);
  header.blockBytes = static_cast<uint32_t>(pages * (uint64_t(header.pageSize) + header.spareSize));
  return FsHeaderStatus::kOk;
}

FsHeaderStatus ParseFsImageHeader(std::span<const uint8_t> image, FsImageHeader* out) {
  const FsHeaderStatus geometry = ParseFsImageGeometry(image, out);
  if (geometry != FsHeaderStatus::kOk) return geometry;
  FsImageHeader& header = *out;
  const uint8_t* p = image.data();
  const uint64_t entries = uint64_t(header.dataBlockCount) + header.reservedCount;
  if (kFsHeaderFixedBytes + kFsEntryBytes * entries > uint64_t(header.headerBlocks) * header.blockBytes)
    return FsHeaderStatus::kEntriesPastHeader;
  if (image.size() < header.DataBlockOffset(header.dataBlockCount)) return FsHeaderStatus::kImageTooShort;
  if (header.countersEnd < kTagCountersBytes || header.countersEnd > header.blockMainSize)
    return FsHeaderStatus::kBadCountersEnd;
  if (uint64_t(header.poolFirstIndex) + header.reservedCount > entries)
    return FsHeaderStatus::kPoolOutsideTable;

  // The entry words lie inside the header units, which lie inside the image.
  std::vector<uint32_t> words(entries);
  for (uint64_t i = 0; i < entries; ++i)
    words[i] = GetLe32(p + kFsHeaderFixedBytes + kFsEntryBytes * i);
  header.table.LoadEntries(words, header.dataBlockCount, header.reservedCount);
  return FsHeaderStatus::kOk;
}

SplitBlock SplitBlockData(std::span<const uint8_t> block, uint32_t page_size, uint32_t spare_size,
                          uint32_t pages) {
  SplitBlock s;
  s.main = boost::shared_ptr<std::vector<uint8_t>>(
      new std::vector<uint8_t>(size_t(pages) * page_size, 0xFF));
  s.spare = boost::shared_ptr<std::vector<uint8_t>>(
      new std::vector<uint8_t>(size_t(pages) * spare_size, 0xFF));
  const uint64_t stride = uint64_t(page_size) + spare_size;
  for (uint32_t n = 0; n < pages && (n + 1) * stride <= block.size(); ++n) {
    const uint8_t* src = block.data() + n * stride;
    std::copy_n(src, page_size, s.main->begin() + size_t(n) * page_size);
    std::copy_n(src + page_size, spare_size, s.spare->begin() + size_t(n) * spare_size);
  }
  return s;
}

bool FindInfoRecord(const SplitBlock& block, const FsImageHeader& header, FsInfoRecord* out) {
  const std::span<const uint8_t> main = block.Main();
  const std::span<const uint8_t> spare = block.Spare();
  const uint64_t page = header.pageSize;
  const uint64_t spare_size = header.spareSize;
  for (uint32_t n = header.pagesPerBlock; n-- > 0;) {
    const uint64_t m = n * spare_size + kInfoMarkerSpareOffset;
    if (m + 1 >= spare.size()) continue;
    if (!HasInfoMarker(spare.data() + n * spare_size)) continue;
    const uint64_t end = (uint64_t(n) + 1) * page;
    // The highest marked page holds the record; if it cannot, there is none.
    if (end < kFsInfoRecordSize || end > main.size()) return false;
    std::copy_n(main.data() + (end - kFsInfoRecordSize), kFsInfoRecordSize, out->begin());
    return true;
  }
  return false;
}

uint32_t InfoAreaStart(const FsInfoRecord& r) { return FsInfoRecordView(r.data()).AreaStart(); }
uint32_t InfoAreaLength(const FsInfoRecord& r) { return FsInfoRecordView(r.data()).AreaLength(); }
uint32_t RecordRegionStart(const FsInfoRecord& r, uint32_t k) {
  return FsInfoRecordView(r.data()).RegionStart(k);
}
uint32_t RecordRegionLength(const FsInfoRecord& r, uint32_t k) {
  return FsInfoRecordView(r.data()).RegionLength(k);
}

bool IsVersionSupported(const FsInfoRecord& r) { return FsInfoRecordView(r.data()).IsVersionSupported(); }
bool IsSameVersion(const FsInfoRecord& a, const FsInfoRecord& b) {
  return FsInfoRecordView(a.data()).SameVersion(FsInfoRecordView(b.data()));
}
bool IsSameLayout(const FsInfoRecord& a, const FsInfoRecord& b) {
  return FsInfoRecordView(a.data()).SameLayout(FsInfoRecordView(b.data()));
}

namespace {
// One flipped bit in a mark byte is tolerated.
bool MarkClean(uint8_t b) { return std::popcount(b) >= 7; }
}  // namespace

bool IsBadBlock(std::span<const uint8_t> block, uint32_t page_size, uint32_t spare_size) {
  const uint64_t stride = uint64_t(page_size) + spare_size;
  for (uint64_t page = 0; page < 2; ++page) {
    const uint64_t at = page * stride + page_size;
    if (page_size == 512) {
      if (at + 5 < block.size() && !MarkClean(block[at + 5])) return true;
    } else if (page_size == 2048) {
      if (at + 1 >= block.size()) continue;
      const uint8_t a = block[at], b = block[at + 1];
      if (a == 0xFF && b == 0xFF) continue;
      if (!MarkClean(a) || !MarkClean(b)) return true;
    }
  }
  return false;
}

std::vector<uint32_t> UsedPages(std::span<const uint8_t> spare, uint32_t spare_size, uint32_t pages) {
  std::vector<uint32_t> used;
  for (uint32_t i = 0; i < pages; ++i) {
    const uint64_t from = uint64_t(i) * spare_size;
    if (from >= spare.size()) break;
    const auto page = spare.subspan(from, std::min<uint64_t>(spare_size, spare.size() - from));
    if (std::any_of(page.begin(), page.end(), [](uint8_t b) { return b != 0xFF; }))
      used.push_back(i);
  }
  return used;
}

uint16_t XorChecksum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum ^= GetLe16(bytes.data() + i);
  return sum;
}

std::vector<BlockRun> CoalesceRuns(std::span<const uint32_t> blocks) {
  std::vector<BlockRun> runs;
  for (uint32_t w : blocks) {
    if (!runs.empty() && w == runs.back().last) continue;
    if (!runs.empty() && runs.back().last != UINT32_MAX && w == runs.back().last + 1) {
      runs.back().last = w;
      continue;
    }
    runs.push_back({w, w});
  }
  return runs;
}

InfoBlockTables::InfoBlockTables(std::span<uint8_t> main, uint32_t counters_end)
    : main_(main), counters_end_(counters_end) {
  if (counters_end < kTagCountersBytes || counters_end > main.size())
    throw std::out_of_range("info block: tag counters outside the main data");
}

uint16_t InfoBlockTables::Remap(uint64_t index) const {
  if (index >= RemapCapacity()) throw std::out_of_range("info block: remap index past the table");
  return GetLe16(main_.data() + 2 * index);
}

void InfoBlockTables::SetRemap(uint64_t index, uint16_t value) {
  if (index >= RemapCapacity()) throw std::out_of_range("info block: remap index past the table");
  PutLe16(main_.data() + 2 * index, value);
}

uint16_t InfoBlockTables::Counter(uint32_t tag) const {
  if (tag >= kTagCount) throw std::out_of_range("info block: tag counter past the eighth");
  return GetLe16(main_.data() + counters_end_ - kTagCountersBytes + 2 * tag);
}

void InfoBlockTables::SetCounter(uint32_t tag, uint16_t value) {
  if (tag >= kTagCount) throw std::out_of_range("info block: tag counter past the eighth");
  PutLe16(main_.data() + counters_end_ - kTagCountersBytes + 2 * tag, value);
}

}  // namespace vantrel
