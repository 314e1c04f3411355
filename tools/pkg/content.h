#pragma once
// Generated sample content for packages: bootloader with its information
// block, ROM image with its information record, FS images with their info
// block and data blocks. Deterministic for a given seed.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "images/fs_layout.h"
#include "images/rom_info.h"
#include "tools/pkg/builder.h"

namespace vantrel::pkg {

using Bytes = std::vector<uint8_t>;

// xorshift32: the same sequence on every host.
class Rng {
 public:
  explicit Rng(uint32_t seed) : x_(seed ? seed : 0x9E3779B9u) {}
  uint32_t Next() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 17;
    x_ ^= x_ << 5;
    return x_;
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 24); }

 private:
  uint32_t x_;
};

Bytes RandomBytes(std::size_t n, uint32_t seed);

struct BootloaderSpec {
  uint32_t size = 0;          // whole bootloader, information block included
  int infoVersion = 3;        // the number written after the marker
  uint32_t infoLength = 0;    // 0: the size the version needs (108, 132, 136)
  uint32_t value88 = 0x00000001;
  uint32_t seed92 = 0x5EED1234;
  uint32_t value96 = 0x00010000;
  uint32_t seed = 1;
};
Bytes MakeBootloader(const BootloaderSpec& plan);

struct RomRegion {
  uint32_t start = 0;
  uint32_t length = 0;
};
struct RomSpec {
  uint32_t size = 0;
  uint32_t recordOffset = 0x200;
  int version = 6;
  std::vector<RomRegion> regions;
  std::string identifier = kRomInfoFsIdentifier;
  uint32_t seed = 1;
};
Bytes MakeRom(const RomSpec& plan);

struct FsRegionSpec {
  uint32_t start = 0;   // flash byte address, block aligned
  uint32_t blocks = 0;  // data blocks
};
struct FsSpec {
  bool verbatim = false;  // one image as the writer takes it, instead of a multi-region section
  uint32_t tagModulus = 4;
  uint32_t reservedCount = 16;
  uint32_t countersEnd = 0;
  std::array<uint16_t, kTagCount> counters{};
  uint32_t infoAreaStart = 0;
  uint32_t infoAreaLength = 0;
  std::array<uint8_t, kInfoVersionBytes> version{5, 2, 0};
  std::vector<FsRegionSpec> regions;
  uint32_t packagedHeaderBlocks = 1;  // multi-region: blocks before the info block
  uint32_t seed = 1;
};

// The info block shared by every image of one FS section: zero remap table,
// tag counters before countersEnd, the record in the last page, markers in
// the spare bytes of page 0 and of the record page.
Bytes MakeInfoBlock(const Geometry& g, const FsSpec& plan);
// Where in the info block's bytes MakeInfoBlock puts the record.
uint64_t InfoRecordRawOffset(const Geometry& g);
// Data block `index` of a section: some blocks use no page, some up to three,
// some more; unused pages are 0xFF in main and spare data.
Bytes MakeDataBlock(const Geometry& g, uint32_t seed, uint32_t index);
// The FS image of region r as the writer takes it.
Bytes MakeFsImage(const Geometry& g, const FsSpec& plan, const Bytes& info_block,
                  const std::vector<Bytes>& data_blocks, uint32_t region);
// The raw bytes of a multi-region FS section, and its expected images.
Bytes MakeMultiRegionSection(const Geometry& g, const FsSpec& plan, std::vector<Bytes>* images);

}  // namespace vantrel::pkg
