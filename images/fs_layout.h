#pragma once
// The FS image's record layouts, in one place: the header at the start of an
// FS image and the 512-byte info record inside its info block (which also
// lives on the phone's flash between downloads). The package loader and the
// FS writer both read them through these accessors; callers check that the
// bytes are there (48 header bytes, 512 record bytes) before they read.
//
// Header (little-endian u32 words, then u16):
//   0 headerBlocks  4 tagModulus  8 entryCount  12 dataBlockCount
//   16 reservedCount  20 poolFirstIndex  24 blocksPerTag  28 countersEnd
//   32 pageSize (u16)  34 blockSizeKiB (u16)  36 six uninterpreted u16
//   48 entry words: dataBlockCount normal entries, then reservedCount reserved
// Info record:
//   388 info area start  392 info area length
//   396 + 8k region k start, 400 + 8k region k length (k < 8)
//   460 version, three bytes (5, 2, 0 is the one this writer knows)
// An info block's pages carry the info marker in spare bytes 2 and 3.
#include <algorithm>
#include <cstdint>

#include "link/byte_order.h"

namespace vantrel {

// --- header ---
inline constexpr uint32_t kFsHeaderFixedBytes = 48;
enum FsHeaderWord : uint32_t {
  kFsHeaderBlocks = 0,
  kFsTagModulus = 4,
  kFsEntryCount = 8,
  kFsDataBlockCount = 12,
  kFsReservedCount = 16,
  kFsPoolFirstIndex = 20,
  kFsBlocksPerTag = 24,
  kFsCountersEnd = 28,
  kFsPageSize = 32,    // u16
  kFsBlockKiB = 34,    // u16
  kFsUninterpreted = 36,  // six u16
};
inline constexpr uint32_t kFsUninterpretedCount = 6;
inline constexpr uint32_t kFsEntryBytes = 4;
// An entry word: the block number above the low byte, the tag in it.
inline constexpr uint32_t FsEntryWord(uint32_t block, uint32_t tag) { return block << 8 | (tag & 0xFFu); }
inline constexpr uint32_t FsEntryBlock(uint32_t word) { return word >> 8; }
inline constexpr uint32_t FsEntryTag(uint32_t word) { return word & 0xFFu; }

// Named reads of the 48 fixed header bytes at `p`.
class FsHeaderView {
 public:
  explicit FsHeaderView(const uint8_t* p) : p_(p) {}
  uint32_t HeaderBlocks() const { return GetLe32(p_ + kFsHeaderBlocks); }
  uint32_t TagModulus() const { return GetLe32(p_ + kFsTagModulus); }
  uint32_t EntryCount() const { return GetLe32(p_ + kFsEntryCount); }
  uint32_t DataBlockCount() const { return GetLe32(p_ + kFsDataBlockCount); }
  uint32_t ReservedCount() const { return GetLe32(p_ + kFsReservedCount); }
  uint32_t PoolFirstIndex() const { return GetLe32(p_ + kFsPoolFirstIndex); }
  uint32_t BlocksPerTag() const { return GetLe32(p_ + kFsBlocksPerTag); }
  uint32_t CountersEnd() const { return GetLe32(p_ + kFsCountersEnd); }
  uint16_t PageSize() const { return GetLe16(p_ + kFsPageSize); }
  uint16_t BlockSizeKiB() const { return GetLe16(p_ + kFsBlockKiB); }
  uint16_t Uninterpreted(uint32_t k) const { return GetLe16(p_ + kFsUninterpreted + 2 * k); }

 private:
  const uint8_t* p_;
};

// Spare bytes per page, as the FS writer derives them from the page size.
inline uint32_t SpareSizeFor(uint32_t page_size) {
  if (page_size == 512) return 16;
  if (page_size == 2048) return 64;
  return page_size;
}

// --- tag counters and remap table (in an info block's main data) ---
inline constexpr uint32_t kTagCount = 8;
inline constexpr uint32_t kTagCountersBytes = 2 * kTagCount;  // eight u16 ending at countersEnd

// --- info record ---
inline constexpr uint32_t kFsInfoRecordSize = 512;  // the last 512 main bytes of a marked page
inline constexpr uint32_t kInfoAreaStart = 388;
inline constexpr uint32_t kInfoAreaLength = 392;
inline constexpr uint32_t kInfoRegionStart = 396;   // + 8 k
inline constexpr uint32_t kInfoRegionLength = 400;  // + 8 k
inline constexpr uint32_t kInfoRegionStride = 8;
inline constexpr uint32_t kInfoMaxRegions = 8;
inline constexpr uint32_t kInfoVersion = 460;       // three bytes
inline constexpr uint32_t kInfoVersionBytes = 3;
inline constexpr uint8_t kInfoSupportedVersion[kInfoVersionBytes] = {5, 2, 0};
// The layout two records must share for the phone's remaps to carry over:
// the info area and all eight region starts and lengths, [388, 460).
inline constexpr uint32_t kInfoLayoutBegin = kInfoAreaStart;
inline constexpr uint32_t kInfoLayoutEnd = kInfoRegionLength + kInfoRegionStride * (kInfoMaxRegions - 1) + 4;
static_assert(kInfoLayoutEnd == kInfoVersion, "the region table ends where the version begins");
// Spare bytes 2 and 3 of a page that belongs to an info block.
inline constexpr uint32_t kInfoMarkerSpareOffset = 2;
inline constexpr uint8_t kInfoMarker0 = 0x0F;
inline constexpr uint8_t kInfoMarker1 = 0x0D;

inline bool HasInfoMarker(const uint8_t* spare) {
  return spare[kInfoMarkerSpareOffset] == kInfoMarker0 && spare[kInfoMarkerSpareOffset + 1] == kInfoMarker1;
}

// Named reads of the 512 record bytes at `p`. Region indices wrap at 8.
class FsInfoRecordView {
 public:
  explicit FsInfoRecordView(const uint8_t* p) : p_(p) {}
  uint32_t AreaStart() const { return GetLe32(p_ + kInfoAreaStart); }
  uint32_t AreaLength() const { return GetLe32(p_ + kInfoAreaLength); }
  uint32_t RegionStart(uint32_t k) const {
    return GetLe32(p_ + kInfoRegionStart + kInfoRegionStride * (k % kInfoMaxRegions));
  }
  uint32_t RegionLength(uint32_t k) const {
    return GetLe32(p_ + kInfoRegionLength + kInfoRegionStride * (k % kInfoMaxRegions));
  }
  const uint8_t* Version() const { return p_ + kInfoVersion; }
  bool IsVersionSupported() const {
    return std::equal(Version(), Version() + kInfoVersionBytes, kInfoSupportedVersion);
  }
  bool SameVersion(const FsInfoRecordView& o) const {
    return std::equal(Version(), Version() + kInfoVersionBytes, o.Version());
  }
  bool SameLayout(const FsInfoRecordView& o) const {
    return std::equal(p_ + kInfoLayoutBegin, p_ + kInfoLayoutEnd, o.p_ + kInfoLayoutBegin);
  }

 private:
  const uint8_t* p_;
};

}  // namespace vantrel
