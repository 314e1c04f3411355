// Package header, section table, main-data extraction, boot images and the
// listed images. Every range is checked against the file before it is read.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "images/package_format.h"
#include "link/byte_order.h"

namespace vantrel {

namespace {
std::string FormatV(const char* format, va_list args) {
  char buf[320];
  std::vsnprintf(buf, sizeof buf, format, args);
  return buf;
}
}  // namespace

bool Fail(std::string* why, const char* format, ...) {
  if (why) {
    va_list args;
    va_start(args, format);
    *why = FormatV(format, args);
    va_end(args);
  }
  return false;
}

std::string Reason(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

bool ReadSectionTable(ByteSpan file, PackageHeader* header, std::vector<SectionRecord>* records,
                      std::string* why) {
  records->clear();
  if (file.size() < kPackageHeaderBytes)
    return Fail(why, "file of %zu bytes is shorter than the 32-byte package header", file.size());
  header->pageSize = GetLe16(&file[kPackagePageSize]);
  header->blockKiB = GetLe16(&file[kPackageBlockKiB]);
  for (uint64_t off = kPackageHeaderBytes; off + kSectionRecordBytes <= file.size();
       off += kSectionRecordBytes) {
    const uint8_t* r = &file[off];
    if (std::all_of(r, r + kSectionRecordBytes, [](uint8_t b) { return b == kSectionTableEnd; }))
      return true;
    records->push_back({GetLe32(r + kSectionStartBlock), GetLe32(r + kSectionBlockCount), r[kSectionType]});
  }
  return Fail(why, "section table has no terminator inside the file (%zu records read)",
              records->size());
}

NandGeometry MakeNandGeometry(const PackageHeader& header) {
  NandGeometry g;
  g.pageSize = header.pageSize;
  g.spareSize = header.pageSize == 512 ? 16 : 64;
  g.blockMainBytes = uint32_t{header.blockKiB} * 1024;
  g.blockBytes = g.pageSize ? uint64_t{g.blockMainBytes / g.pageSize} * (g.pageSize + g.spareSize) : 0;
  return g;
}

bool CheckNandGeometry(const NandGeometry& g, std::string* why) {
  if (g.pageSize == 0) return Fail(why, "package header: page size is 0");
  if (g.blockMainBytes == 0) return Fail(why, "package header: block size is 0");
  if (g.pages() == 0)
    return Fail(why, "package header: page size %u exceeds the block's %u bytes", g.pageSize,
                g.blockMainBytes);
  if (g.blockBytes > UINT32_MAX)
    return Fail(why, "package header: a block of %u-byte pages takes over 4 GiB in the file",
                g.pageSize);
  if (ImageListMainOffset(g.pageSize) + kImageListBytes > g.blockMainBytes)
    return Fail(why, "image list (at %u, 324 bytes) does not fit in a block's %u bytes of main data",
                2 * g.pageSize, g.blockMainBytes);
  return true;
}

uint64_t RawEnd(const NandGeometry& g, uint64_t main_end) {
  return main_end == 0 ? 0 : RawOffset(g, main_end - 1) + 1;
}

void AppendFileBytes(ByteSpan file, uint64_t pos, uint64_t n, std::vector<uint8_t>* dest,
                     const ReleaseCopied& release) {
  while (n) {
    const uint64_t step = std::min(n, kReleaseStep);
    dest->insert(dest->end(), file.begin() + pos, file.begin() + pos + step);
    if (release) release(pos, step);
    pos += step;
    n -= step;
  }
}

bool CopyMainDataAt(const NandGeometry& g, ByteSpan file, uint64_t pos, uint64_t main_offset,
                    uint64_t n, uint8_t* dest, const ReleaseCopied& release) {
  if (n == 0) return true;
  if (g.pageSize == 0) return false;
  // Callers pass offsets and lengths built from 32-bit fields, so this sum
  // and RawEnd stay far below 2^64.
  if (!RangeInFile(pos, RawEnd(g, main_offset + n), file.size())) return false;
  uint64_t page = main_offset / g.pageSize;
  uint64_t in_page = main_offset % g.pageSize;
  uint64_t unreleased = pos + RawOffset(g, main_offset);  // first raw byte not yet released
  while (n) {
    uint64_t chunk = std::min<uint64_t>(g.pageSize - in_page, n);
    const uint64_t at = pos + page * g.rawPageBytes() + in_page;
    std::memcpy(dest, &file[at], chunk);
    dest += chunk;
    n -= chunk;
    ++page;
    in_page = 0;
    if (release && (n == 0 || at + chunk - unreleased >= kReleaseStep)) {
      release(unreleased, at + chunk - unreleased);
      unreleased = at + chunk;
    }
  }
  return true;
}

bool ExtractBootImages(const NandGeometry& g, const SectionRecord& rec0, const SectionRecord& rec1,
                       ByteSpan file, ImageStore* store, std::string* why,
                       const ReleaseCopied& release) {
  const uint64_t pos0 = rec0.startBlock * g.blockBytes;
  const uint64_t region_main = uint64_t{rec0.blockCount} * g.blockMainBytes;
  if (!RangeInFile(pos0, rec0.blockCount * g.blockBytes, file.size()))
    return Fail(why, "section 0 (bootloader region): blocks %u..+%u lie outside the file",
                rec0.startBlock, rec0.blockCount);
  if (region_main < kBootRegionLengthWord + 4)
    return Fail(why, "section 0 (bootloader region): too small for its header");
  uint8_t word[4];
  CopyMainDataAt(g, file, pos0, kBootRegionLengthWord, 4, word);
  const uint32_t header_word = GetLe32(word);
  if (header_word < kBootRegionTrailerBytes)
    return Fail(why, "section 0 (bootloader region): header word %u is below 128", header_word);
  const uint64_t l0 = header_word - kBootRegionTrailerBytes;
  if (l0 == 0) return Fail(why, "section 0 (bootloader region): the bootloader is empty");
  if (kBootRegionImage + l0 + kBootRegionTrailerBytes > region_main)
    return Fail(why,
                "section 0 (bootloader region): bootloader of %llu bytes and its trailer end past "
                "the region's %llu bytes of main data",
                static_cast<unsigned long long>(l0), static_cast<unsigned long long>(region_main));
  uint8_t trailer[kBootRegionTrailerBytes];
  CopyMainDataAt(g, file, pos0, kBootRegionImage + l0, sizeof trailer, trailer);
  // An extended bootloader of length 0 is a package without one: its write
  // sends no packets, and record 1's position is not read.
  const uint32_t l1 = GetLe32(trailer + kBootTrailerExtLength);
  const uint64_t pos1 = rec1.startBlock * g.blockBytes;
  if (l1 != 0 && !RangeInFile(pos1, RawEnd(g, l1), file.size()))
    return Fail(why, "section 1 (extended bootloader): %u bytes from block %u run past the file",
                l1, rec1.startBlock);

  std::vector<uint8_t>& boot = (*store)[0].bytes;
  boot.resize(l0);
  CopyMainDataAt(g, file, pos0, kBootRegionImage, l0, boot.data(), release);
  std::vector<uint8_t>& ext = (*store)[1].bytes;
  ext.resize(l1);
  CopyMainData(g, file, pos1, l1, ext.data(), release);
  return true;
}

bool ReadImageList(const NandGeometry& g, const SectionRecord& rec2, ByteSpan file,
                   uint8_t list[kImageListBytes], std::string* why) {
  const uint64_t pos = rec2.startBlock * g.blockBytes;
  if (!RangeInFile(pos, g.blockBytes, file.size()))
    return Fail(why, "section 2 (image list): block %u lies outside the file", rec2.startBlock);
  // Only the list itself is copied; it lies inside the block's main data
  // (CheckNandGeometry), and the whole block is inside the file.
  CopyMainDataAt(g, file, pos, ImageListMainOffset(g.pageSize), kImageListBytes, list);
  return true;
}

uint32_t ImageListEntryOffset(uint32_t k) {
  return k <= 9 ? 16 + 16 * (k - 1) : 20 + 16 * (k - 1);
}

bool AddListedImage(const NandGeometry& g, const SectionRecord& rec, int32_t index,
                    const uint8_t* entry, uint64_t section_end, ByteSpan file, ImageStore* store,
                    std::string* why, const ReleaseCopied& release) {
  const uint32_t length = GetLe32(entry + kListEntryLength);
  const uint64_t pos = rec.startBlock * g.blockBytes;
  if (length == 0) return Fail(why, "section %d (type %u): listed image is empty", index, rec.type);
  if (pos >= section_end || RawEnd(g, length) > section_end - pos)
    return Fail(why,
                "section %d (type %u): listed image of %u bytes is longer than its section "
                "(block %u, %llu file bytes to the next section or the end of the file)",
                index, rec.type, length, rec.startBlock,
                static_cast<unsigned long long>(pos < section_end ? section_end - pos : 0));
  ImageRecord image;
  image.type = rec.type;
  image.section = index;
  image.bytes.resize(length);
  CopyMainData(g, file, pos, length, image.bytes.data(), release);
  store->push_back(std::move(image));
  return true;
}

}  // namespace vantrel
