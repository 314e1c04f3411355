#pragma once
// The file-system image as the package delivers it, a NAND block inside it
// (pages of main data each followed by its spare bytes), and the info block
// that also lives on the flash between downloads. Pure code over byte spans:
// every read is bounds-checked, offsets derived from fields are 64-bit.
//
// Image:  header (headerBlocks units of blockBytes) | info block | data blocks
// Info block main data:  remapTable (u16 from offset 0) ... tagCounters (8 x u16
// ending at countersEnd) ... FsInfoRecord (last 512 bytes of the record page).
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "images/fs_layout.h"  // the header and info-record layouts
#include "nand/block_map.h"

namespace vantrel {


enum class FsHeaderStatus {
  kOk,
  kTooShortForHeader,     // fewer than 48 bytes
  kBadPageSize,           // pageSize 0
  kBadBlockSize,          // the block size gives 0 pages
  kEntriesPastHeader,     // 48 + 4 x (data + reserved) > headerBlocks x blockBytes
  kImageTooShort,         // shorter than (headerBlocks + 1 + dataBlockCount) x blockBytes
  kBadCountersEnd,        // below 16 or past one block's main data
  kPoolOutsideTable,      // poolFirstIndex + reservedCount past the combined table
};
const char* FsHeaderStatusText(FsHeaderStatus status);

struct FsImageHeader {
  uint32_t headerBlocks = 0;
  uint32_t tagModulus = 0;    // not used by the writer
  uint32_t entryCount = 0;    // not used by the writer
  uint32_t dataBlockCount = 0;
  uint32_t reservedCount = 0;
  uint32_t poolFirstIndex = 0;
  uint32_t blocksPerTag = 0;  // not used by the writer
  uint32_t countersEnd = 0;
  uint16_t pageSize = 0;
  uint16_t blockSizeKiB = 0;
  std::array<uint16_t, 6> uninterpreted{};
  // Derived.
  uint32_t spareSize = 0;
  uint32_t blockBytes = 0;     // pages x (pageSize + spareSize)
  uint32_t pagesPerBlock = 0;
  uint32_t blockMainSize = 0;  // pages x pageSize; flash addresses count only these bytes
  BlockMappingTable table;

  uint64_t InfoBlockOffset() const { return uint64_t(headerBlocks) * blockBytes; }
  uint64_t DataBlockOffset(uint32_t i) const {
    return (uint64_t(headerBlocks) + 1 + i) * blockBytes;
  }
};

// Parses the header at the start of `image` (the whole image: its length is
// checked against the header). On anything but kOk `out` is unspecified.
FsHeaderStatus ParseFsImageHeader(std::span<const uint8_t> image, FsImageHeader* out);
// Only the header words and the block geometry (the first three checks),
// enough to find the info block; the table is not loaded.
FsHeaderStatus ParseFsImageGeometry(std::span<const uint8_t> image, FsImageHeader* out);

// One block as main data and spare bytes. Copies share the two buffers, so
// an update through one copy is what the other writes.
struct SplitBlock {
  boost::shared_ptr<std::vector<uint8_t>> main;
  boost::shared_ptr<std::vector<uint8_t>> spare;

  std::span<uint8_t> Main() const { return main ? std::span<uint8_t>(*main) : std::span<uint8_t>(); }
  std::span<uint8_t> Spare() const {
    return spare ? std::span<uint8_t>(*spare) : std::span<uint8_t>();
  }
};

// Pages missing from a short `block` are left erased (0xFF).
SplitBlock SplitBlockData(std::span<const uint8_t> block, uint32_t page_size, uint32_t spare_size,
                          uint32_t pages);

using FsInfoRecord = std::array<uint8_t, kFsInfoRecordSize>;

// The record in the last 512 main bytes of the highest page whose spare bytes
// 2 and 3 carry the info marker. Not found when no page is marked, or when
// the marked page cannot hold 512 bytes before its end (pages below 512 bytes).
bool FindInfoRecord(const SplitBlock& block, const FsImageHeader& header, FsInfoRecord* out);

uint32_t InfoAreaStart(const FsInfoRecord& r);
uint32_t InfoAreaLength(const FsInfoRecord& r);
uint32_t RecordRegionStart(const FsInfoRecord& r, uint32_t k);   // k < 8
uint32_t RecordRegionLength(const FsInfoRecord& r, uint32_t k);  // 0: region unused
bool IsVersionSupported(const FsInfoRecord& r);                  // 5, 2, 0
bool IsSameVersion(const FsInfoRecord& a, const FsInfoRecord& b);
bool IsSameLayout(const FsInfoRecord& a, const FsInfoRecord& b);

// `block` is a block read with spare (pages of main + spare). Mark bytes that
// lie outside `block` are not examined.
bool IsBadBlock(std::span<const uint8_t> block, uint32_t page_size, uint32_t spare_size);

// Ascending indices of the pages whose spare bytes are not all 0xFF.
std::vector<uint32_t> UsedPages(std::span<const uint8_t> spare, uint32_t spare_size, uint32_t pages);

// XOR of the little-endian 16-bit words; an odd last byte is left out.
uint16_t XorChecksum16(std::span<const uint8_t> bytes);

struct BlockRun {
  uint32_t first = 0;
  uint32_t last = 0;
  bool operator==(const BlockRun&) const = default;
};
// `blocks` must be ascending (duplicates allowed).
std::vector<BlockRun> CoalesceRuns(std::span<const uint32_t> blocks);

// The remap table and tag counters inside an info block's main data. Index
// i of the remap table is valid only while its two bytes end at or before
// the counters; out-of-range access throws std::out_of_range.
class InfoBlockTables {
 public:
  // Requires 16 <= counters_end <= main.size() (ParseFsImageHeader checks the
  // header's value against the block's main size).
  InfoBlockTables(std::span<uint8_t> main, uint32_t counters_end);

  uint64_t RemapCapacity() const { return (counters_end_ - kTagCountersBytes) / 2; }
  uint16_t Remap(uint64_t index) const;
  void SetRemap(uint64_t index, uint16_t value);
  uint16_t Counter(uint32_t tag) const;
  void SetCounter(uint32_t tag, uint16_t value);

 private:
  std::span<uint8_t> main_;
  uint32_t counters_end_;
};

}  // namespace vantrel
