#pragma once
// The steps of the package loader, exposed for the inspector, the tests and
// the fuzzers. Every step is pure code over the file's bytes: it checks each
// range against the file before reading it, computes offsets from file fields
// in 64 bits, and on a broken limit returns false with a short reason naming
// the section and the limit.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "images/firmware.h"
#include "images/fs_layout.h"
#include "images/image_desc.h"

namespace vantrel {

using ByteSpan = std::span<const uint8_t>;

// The file's layout, for the loader here and for the package builder, which
// writes what these name. Little-endian throughout.
//
// Header: the page size and the block size in KiB; its other bytes are not read.
inline constexpr uint32_t kPackageHeaderBytes = 32;
inline constexpr uint32_t kPackagePageSize = 0;  // u16
inline constexpr uint32_t kPackageBlockKiB = 2;  // u16
// Section table: records from the end of the header on, up to one whose
// bytes are all kSectionTableEnd.
inline constexpr uint32_t kSectionRecordBytes = 16;
inline constexpr uint32_t kSectionStartBlock = 0;  // u32
inline constexpr uint32_t kSectionBlockCount = 4;  // u32
inline constexpr uint32_t kSectionType = 11;       // one byte
inline constexpr uint8_t kSectionTableEnd = 0xFF;
inline constexpr uint64_t SectionRecordOffset(uint64_t index) {
  return kPackageHeaderBytes + uint64_t{kSectionRecordBytes} * index;
}
// Header, `records` records and the terminator.
inline constexpr uint64_t SectionTableBytes(uint64_t records) { return SectionRecordOffset(records + 1); }
// Bootloader region, the main data of section 0: a u32 holding the
// bootloader's length plus its trailer's, the bootloader, then the trailer,
// which holds the extended bootloader's length. Its first 16 bytes are not read.
inline constexpr uint32_t kBootRegionLengthWord = 16;
inline constexpr uint32_t kBootRegionImage = 512;
inline constexpr uint32_t kBootRegionTrailerBytes = 128;
inline constexpr uint32_t kBootTrailerExtLength = 20;  // u32, in the trailer
// Image list, in section 2's block from its third page of main data on:
// entry k (ImageListEntryOffset) gives the k-th listed section, in table
// order, an address word and the length of its image.
inline constexpr uint32_t kImageListBytes = 324;
inline constexpr uint32_t kMaxListedImages = 19;
inline constexpr uint32_t kListEntryAddress = 0;  // u32
inline constexpr uint32_t kListEntryLength = 4;   // u32
inline constexpr uint64_t ImageListMainOffset(uint32_t page_size) { return 2ull * page_size; }

// Image and section types.
enum : int32_t {
  kImageBootloader = 0,
  kImageExtBootloader = 1,
  kImageRom = 4,
  kImageRom2 = 5,
  kImageListed = 8,
  kSectionSkipped = 9,
  kImageFs = 10,
};

// Types the loader refuses after the first three records; those it neither
// refuses nor lists (kSectionSkipped, 11 to 255) it skips.
inline constexpr bool IsRefusedSectionType(uint8_t type) {
  return type <= 7 && type != kImageRom && type != kImageRom2;
}

struct PackageHeader {
  uint16_t pageSize = 0;
  uint16_t blockKiB = 0;
};

struct NandGeometry {
  uint32_t pageSize = 0;
  uint32_t spareSize = 0;
  uint32_t blockMainBytes = 0;
  uint64_t blockBytes = 0;  // what one block takes in the file, spare included

