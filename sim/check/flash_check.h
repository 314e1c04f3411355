#pragma once
// An independent checker of what a download left on the simulated flash. It
// reads the flash directly (not through the agent protocol) and compares it
// with the firmware that was meant to reach it:
//  - the bootloader, extended bootloader, ROM image and secondary ROM image
//    byte for byte at the places the simulated agent recorded for them;
//  - the "MTK_ROMINFO_v" record in device blocks 2 to 9 (where the host looks
//    for it) and, from its region 1, the FS start block;
//  - for every FS image (info record version 5.2.0; others are skipped by the
//    host and here): exactly one valid info block in its info area, whose
//    info record has the image's version and layout; every data block at its
//    home block, or at FS start block + t when its remap entry t is not 0;
//    the pages that carry data (spare bytes not all 0xFF) equal main and
//    spare; no two data blocks in one block; and every tag counter greater
//    than each remap entry used for its tag.
// It shares no code with the plug-in's parsers.
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "sim/flash.h"

namespace vantrel::flashcheck {

using Bytes = std::vector<uint8_t>;

struct ExpectedFirmware {
  Bytes bootloader;
  Bytes extendedBootloader;
  Bytes romImage;
  Bytes secondaryRomImage;
  std::vector<Bytes> fsImages;  // header, info block and data blocks, raw pages with spare
};

struct CheckReport {
  bool ok = false;
  std::vector<std::string> problems;
  std::string summary;  // a few lines: what the flash holds
};

CheckReport CheckFlash(const sim::Flash& flash, const ExpectedFirmware& firmware);

// A read-back against the flash itself: `in` holds what a read of `length`
// main-data bytes from `start` returned, in mode 1 (main data) or mode 0
// (each page's main data followed by its spare bytes). Compared page by
// page (the file is never held whole); the first difference is named by
// page, main or spare, and offset. Bits a weak block flips on the way are
// not on the flash, so a read of one differs.
CheckReport CompareReadBack(const sim::Flash& flash, uint64_t start, uint64_t length, int mode, std::istream& in);
CheckReport CompareReadBackFile(const sim::Flash& flash, uint64_t start, uint64_t length, int mode,
                                const std::string& path);

// What the flash holds, for people: geometry, used and bad blocks, stored
// images, the ROM information record and the FS info blocks found.
std::string SummariseFlash(const sim::Flash& flash);

}  // namespace vantrel::flashcheck
