// The bootloader information block and the ROM information record. Lengths
// come from the image, so every offset is computed in 64 bits and every copy
// stops at the end of the image.
#include "images/records.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "images/rom_info.h"
#include "link/byte_order.h"
#include "vantrel/codes.h"

namespace vantrel {

const char kBloaderInfoMarker[] = "MTK_BLOADER_INFO_v";
static_assert(sizeof kBloaderInfoMarker == kBloaderInfoMarkerLength + 1);

namespace {

constexpr uint32_t kRomSearchLimit = 0x100000;  // marker offsets below 1 MiB
constexpr uint32_t kRomMinimumImage = 332;

// Offset of the first marker at an offset below 1 MiB whose 13 bytes lie in
// the image.
bool FindRomMarker(const ImageDesc& rom, uint32_t* offset) {
  if (!rom.data || rom.length < kRomInfoMarkerLength) return false;
  const uint32_t last = std::min(rom.length - kRomInfoMarkerLength, kRomSearchLimit - 1);
  for (uint32_t k = 0; k <= last; ++k) {
    if (rom.data[k] == 'M' && std::memcmp(rom.data + k, kRomInfoMarker, kRomInfoMarkerLength) == 0) {
      *offset = k;
      return true;
    }
  }
  return false;
}

int RomVersion(const ImageDesc& rom, uint32_t offset) {
  const uint64_t digits = uint64_t{offset} + kRomInfoMarkerLength;
  return ParseDecimal(rom.data + digits, static_cast<uint32_t>(rom.length - digits));
}

// Upper-cases the NUL-terminated text at `from` in place, never past `end`.
// Only ASCII letters change: the record's texts are identifiers, and bytes of
// other code pages must not be altered by whatever locale the process has.
void UpperCaseText(uint8_t* from, const uint8_t* end) {
  for (uint8_t* p = from; p < end && *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = static_cast<uint8_t>(*p - 'a' + 'A');
}

}  // namespace

int ParseDecimal(const uint8_t* p, uint32_t limit) {
  uint32_t i = 0;
  while (i < limit && (p[i] == ' ' || (p[i] >= '\t' && p[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < limit && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  // Accumulated in 64 bits and clamped, where the C library's behaviour on
  // overflow is undefined.
  int64_t value = 0;
  for (; i < limit && p[i] >= '0' && p[i] <= '9'; ++i)
    value = std::min<int64_t>(value * 10 + (p[i] - '0'), int64_t{INT_MAX} + 1);
  if (negative) return static_cast<int>(-value);
  return static_cast<int>(std::min<int64_t>(value, INT_MAX));
}

int ParseBloaderInfo(const ImageDesc& bootloader, uint8_t* record) {
  const uint64_t length = bootloader.data ? bootloader.length : 0;
  if (length < kBloaderInfoLengthBytes) return kBloaderInfoMissing;
  const uint64_t block_length = GetLe32(bootloader.data + length - kBloaderInfoLengthBytes);
  // In 64 bits: an L near 2^32 must not wrap into a small sum.
  if (length < block_length + kBloaderInfoLengthBytes) return kBloaderInfoMissing;
  if (block_length < kBloaderInfoMarkerLength) return kBloaderInfoMissing;
  const uint8_t* block = bootloader.data + (length - block_length - kBloaderInfoLengthBytes);
  if (std::memcmp(block, kBloaderInfoMarker, kBloaderInfoMarkerLength) != 0) return kBloaderInfoMissing;

  uint8_t work[kBloaderInfoRecordBytes] = {};
  const int version = ParseDecimal(block + kBloaderInfoMarkerLength,
                                   static_cast<uint32_t>(block_length - kBloaderInfoMarkerLength));
  const uint32_t copy = BloaderInfoSize(version);
  if (block_length < copy) return kBloaderInfoTooShort;
  std::memcpy(work, block, copy);
  std::memcpy(record, work, sizeof work);
  return kOk;
}

int ParseRomInfo(const ImageDesc& rom, uint8_t* copy) {
  if (!rom.data || rom.length < kRomMinimumImage) return kRomInfoImageTooShort;
  uint32_t offset = 0;
  if (!FindRomMarker(rom, &offset)) return kRomInfoNotFound;
  const int version = RomVersion(rom, offset);
  const uint32_t take = std::min<uint32_t>(RomInfoRecordSize(version), rom.length - offset);
  std::memset(copy, 0, kRomInfoCopySize);
  std::memcpy(copy, rom.data + offset, take);
  if (version >= 4) {
    UpperCaseText(copy + kRomInfoText1Offset, copy + kRomInfoCopySize);
    UpperCaseText(copy + kRomInfoText2Offset, copy + kRomInfoCopySize);
  }
  return 0;
}

bool FindRomInfoRecord(const ImageDesc& rom, uint32_t* offset, uint32_t* size) {
  uint32_t k = 0;
  if (!FindRomMarker(rom, &k)) return false;
  *offset = k;
  *size = RomInfoRecordSize(RomVersion(rom, k));
  return true;
}

}  // namespace vantrel
