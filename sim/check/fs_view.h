#pragma once
// The checker's own reading of the layouts it checks: an FS image (header,
// entry words, info block, data blocks), the info record in an info block,
// the bad-block marks and the ROM information record. Every read is
// bounds-checked; a malformed image yields an error text, not a crash.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/flash.h"

namespace vantrel::flashcheck {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const uint8_t* p);
uint16_t Le16(const uint8_t* p);

struct FsView {
  uint32_t headerBlocks = 0, dataBlockCount = 0, reservedCount = 0, countersEnd = 0;
  uint32_t pageSize = 0, spareSize = 0, pages = 0, blockBytes = 0, blockMain = 0;
  std::vector<uint32_t> normalWords, reservedWords;  // block << 8 | tag
  Bytes infoRecord;                                  // 512 bytes of the image's info block
  const uint8_t* image = nullptr;

  // Raw bytes (pages with spare) of data block i.
  const uint8_t* DataBlock(uint32_t i) const {
    return image + size_t{headerBlocks + 1 + i} * blockBytes;
  }
  bool VersionIs520() const { return infoRecord[460] == 5 && infoRecord[461] == 2 && infoRecord[462] == 0; }
  uint32_t infoAreaStart() const { return Le32(infoRecord.data() + 388); }
  uint32_t infoAreaLength() const { return Le32(infoRecord.data() + 392); }
};

// Parses an FS image; nullopt with *error set when it is malformed.
std::optional<FsView> ParseFsImage(const Bytes& image, std::string* error);

// The 512-byte info record of a raw block (pages with spare): the last 512
// main bytes of the highest page whose spare bytes 2 and 3 are 0x0F 0x0D.
std::optional<Bytes> InfoRecordOf(const uint8_t* raw, uint32_t pageSize, uint32_t spareSize,
                                  uint32_t pages);
// Page 0 carries the info block marker.
bool HasInfoMarker(const uint8_t* raw, uint32_t pageSize);
// The bad-block marks the host tests (one flipped bit tolerated).
bool IsMarkedBad(const uint8_t* raw, uint32_t pageSize, uint32_t spareSize);

// The ROM information record as found on the flash in device blocks 2 to 9.
struct RomInfoOnFlash {
  uint32_t block = 0, offset = 0;
  Bytes record;  // 352 bytes
  uint16_t regionCount() const { return Le16(record.data() + 210); }
  uint32_t regionStart(unsigned k) const { return Le32(record.data() + 220 + 16 * k); }
  uint32_t regionLength(unsigned k) const { return Le32(record.data() + 224 + 16 * k); }
};
std::optional<RomInfoOnFlash> FindRomInfoOnFlash(const sim::Flash& flash);
// The same record inside a ROM image (first 1 MiB), as a fallback.
std::optional<Bytes> FindRomInfoInImage(const Bytes& rom);

}  // namespace vantrel::flashcheck
