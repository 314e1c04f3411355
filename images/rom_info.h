#pragma once
// The ROM information record: its one layout, read by the package loader
// (inside the ROM image), the image-list command (its size by version) and
// the FS writer (on the phone's flash). Every offset of it lives here.
//
//   0    "MTK_ROMINFO_v" then the version as decimal digits
//   16   a NUL-terminated identifier text (upper-cased in the copy)
//   144  a second NUL-terminated text (upper-cased in the copy)
//   210  u16 region count
//   216  region table: up to 8 entries of 16 bytes, u32 start at +4 and
//        u32 length at +8 (flash addresses, main data only); the u32 at +0,
//        the entry's index, is not read
//   332  8-byte identifier of the FS layout, "05200001" for this phone
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "link/byte_order.h"

namespace vantrel {

inline constexpr uint32_t kRomInfoCopySize = 352;  // the zero-filled copy the plug-in keeps
inline constexpr char kRomInfoMarker[] = "MTK_ROMINFO_v";
inline constexpr uint32_t kRomInfoMarkerLength = sizeof(kRomInfoMarker) - 1;
inline constexpr uint32_t kRomInfoText1Offset = 16;
inline constexpr uint32_t kRomInfoText2Offset = 144;
inline constexpr uint32_t kRomInfoRegionCountOffset = 210;
inline constexpr uint32_t kRomInfoRegionTableOffset = 216;
inline constexpr uint32_t kRomInfoRegionEntrySize = 16;
inline constexpr uint32_t kRomInfoRegionIndexField = 0;
inline constexpr uint32_t kRomInfoRegionStartField = 4;
inline constexpr uint32_t kRomInfoRegionLengthField = 8;
inline constexpr uint32_t kRomInfoMaxRegions =
    (kRomInfoCopySize - kRomInfoRegionTableOffset) / kRomInfoRegionEntrySize;
inline constexpr uint32_t kRomInfoIdentifierOffset = 332;
inline constexpr char kRomInfoFsIdentifier[] = "05200001";
inline constexpr uint32_t kRomInfoIdentifierLength = 8;

// The ROM information record as read from the flash or copied from the image.
using RomInfoRecord = std::array<uint8_t, kRomInfoCopySize>;

// The record's length by version, as the image-list command sends it.
inline uint32_t RomInfoRecordSize(int version) {
  switch (version) {
    case 4: return 320;
    case 5: return 332;
    case 6: return 340;
    default: return 352;
  }
}

// Named reads of a 352-byte record. Region indices at or past the table's
// capacity read as an empty region rather than past the record.
class RomInfoView {
 public:
  explicit RomInfoView(const uint8_t* record /*352*/) : r_(record) {}
  explicit RomInfoView(const RomInfoRecord& record) : r_(record.data()) {}

  uint32_t RegionCount() const { return GetLe16(r_ + kRomInfoRegionCountOffset); }
  uint32_t RegionStart(uint32_t k) const {
    return k < kRomInfoMaxRegions ? Entry(k, kRomInfoRegionStartField) : 0;
  }
  uint32_t RegionLength(uint32_t k) const {
    return k < kRomInfoMaxRegions ? Entry(k, kRomInfoRegionLengthField) : 0;
  }
  bool HasFsIdentifier() const {
    return std::memcmp(r_ + kRomInfoIdentifierOffset, kRomInfoFsIdentifier, kRomInfoIdentifierLength) == 0;
  }

 private:
  uint32_t Entry(uint32_t k, uint32_t field) const {
    return GetLe32(r_ + kRomInfoRegionTableOffset + kRomInfoRegionEntrySize * k + field);
  }
  const uint8_t* r_;
};

// The region the FS images are written into: the last entry of the table.
// false when the record lists no region, or more than its 352 bytes can hold.
inline bool RomInfoFsRegion(const uint8_t* record, uint32_t* start, uint32_t* length) {
  if (!record) return false;
  const RomInfoView v(record);
  const uint32_t n = v.RegionCount();
  if (n == 0 || n > kRomInfoMaxRegions) return false;
  *start = v.RegionStart(n - 1);
  *length = v.RegionLength(n - 1);
  return true;
}

}  // namespace vantrel
