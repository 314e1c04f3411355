// The checker's reading of FS images, info blocks and the ROM record.
#include "sim/check/fs_view.h"

#include <bit>
#include <cstring>

namespace vantrel::flashcheck {

namespace {

constexpr char kRomMarker[] = "MTK_ROMINFO_v";
constexpr size_t kRomMarkerLen = sizeof kRomMarker - 1;
constexpr size_t kRomRecordBytes = 352;

bool Clean(uint8_t v) { return v == 0xFF || std::popcount(v) >= 7; }

}  // namespace

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::optional<FsView> ParseFsImage(const Bytes& image, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<FsView> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (image.size() < 48) return fail("shorter than its header");
  FsView v;
  v.image = image.data();
  v.headerBlocks = Le32(&image[0]);
  v.dataBlockCount = Le32(&image[12]);
  v.reservedCount = Le32(&image[16]);
  v.countersEnd = Le32(&image[28]);
  v.pageSize = Le16(&image[32]);
  uint32_t blockKiB = Le16(&image[34]);
  if (v.pageSize != 512 && v.pageSize != 2048) return fail("page size " + std::to_string(v.pageSize));
  v.spareSize = v.pageSize == 512 ? 16 : 64;
  if (blockKiB == 0 || blockKiB > 4096) return fail("block size " + std::to_string(blockKiB) + " KiB");
  v.pages = blockKiB * 1024 / v.pageSize;
  v.blockBytes = v.pages * (v.pageSize + v.spareSize);
  v.blockMain = v.pages * v.pageSize;
  if (v.pages == 0) return fail("no pages per block");
  uint64_t words = uint64_t{v.dataBlockCount} + v.reservedCount;
  uint64_t headerBytes = uint64_t{v.headerBlocks} * v.blockBytes;
  if (48 + 4 * words > headerBytes) return fail("entry words reach beyond the header");
  uint64_t need = (uint64_t{v.headerBlocks} + 1 + v.dataBlockCount) * v.blockBytes;
  if (need > image.size()) {
    return fail("image holds " + std::to_string(image.size()) + " bytes, its header needs " +
                std::to_string(need));
  }
  for (uint64_t i = 0; i < words; ++i) {
    uint32_t w = Le32(&image[48 + 4 * i]);
    (i < v.dataBlockCount ? v.normalWords : v.reservedWords).push_back(w);
  }
  auto rec = InfoRecordOf(image.data() + headerBytes, v.pageSize, v.spareSize, v.pages);
  if (!rec) return fail("no info record in the image's info block");
  v.infoRecord = *rec;
  return v;
}

std::optional<Bytes> InfoRecordOf(const uint8_t* raw, uint32_t pageSize, uint32_t spareSize,
                                  uint32_t pages) {
  for (uint32_t n = pages; n-- > 0;) {
    const uint8_t* page = raw + size_t{n} * (pageSize + spareSize);
    if (page[pageSize + 2] == 0x0F && page[pageSize + 3] == 0x0D) {
      return Bytes(page + pageSize - 512, page + pageSize);
    }
  }
  return std::nullopt;
}

bool HasInfoMarker(const uint8_t* raw, uint32_t pageSize) {
  return raw[pageSize + 2] == 0x0F && raw[pageSize + 3] == 0x0D;
}

bool IsMarkedBad(const uint8_t* raw, uint32_t pageSize, uint32_t spareSize) {
  for (uint32_t page = 0; page < 2; ++page) {
    const uint8_t* spare = raw + size_t{page} * (pageSize + spareSize) + pageSize;
    if (pageSize == 512) {
      if (!Clean(spare[5])) return true;
    } else if (spare[0] != 0xFF || spare[1] != 0xFF) {
      if (!Clean(spare[0]) || !Clean(spare[1])) return true;
    }
  }
  return false;
}

std::optional<RomInfoOnFlash> FindRomInfoOnFlash(const sim::Flash& flash) {
  const sim::Geometry& g = flash.geometry();
  for (uint32_t b = 2; b <= 9 && b < g.blockCount; ++b) {
    Bytes main = flash.ReadMain(uint64_t{b} * g.blockMainBytes(), g.blockMainBytes());
    for (size_t off = 0; off + kRomRecordBytes <= main.size(); ++off) {
      if (std::memcmp(main.data() + off, kRomMarker, kRomMarkerLen) == 0) {
        RomInfoOnFlash r;
        r.block = b;
        r.offset = static_cast<uint32_t>(off);
        r.record.assign(main.begin() + static_cast<std::ptrdiff_t>(off),
                        main.begin() + static_cast<std::ptrdiff_t>(off + kRomRecordBytes));
        return r;
      }
    }
  }
  return std::nullopt;
}

std::optional<Bytes> FindRomInfoInImage(const Bytes& rom) {
  for (size_t off = 0; off < (1u << 20) && off + kRomRecordBytes <= rom.size(); ++off) {
    if (std::memcmp(rom.data() + off, kRomMarker, kRomMarkerLen) == 0) {
      return Bytes(rom.begin() + static_cast<std::ptrdiff_t>(off),
                   rom.begin() + static_cast<std::ptrdiff_t>(off + kRomRecordBytes));
    }
  }
  return std::nullopt;
}

}  // namespace vantrel::flashcheck
