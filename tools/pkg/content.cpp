// Generated bootloader, ROM image and FS content.
#include "tools/pkg/content.h"

#include <algorithm>
#include <cstring>

#include "images/package_format.h"
#include "images/records.h"
#include "images/rom_info.h"
#include "link/byte_order.h"

namespace vantrel::pkg {
namespace {

// The information block's fields that the builder fills end here; the bytes
// after them are distinct, so that a record cut at the wrong length shows.
constexpr uint32_t kBloaderFieldsEnd = 100;

// Used pages by data block index: none, one, three (first, second, last),
// four, all. The writer sends blocks with up to three used pages page by page
// and the others whole, so a sample exercises both.
std::vector<uint32_t> UsedPagesOf(uint32_t index, uint32_t pages) {
  switch (index % 5) {
    case 0: return {};
    case 1: return {0};
    case 2: return {0, 1, pages - 1};
    case 3: return {0, 1, 2, 3};
    default: {
      std::vector<uint32_t> all(pages);
      for (uint32_t p = 0; p < pages; ++p) all[p] = p;
      return all;
    }
  }
}

// The header's fixed fields for an image or a section of `data_blocks` data
// blocks; the entry words that follow are the caller's.
void PutFsHeader(uint8_t* h, const Geometry& g, const FsSpec& plan, uint32_t header_blocks,
                 uint32_t data_blocks) {
  PutLe32(h + kFsHeaderBlocks, header_blocks);
  PutLe32(h + kFsTagModulus, plan.tagModulus);
  PutLe32(h + kFsEntryCount, data_blocks + plan.reservedCount);
  PutLe32(h + kFsDataBlockCount, data_blocks);
  PutLe32(h + kFsReservedCount, plan.reservedCount);
  PutLe32(h + kFsPoolFirstIndex, data_blocks);
  PutLe32(h + kFsBlocksPerTag, plan.tagModulus ? data_blocks / plan.tagModulus : 0);
  PutLe32(h + kFsCountersEnd, plan.countersEnd);
  PutLe16(h + kFsPageSize, static_cast<uint16_t>(g.pageSize));
  PutLe16(h + kFsBlockKiB, static_cast<uint16_t>(g.blockKiB));
  std::memset(h + kFsUninterpreted, 0, 2 * kFsUninterpretedCount);
}

}  // namespace

Bytes RandomBytes(std::size_t n, uint32_t seed) {
  Bytes out(n);
  Rng rng(seed);
  for (uint8_t& b : out) b = rng.Byte();
  return out;
}

Bytes MakeBootloader(const BootloaderSpec& plan) {
  uint32_t block = plan.infoLength;
  // A version the loader does not know gets a block of the longest size.
  if (block == 0) block = BloaderInfoSize(plan.infoVersion);
  if (block == 0) block = kBloaderInfoRecordBytes;
  if (block < kBloaderFieldsEnd) throw BuildError("bootloader: information block shorter than 100 bytes");
  if (plan.size < block + kBloaderInfoLengthBytes)
    throw BuildError("bootloader: size " + std::to_string(plan.size) +
                     " cannot hold its information block of " + std::to_string(block) + " bytes");
  Bytes out = RandomBytes(plan.size, plan.seed);
  uint8_t* b = out.data() + plan.size - block - kBloaderInfoLengthBytes;
  std::memset(b, 0, block);
  std::memcpy(b, kBloaderInfoMarker, kBloaderInfoMarkerLength);
  const std::string version = std::to_string(plan.infoVersion);
  std::memcpy(b + kBloaderInfoMarkerLength, version.data(), std::min<std::size_t>(version.size(), 8));
  PutLe32(b + 88, plan.value88);  // 88 and 96: only the agent reads them
  PutLe32(b + kBloaderInfoChecksumSeed, plan.seed92);
  PutLe32(b + 96, plan.value96);
  for (uint32_t i = kBloaderFieldsEnd; i < block; ++i) b[i] = static_cast<uint8_t>(i);
  PutLe32(out.data() + plan.size - kBloaderInfoLengthBytes, block);
  return out;
}

Bytes MakeRom(const RomSpec& plan) {
  const uint64_t record_end = uint64_t{plan.recordOffset} + kRomInfoCopySize;
  if (record_end > plan.size)
    throw BuildError("rom: size " + std::to_string(plan.size) + " cannot hold the record at offset " +
                     std::to_string(plan.recordOffset));
  if (plan.regions.size() > kRomInfoMaxRegions) throw BuildError("rom: at most 8 regions");
  if (plan.identifier.size() != kRomInfoIdentifierLength)
    throw BuildError("rom: the identifier has 8 characters");
  Bytes out = RandomBytes(plan.size, plan.seed);
  uint8_t* r = out.data() + plan.recordOffset;
  std::memset(r, 0, kRomInfoCopySize);
  std::memcpy(r, kRomInfoMarker, kRomInfoMarkerLength);
  // The version's digits, as many as fit before the first text.
  const std::string version = std::to_string(plan.version);
  std::memcpy(r + kRomInfoMarkerLength, version.data(),
              std::min<std::size_t>(version.size(), kRomInfoText1Offset - kRomInfoMarkerLength));
  // Lower-case texts: the parser upper-cases them for versions 4 and above.
  std::strcpy(reinterpret_cast<char*>(r + kRomInfoText1Offset), "sample-rom-image");
  std::strcpy(reinterpret_cast<char*>(r + kRomInfoText2Offset), "sample-platform");
  PutLe16(r + kRomInfoRegionCountOffset, static_cast<uint16_t>(plan.regions.size()));
  for (std::size_t k = 0; k < plan.regions.size(); ++k) {
    uint8_t* entry = r + kRomInfoRegionTableOffset + kRomInfoRegionEntrySize * k;
    PutLe32(entry + kRomInfoRegionIndexField, static_cast<uint32_t>(k));
    PutLe32(entry + kRomInfoRegionStartField, plan.regions[k].start);
    PutLe32(entry + kRomInfoRegionLengthField, plan.regions[k].length);
  }
  std::memcpy(r + kRomInfoIdentifierOffset, plan.identifier.data(), kRomInfoIdentifierLength);
  // The record must be the first marker in the image.
  auto first = std::search(out.begin(), out.end(), kRomInfoMarker, kRomInfoMarker + kRomInfoMarkerLength);
  if (first - out.begin() != static_cast<std::ptrdiff_t>(plan.recordOffset))
    throw BuildError("rom: the generated bytes hold an earlier record marker; use another seed");
  return out;
}

uint64_t InfoRecordRawOffset(const Geometry& g) {
  return uint64_t{g.pages - 1} * (g.pageSize + g.spareSize) + g.pageSize - kFsInfoRecordSize;
}

Bytes MakeInfoBlock(const Geometry& g, const FsSpec& plan) {
  const uint32_t record_main = g.pages * g.pageSize - kFsInfoRecordSize;  // the end of the last page
  if (plan.countersEnd < kTagCountersBytes || plan.countersEnd > record_main)
    throw BuildError("fs: countersEnd " + std::to_string(plan.countersEnd) +
                     " must lie between 16 and the record at " + std::to_string(record_main));
  Bytes main(g.blockMainBytes, 0xFF);
  std::fill(main.begin(), main.begin() + plan.countersEnd, 0);  // remap table: all home blocks
  for (uint32_t k = 0; k < kTagCount; ++k)
    PutLe16(&main[plan.countersEnd - kTagCountersBytes + 2 * k], plan.counters[k]);
  uint8_t* rec = &main[record_main];
  std::memset(rec, 0, kFsInfoRecordSize);
  PutLe32(rec + kInfoAreaStart, plan.infoAreaStart);
  PutLe32(rec + kInfoAreaLength, plan.infoAreaLength);
  for (std::size_t r = 0; r < plan.regions.size() && r < kInfoMaxRegions; ++r) {
    PutLe32(rec + kInfoRegionStart + kInfoRegionStride * r, plan.regions[r].start);
    PutLe32(rec + kInfoRegionLength + kInfoRegionStride * r, plan.regions[r].blocks * g.blockMainBytes);
  }
  std::memcpy(rec + kInfoVersion, plan.version.data(), kInfoVersionBytes);

  Bytes raw(g.blockBytes, 0xFF);
  for (uint32_t p = 0; p < g.pages; ++p)
    std::memcpy(&raw[uint64_t{p} * (g.pageSize + g.spareSize)], &main[uint64_t{p} * g.pageSize],
                g.pageSize);
  for (uint32_t p : {0u, g.pages - 1}) {
    uint8_t* spare = &raw[uint64_t{p} * (g.pageSize + g.spareSize) + g.pageSize];
    spare[kInfoMarkerSpareOffset] = kInfoMarker0;
    spare[kInfoMarkerSpareOffset + 1] = kInfoMarker1;
  }
  return raw;
}

Bytes MakeDataBlock(const Geometry& g, uint32_t seed, uint32_t index) {
  Bytes raw(g.blockBytes, 0xFF);
  Rng rng(seed * 0x01000193u + index + 1);
  for (uint32_t p : UsedPagesOf(index, g.pages)) {
    uint8_t* page = &raw[uint64_t{p} * (g.pageSize + g.spareSize)];
    for (uint32_t i = 0; i < g.pageSize; ++i) page[i] = rng.Byte();
    // Spare bytes 8 on carry the page's check bytes; the bad-block marks
    // (bytes 0, 1 and 5) and the info marker bytes (2, 3) stay 0xFF.
    uint8_t* spare = page + g.pageSize;
    for (uint32_t i = 8; i < g.spareSize; ++i) spare[i] = rng.Byte();
    spare[8] = static_cast<uint8_t>(p & 0x7F);  // never 0xFF: the page counts as used
  }
  return raw;
}

Bytes MakeFsImage(const Geometry& g, const FsSpec& plan, const Bytes& info_block,
                  const std::vector<Bytes>& data_blocks, uint32_t region) {
  const FsRegionSpec& reg = plan.regions.at(region);
  const uint32_t n = reg.blocks;
  const uint64_t entries = uint64_t{n} + plan.reservedCount;
  const uint32_t header_blocks = FsHeaderBlocks(g.blockMainBytes, entries);
  Bytes image(uint64_t{header_blocks + 1 + n} * g.blockBytes, 0xFF);
  uint8_t* h = image.data();
  PutFsHeader(h, g, plan, header_blocks, n);
  WriteEntryWords(h + kFsHeaderFixedBytes, reg.start / g.blockMainBytes, n,
                  plan.infoAreaStart / g.blockMainBytes, plan.reservedCount, plan.tagModulus);
  std::copy(info_block.begin(), info_block.end(), image.begin() + uint64_t{header_blocks} * g.blockBytes);
  // Region r's data blocks follow those of the regions before it.
  uint32_t first = 0;
  for (uint32_t r = 0; r < region; ++r) first += plan.regions[r].blocks;
  for (uint32_t i = 0; i < n; ++i)
    std::copy(data_blocks[first + i].begin(), data_blocks[first + i].end(),
              image.begin() + uint64_t{header_blocks + 1 + i} * g.blockBytes);
  return image;
}

Bytes MakeMultiRegionSection(const Geometry& g, const FsSpec& plan, std::vector<Bytes>* images) {
  if (plan.regions.empty() || plan.regions.size() > kInfoMaxRegions) throw BuildError("fs: 1 to 8 regions");
  if (plan.packagedHeaderBlocks == 0) throw BuildError("fs: headerBlocks must be at least 1");
  uint32_t total = 0;
  for (const FsRegionSpec& r : plan.regions) total += r.blocks;
  std::vector<Bytes> data;
  for (uint32_t i = 0; i < total; ++i) data.push_back(MakeDataBlock(g, plan.seed, i));
  const Bytes info = MakeInfoBlock(g, plan);

  // Region r lies (start r - start 0) / block size blocks after the info block.
  const uint32_t start0 = plan.regions[0].start;
  const FsRegionSpec& last = plan.regions.back();
  const uint64_t span = (last.start - start0) / g.blockMainBytes + last.blocks;
  const uint64_t d = plan.packagedHeaderBlocks;
  Bytes section((d + 1 + span) * g.blockBytes, 0xFF);
  // The loader writes each image's block counts and entry words itself.
  PutFsHeader(section.data(), g, plan, plan.packagedHeaderBlocks, total);
  std::copy(info.begin(), info.end(), section.begin() + d * g.blockBytes);
  uint32_t index = 0;
  for (const FsRegionSpec& r : plan.regions) {
    const uint64_t at = d + 1 + (r.start - start0) / g.blockMainBytes;
    for (uint32_t i = 0; i < r.blocks; ++i, ++index)
      std::copy(data[index].begin(), data[index].end(), section.begin() + (at + i) * g.blockBytes);
  }
  if (images && plan.tagModulus != 0)
    for (uint32_t r = 0; r < plan.regions.size(); ++r)
      images->push_back(MakeFsImage(g, plan, info, data, r));
  return section;
}

}  // namespace vantrel::pkg
