#pragma once
// The two records the protocol needs from inside the firmware images.
#include <cstdint>

#include "images/image_desc.h"

namespace vantrel {

// The bootloader's information block lies at the end of the bootloader, just
// before a u32 that gives its length: the marker, the version in decimal
// digits, then fields up to the size the version has. The builder of test
// packages writes it from these names.
extern const char kBloaderInfoMarker[];
inline constexpr uint32_t kBloaderInfoMarkerLength = 18;
inline constexpr uint32_t kBloaderInfoRecordBytes = 136;
inline constexpr uint32_t kBloaderInfoChecksumSeed = 92;  // u32
inline constexpr uint32_t kBloaderInfoLengthBytes = 4;    // the u32 after the block
// Bytes of the block that a version has; 0 for a version the parser does not
// know, whose record stays all zero.
inline constexpr uint32_t BloaderInfoSize(int version) {
  switch (version) {
    case 1: return 108;
    case 2: return 132;
    case 3: return kBloaderInfoRecordBytes;
    default: return 0;
  }
}

// Parses the information block at the end of the bootloader into the 136-byte
// record. 0, 5028 (missing or the image is shorter than its trailing length)
// or 1009 (block shorter than its version needs). On failure `record` is left
// unchanged.
int ParseBloaderInfo(const ImageDesc& bootloader, uint8_t* record /*136*/);

// Finds "MTK_ROMINFO_v" in the first 1 MiB of the ROM image and copies the
// record (its version's length, never past the image) into the zero-filled
// 352-byte copy. 0, 1 (image shorter than 332 bytes) or 2 (not found).
int ParseRomInfo(const ImageDesc& rom, uint8_t* copy /*352*/);

// The offset of the record in the ROM image and its size by version, as the
// image-list command sends them. false when not found in the first 1 MiB.
bool FindRomInfoRecord(const ImageDesc& rom, uint32_t* offset, uint32_t* size);

// Leading decimal number the way the C library's atoi reads it (optional
// white space and sign, digits up to the first non-digit, none gives 0),
// bounded by `limit` bytes.
int ParseDecimal(const uint8_t* p, uint32_t limit);

}  // namespace vantrel