  uint32_t pages() const { return pageSize ? blockMainBytes / pageSize : 0; }
  uint32_t rawPageBytes() const { return pageSize + spareSize; }
};

struct SectionRecord {
  uint32_t startBlock = 0;
  uint32_t blockCount = 0;
  uint8_t type = 0;
};

struct ImageRecord {
  int32_t type = 0;
  std::vector<uint8_t> bytes;  // main data; raw page-plus-spare blocks for FS images
  int32_t section = -1;        // index in the section table that produced it
  int32_t region = -1;         // FS region it was built from; -1 when copied as is
};
using ImageStore = std::vector<ImageRecord>;

// How far a load got; the inspector prints it even when the load fails.
struct PackageLayout {
  bool tableRead = false;
  PackageHeader header;
  NandGeometry geometry;
  std::vector<SectionRecord> sections;
};

// Told which file bytes a load has just copied into an image. A mapped file
// gives those pages back at once, so that a load holds the images it builds
// and only a few MiB of the file at a time; a later read of the same bytes
// maps them in again. Left empty for bytes that are only in memory.
using ReleaseCopied = std::function<void(uint64_t pos, uint64_t length)>;
// How much a bulk copy moves before it releases what it copied.
inline constexpr uint64_t kReleaseStep = uint64_t{4} << 20;

// Appends file bytes [pos, pos + n), which the caller has checked lie inside
// the file, to `dest`, releasing them behind the copy in steps.
void AppendFileBytes(ByteSpan file, uint64_t pos, uint64_t n, std::vector<uint8_t>* dest,
                     const ReleaseCopied& release);

// True when [pos, pos + len) lies inside a file of `size` bytes; written so
// that no sum can wrap.
inline bool RangeInFile(uint64_t pos, uint64_t len, uint64_t size) {
  return pos <= size && len <= size - pos;
}

// Formats a reason into *why (when given) and returns false, so that a check
// reads `if (bad) return Fail(why, "...", ...);`.
bool Fail(std::string* why, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string Reason(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Header and table; false when the header, a record or the terminator does
// not lie inside the file.
bool ReadSectionTable(ByteSpan file, PackageHeader* header, std::vector<SectionRecord>* records,
                      std::string* why);
NandGeometry MakeNandGeometry(const PackageHeader& header);
// Page and block size not 0, at least one page per block, a block of at most
// 4 GiB in the file (so block positions stay far from 64-bit overflow), and
// room for the image list in one block's main data.
bool CheckNandGeometry(const NandGeometry& g, std::string* why);

// File offset, from a section's start, of its main-data byte `main_offset`:
// the spare bytes of every page before it lie in between.
inline uint64_t RawOffset(const NandGeometry& g, uint64_t main_offset) {
  return main_offset / g.pageSize * g.rawPageBytes() + main_offset % g.pageSize;
}
// File bytes spanned by the main-data range [0, end) of a section: full pages
// with their spare bytes, and the last page only up to its last byte used.
uint64_t RawEnd(const NandGeometry& g, uint64_t main_end);
// Copies n main-data bytes that begin `main_offset` bytes into the main data
// of the section at file position `pos`. False, copying nothing, when the
// bytes do not all lie inside the file.
bool CopyMainDataAt(const NandGeometry& g, ByteSpan file, uint64_t pos, uint64_t main_offset,
                    uint64_t n, uint8_t* dest, const ReleaseCopied& release = {});
inline bool CopyMainData(const NandGeometry& g, ByteSpan file, uint64_t pos, uint64_t n,
                         uint8_t* dest, const ReleaseCopied& release = {}) {
  return CopyMainDataAt(g, file, pos, 0, n, dest, release);
}

// Fills store[0] (bootloader) and store[1] (extended bootloader).
bool ExtractBootImages(const NandGeometry& g, const SectionRecord& rec0, const SectionRecord& rec1,
                       ByteSpan file, ImageStore* store, std::string* why,
                       const ReleaseCopied& release = {});
bool ReadImageList(const NandGeometry& g, const SectionRecord& rec2, ByteSpan file,
                   uint8_t list[kImageListBytes], std::string* why);
// Offset of entry k (1 to 19) in the image list.
uint32_t ImageListEntryOffset(uint32_t k);
// Appends one listed image whose length is in `entry`; `section_end` is the
// file position where the next section begins (or the end of the file).
bool AddListedImage(const NandGeometry& g, const SectionRecord& rec, int32_t index,
                    const uint8_t* entry, uint64_t section_end, ByteSpan file, ImageStore* store,
                    std::string* why, const ReleaseCopied& release = {});

// FS sections.
bool FindInfoRecordRaw(const NandGeometry& g, ByteSpan file, uint64_t block_pos,
                       uint64_t* record_pos);
bool IsMultiRegionFs(const NandGeometry& g, ByteSpan file, uint64_t section_pos);
// Writes n normal words for blocks first_normal + i, then `reserved` words for
// blocks first_reserved + i, each tagged i mod tag_modulus, from dest[0] on.
void WriteEntryWords(uint8_t* dest, uint32_t first_normal, uint32_t n, uint32_t first_reserved,
                     uint32_t reserved, uint32_t tag_modulus);
// The header units one FS image needs for `entry_count` entry words.
uint32_t FsHeaderBlocks(uint32_t block_main_bytes, uint64_t entry_count);
// Checks an FS image against what the FS writer handles, so that no image
// that loads fails the writer's own checks: the geometry of the package,
// room for its entry words in the header units, one info block holding an
// info record, every data block inside the image, the reserved pool inside
// the block table, and for an image the writer writes (version 5.2.0) the
// block table of CheckFsWriteLayout.
bool CheckFsImage(const NandGeometry& g, ByteSpan image, std::string* why);
bool SplitFsSection(const NandGeometry& g, const SectionRecord& rec, int32_t index, ByteSpan file,
                    ImageStore* store, std::string* why, const ReleaseCopied& release = {});
bool AddFsSection(const NandGeometry& g, const SectionRecord& rec, int32_t index, ByteSpan file,
                  ImageStore* store, std::string* why, const ReleaseCopied& release = {});

// The whole first half of the load: a fresh store from the file's bytes.
bool BuildImageStore(ByteSpan file, ImageStore* store, std::string* why,
                     PackageLayout* layout = nullptr, const ReleaseCopied& release = {});

struct LoadOutputs {
  ImageDesc* bootloader;
  ImageDesc* extBootloader;
  ImageDesc* rom;
  ImageDesc* rom2;
  ImageDesc* fsSlots;  // kFsSlotCount
};
// Second half: points the outputs at the store's images.
void DistributeImages(const ImageStore& store, const LoadOutputs& out);

}  // namespace vantrel
