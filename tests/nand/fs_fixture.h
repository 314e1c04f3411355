#pragma once
// Builds FS images and ROM information records the way the package and the
// ROM image carry them, and checks what a download left on a FakeNand.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fake_nand.h"

namespace vantrel::testing {

struct Geometry {
  uint16_t page;
  uint16_t kib;
  uint32_t spare, pages, main, raw;
  static Geometry Make(uint16_t page, uint16_t kib);
};
inline const Geometry kSmall = Geometry::Make(512, 16);    // 32 pages, 16896 bytes
inline const Geometry kLarge = Geometry::Make(2048, 128);  // 64 pages, 135168 bytes

inline constexpr uint32_t kFsRegionStart = 0x01800000;
inline constexpr uint32_t kFsRegionLength = 0x01000000;

struct ImageSpec {
  Geometry g = kSmall;
  uint32_t header_blocks = 1;
  std::vector<uint32_t> normal, reserved;  // entry words: block << 8 | tag
  uint32_t pool_first = UINT32_MAX;        // default: the normal count
  uint32_t counters_end = 1024;
  std::array<uint8_t, 3> version{5, 2, 0};
  uint32_t info_area_start = 0, info_area_length = 0;
  std::vector<std::pair<uint32_t, uint32_t>> regions{{kFsRegionStart, 0x00400000}};
  std::map<uint32_t, uint16_t> remap;  // initial remap entries of the info block
  std::array<uint16_t, 8> counters{};
  uint8_t byte470 = 0;                       // outside version and layout
  std::vector<std::vector<uint32_t>> used;   // per data block; default: 4 pages

  uint32_t FsStart() const { return kFsRegionStart / g.main; }
  std::vector<uint32_t> UsedPagesOf(uint32_t i) const;
  std::vector<uint8_t> Record() const;
  std::vector<uint8_t> InfoBlockRaw() const;
  std::vector<uint8_t> DataBlockRaw(uint32_t i) const;
  std::vector<uint8_t> Build() const;
};

// n data blocks at FS start + 10 + i, r reserved blocks at FS start + 100 + k,
// entry i of each list tagged i mod `modulus`; the info area is the pool.
ImageSpec StandardImage(uint32_t n, uint32_t r, uint32_t modulus = 1, Geometry g = kSmall);

// A 352-byte ROM information record with the FS region as region 1.
std::vector<uint8_t> RomRecord(uint16_t region_count = 2, uint32_t fs_start = kFsRegionStart,
                               uint32_t fs_length = kFsRegionLength,
                               const std::string& id = "05200001");

struct FlashInfo {
  uint32_t block = 0;           // where the one info block lies
  std::vector<uint8_t> main;    // its main data
  std::vector<uint16_t> remap;  // entries base .. base + n - 1
  std::array<uint16_t, 8> counters{};
};
// Checks (with gtest) that the info area holds exactly one info block and
// that every data block sits at its home or at the block its remap entry
// names; returns what the info block says.
FlashInfo CheckFlash(const FakeNand& nand, const ImageSpec& plan);

}  // namespace vantrel::testing
