// FS sections of the package: copied as one image, or split into one image
// per region with a header and entry words computed for that region. Every
// image handed on satisfies what the FS writer relies on (CheckFsImage), so
// the writer never reads past an image.
#include <algorithm>
#include <cstring>

#include "images/fs_write_layout.h"
#include "images/package_format.h"
#include "link/byte_order.h"

namespace vantrel {
namespace {

bool IsFsImage(const ImageRecord& r) { return r.type == kImageFs; }

// The FS header's own geometry must be the package's: the writer cuts the
// image into blocks by the header, the loader by the package.
bool CheckFsGeometry(const NandGeometry& g, const uint8_t* header, std::string* why) {
  const FsHeaderView v(header);
  const uint32_t page = v.PageSize();
  const uint32_t block_kib = v.BlockSizeKiB();
  if (page != g.pageSize || block_kib * 1024u != g.blockMainBytes)
    return Fail(why, "header geometry (%u-byte pages, %u KiB blocks) differs from the package's", page,
                block_kib);
  if (page < kFsInfoRecordSize || SpareSizeFor(page) != g.spareSize)
    return Fail(why, "%u-byte pages cannot hold an FS image", page);
  const uint32_t counters_end = v.CountersEnd();
  if (counters_end < kTagCountersBytes || counters_end > g.blockMainBytes)
    return Fail(why, "countersEnd %u is not inside one block's %u bytes of main data", counters_end,
                g.blockMainBytes);
  return true;
}

bool FailFs(std::string* why, int32_t index, const std::string& what) {
  return Fail(why, "section %d (FS): %s", index, what.c_str());
}

}  // namespace

bool FindInfoRecordRaw(const NandGeometry& g, ByteSpan file, uint64_t block_pos,
                       uint64_t* record_pos) {
  // The record is the last 512 bytes of a page's main data: smaller pages
  // cannot hold one.
  if (g.pageSize < kFsInfoRecordSize || !RangeInFile(block_pos, g.blockBytes, file.size()))
    return false;
  for (uint32_t n = g.pages(); n-- > 0;) {
    const uint64_t page = block_pos + uint64_t{n} * g.rawPageBytes();
    const uint8_t* spare = &file[page + g.pageSize];
    if (HasInfoMarker(spare)) {
      *record_pos = page + g.pageSize - kFsInfoRecordSize;
      return true;
    }
  }
  return false;
}

bool IsMultiRegionFs(const NandGeometry& g, ByteSpan file, uint64_t section_pos) {
  if (!RangeInFile(section_pos, 4, file.size())) return false;
  const uint64_t info_rel = uint64_t{GetLe32(&file[section_pos] + kFsHeaderBlocks)} * g.blockBytes;
  if (!RangeInFile(section_pos, info_rel, file.size())) return false;
  uint64_t rec = 0;
  if (!FindInfoRecordRaw(g, file, section_pos + info_rel, &rec)) return false;
  return FsInfoRecordView(&file[rec]).IsVersionSupported();
}

void WriteEntryWords(uint8_t* dest, uint32_t first_normal, uint32_t n, uint32_t first_reserved,
                     uint32_t reserved, uint32_t tag_modulus) {
  for (uint32_t i = 0; i < n; ++i, dest += kFsEntryBytes)
    PutLe32(dest, FsEntryWord(first_normal + i, i % tag_modulus));
  for (uint32_t i = 0; i < reserved; ++i, dest += kFsEntryBytes)
    PutLe32(dest, FsEntryWord(first_reserved + i, i % tag_modulus));
}

uint32_t FsHeaderBlocks(uint32_t block_main_bytes, uint64_t entry_count) {
  return static_cast<uint32_t>((block_main_bytes + kFsEntryBytes * entry_count + kFsHeaderFixedBytes - 1) / block_main_bytes);
}

bool CheckFsImage(const NandGeometry& g, ByteSpan image, std::string* why) {
  if (image.size() < kFsHeaderFixedBytes)
    return Fail(why, "image of %zu bytes is shorter than its 48-byte header", image.size());
  const uint8_t* h = image.data();
  if (!CheckFsGeometry(g, h, why)) return false;
  const FsHeaderView v(h);
  const uint64_t header_blocks = v.HeaderBlocks();
  const uint64_t data_blocks = v.DataBlockCount();
  const uint64_t reserved = v.ReservedCount();
  if (data_blocks == 0) return Fail(why, "image has no data blocks");
  if (kFsHeaderFixedBytes + kFsEntryBytes * (data_blocks + reserved) > header_blocks * g.blockBytes)
    return Fail(why, "%llu entry words reach past the %llu header blocks",
                static_cast<unsigned long long>(data_blocks + reserved),
                static_cast<unsigned long long>(header_blocks));
  // Compared in blocks so that no product can wrap.
  if (header_blocks + 1 + data_blocks > image.size() / g.blockBytes)
    return Fail(why, "image of %zu bytes is shorter than its %llu header, 1 info and %llu data blocks",
                image.size(), static_cast<unsigned long long>(header_blocks),
                static_cast<unsigned long long>(data_blocks));
  const uint64_t pool_first = v.PoolFirstIndex();
  if (pool_first + reserved > data_blocks + reserved)
    return Fail(why, "reserved pool (indices %llu to %llu) runs past the %llu-entry block table",
                static_cast<unsigned long long>(pool_first),
                static_cast<unsigned long long>(pool_first + reserved - 1),
                static_cast<unsigned long long>(data_blocks + reserved));
  // The writer ends with 4056 when the info block holds no record, and
  // writes only images whose record has version 5.2.0.
  uint64_t rec = 0;
  if (!FindInfoRecordRaw(g, image, header_blocks * g.blockBytes, &rec))
    return Fail(why, "no info record in its info block");
  if (!FsInfoRecordView(&image[rec]).IsVersionSupported()) return true;
  std::string what;
  if (!CheckFsWriteLayout(image, g.blockMainBytes, &image[rec], &what)) return Fail(why, "%s", what.c_str());
  return true;
}

bool SplitFsSection(const NandGeometry& g, const SectionRecord& rec, int32_t index, ByteSpan file,
                    ImageStore* store, std::string* why, const ReleaseCopied& release) {
  std::string what;
  const uint64_t s = rec.startBlock * g.blockBytes;
  if (!RangeInFile(s, kFsHeaderFixedBytes, file.size()))
    return FailFs(why, index, "header lies outside the file");
  uint8_t packaged[kFsHeaderFixedBytes];
  std::memcpy(packaged, &file[s], sizeof packaged);
  if (!CheckFsGeometry(g, packaged, &what)) return FailFs(why, index, what);
  const FsHeaderView pv(packaged);
  const uint32_t tag_modulus = pv.TagModulus();
  if (tag_modulus == 0) return FailFs(why, index, "tagModulus is 0");
  const uint32_t reserved = pv.ReservedCount();
  const uint64_t info_blocks = (pv.CountersEnd() + uint64_t{g.blockMainBytes} - 1) / g.blockMainBytes;

  const uint64_t info_rel = uint64_t{pv.HeaderBlocks()} * g.blockBytes;
  uint64_t rec_pos = 0;
  if (!RangeInFile(s, info_rel, file.size()) || !FindInfoRecordRaw(g, file, s + info_rel, &rec_pos))
    return FailFs(why, index, "no info record in its info block");
  const uint64_t info = s + info_rel;
  if (!RangeInFile(info, info_blocks * g.blockBytes, file.size()))
    return FailFs(why, index, "info blocks run past the end of the file");
  uint8_t record[kFsInfoRecordSize];
  std::memcpy(record, &file[rec_pos], sizeof record);

  // The reserved words name blocks from infoAreaStart on; they must stay
  // inside the 32-bit flash address space the writer erases in.
  const FsInfoRecordView rv(record);
  const uint64_t first_reserved = rv.AreaStart() / g.blockMainBytes;
  if (reserved && (first_reserved + reserved) * g.blockMainBytes > (uint64_t{1} << 32))
    return FailFs(why, index, Reason("%u reserved blocks from infoAreaStart run past 4 GiB", reserved));

  const uint32_t start0 = rv.RegionStart(0);
  uint32_t previous = start0;
  for (uint32_t r = 0; r < kInfoMaxRegions; ++r) {
    const uint32_t start = rv.RegionStart(r);
    const uint32_t length = rv.RegionLength(r);
    if (length == 0) break;
    if (start < previous)
      return FailFs(why, index,
                    Reason("region %u starts at 0x%08X, below region %u's 0x%08X", r, start, r - 1,
                           previous));
    previous = start;
    const uint32_t n = length / g.blockMainBytes;
    if (n == 0)
      return FailFs(why, index, Reason("region %u of %u bytes holds no whole block", r, length));
    if (std::count_if(store->begin(), store->end(), IsFsImage) >= kFsSlotCount)
      return FailFs(why, index, Reason("region %u would be a fifth FS image", r));
    const uint64_t data_rel = (info_blocks + (start - start0) / g.blockMainBytes) * g.blockBytes;
    if (!RangeInFile(info, data_rel, file.size()) ||
        !RangeInFile(info + data_rel, n * g.blockBytes, file.size()))
      return FailFs(why, index, Reason("region %u's %u data blocks run past the end of the file", r, n));

    const uint64_t entries = uint64_t{n} + reserved;
    const uint32_t header_blocks = FsHeaderBlocks(g.blockMainBytes, entries);
    ImageRecord image;
    image.type = kImageFs;
    image.section = index;
    image.region = static_cast<int32_t>(r);
    // Header units filled here; the info and data blocks appended from the
    // file behind them, each byte written once.
    image.bytes.reserve((header_blocks + info_blocks + n) * g.blockBytes);
    image.bytes.assign(header_blocks * g.blockBytes, 0xFF);
    uint8_t* h = image.bytes.data();
    std::memcpy(h, packaged, sizeof packaged);
    PutLe32(h + kFsHeaderBlocks, header_blocks);
    PutLe32(h + kFsEntryCount, static_cast<uint32_t>(entries));
    PutLe32(h + kFsDataBlockCount, n);
    PutLe32(h + kFsPoolFirstIndex, n);
    PutLe32(h + kFsBlocksPerTag, n / tag_modulus);
    WriteEntryWords(h + kFsHeaderFixedBytes, start / g.blockMainBytes, n,
                    static_cast<uint32_t>(first_reserved), reserved, tag_modulus);
    AppendFileBytes(file, info, info_blocks * g.blockBytes, &image.bytes, release);
    AppendFileBytes(file, info + data_rel, n * g.blockBytes, &image.bytes, release);
    // Holds by construction; kept as the last guard before the writer.
    if (!CheckFsImage(g, image.bytes, &what)) return FailFs(why, index, what);
    store->push_back(std::move(image));
  }
  return true;
}

bool AddFsSection(const NandGeometry& g, const SectionRecord& rec, int32_t index, ByteSpan file,
                  ImageStore* store, std::string* why, const ReleaseCopied& release) {
  const uint64_t s = rec.startBlock * g.blockBytes;
  if (IsMultiRegionFs(g, file, s)) return SplitFsSection(g, rec, index, file, store, why, release);
  const uint64_t length = rec.blockCount * g.blockBytes;
  if (!RangeInFile(s, length, file.size()))
    return FailFs(why, index, Reason("blocks %u..+%u lie outside the file", rec.startBlock, rec.blockCount));
  std::string what;
  if (!CheckFsImage(g, file.subspan(s, length), &what)) return FailFs(why, index, what);
  if (std::count_if(store->begin(), store->end(), IsFsImage) >= kFsSlotCount)
    return FailFs(why, index, "would be a fifth FS image");
  ImageRecord image;
  image.type = kImageFs;
  image.section = index;
  image.bytes.reserve(length);
  AppendFileBytes(file, s, length, &image.bytes, release);
  store->push_back(std::move(image));
  return true;
}

}  // namespace vantrel
