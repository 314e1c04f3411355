// The loader's individual steps on hand-made bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "images/package_format.h"
#include "link/byte_order.h"

namespace vantrel::testing {
namespace {

using Bytes = std::vector<uint8_t>;

NandGeometry Small() { return MakeNandGeometry({512, 16}); }
NandGeometry Large() { return MakeNandGeometry({2048, 128}); }

TEST(Geometry, BothPackageGeometries) {
  NandGeometry s = Small();
  EXPECT_EQ(s.spareSize, 16u);
  EXPECT_EQ(s.pages(), 32u);
  EXPECT_EQ(s.blockBytes, 16896u);
  NandGeometry l = Large();
  EXPECT_EQ(l.spareSize, 64u);
  EXPECT_EQ(l.pages(), 64u);
  EXPECT_EQ(l.blockBytes, 135168u);
  EXPECT_TRUE(CheckNandGeometry(s, nullptr));
  EXPECT_TRUE(CheckNandGeometry(l, nullptr));
}

TEST(Geometry, RefusesSizesTheFormatCannotUse) {
  std::string why;
  EXPECT_FALSE(CheckNandGeometry(MakeNandGeometry({0, 16}), &why));
  EXPECT_NE(why.find("page size is 0"), std::string::npos);
  EXPECT_FALSE(CheckNandGeometry(MakeNandGeometry({512, 0}), &why));
  EXPECT_NE(why.find("block size is 0"), std::string::npos);
  EXPECT_FALSE(CheckNandGeometry(MakeNandGeometry({4096, 2}), &why));  // page larger than block
  // 2 x 512 + 324 bytes of image list do not fit in a 1 KiB block.
  EXPECT_FALSE(CheckNandGeometry(MakeNandGeometry({512, 1}), &why));
  EXPECT_NE(why.find("image list"), std::string::npos);
  // One-byte pages with 64 spare bytes: a block would take over 4 GiB.
  EXPECT_FALSE(CheckNandGeometry(MakeNandGeometry({1, 65535}), &why));
}

TEST(MainData, SkipsSpareBytesBetweenPages) {
  const NandGeometry g = Small();
  Bytes file(3 * g.blockBytes);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  const uint64_t start = g.blockBytes;
  Bytes out(1000);
  ASSERT_TRUE(CopyMainData(g, file, start, 1000, out.data()));
  EXPECT_EQ(0, std::memcmp(out.data(), &file[start], 512));
  EXPECT_EQ(0, std::memcmp(out.data() + 512, &file[start + 528], 488));  // 528 .. 1015

  // From a main-data offset: the bootloader at 512 is page 1.
  ASSERT_TRUE(CopyMainDataAt(g, file, start, 512, 600, out.data()));
  EXPECT_EQ(0, std::memcmp(out.data(), &file[start + 528], 512));
  EXPECT_EQ(0, std::memcmp(out.data() + 512, &file[start + 1056], 88));
}

TEST(MainData, RefusesBytesPastTheFile) {
  const NandGeometry g = Small();
  Bytes file(g.blockBytes, 0xAB);
  Bytes out(g.blockMainBytes + 1, 0);
  EXPECT_TRUE(CopyMainData(g, file, 0, g.blockMainBytes, out.data()));
  EXPECT_FALSE(CopyMainData(g, file, 0, g.blockMainBytes + 1, out.data()));
  // The last page's spare bytes are not needed for its main data.
  Bytes no_last_spare(g.blockBytes - g.spareSize, 0xAB);
  EXPECT_TRUE(CopyMainData(g, no_last_spare, 0, g.blockMainBytes, out.data()));
  EXPECT_FALSE(CopyMainData(g, file, g.blockBytes + 1, 1, out.data()));
  EXPECT_FALSE(CopyMainDataAt(g, file, 0, uint64_t{1} << 40, 16, out.data()));
}

TEST(ImageList, EntryOffsetsSkipFourBytesAfterTheNinth) {
  EXPECT_EQ(ImageListEntryOffset(1), 16u);
  EXPECT_EQ(ImageListEntryOffset(9), 144u);
  EXPECT_EQ(ImageListEntryOffset(10), 164u);
  EXPECT_EQ(ImageListEntryOffset(19), 308u);  // its 16 bytes end at 324
}

TEST(SectionTable, StopsAtTheFirstAllOnesRecord) {
  Bytes file(32 + 16 * 4, 0);
  PutLe16(&file[0], 2048);
  PutLe16(&file[2], 128);
  for (int r = 0; r < 2; ++r) {
    PutLe32(&file[32 + 16 * r], 10 + r);
    PutLe32(&file[32 + 16 * r + 4], 3);
    file[32 + 16 * r + 11] = static_cast<uint8_t>(4 + r);
  }
  std::memset(&file[32 + 32], 0xFF, 16);
  std::memset(&file[32 + 48], 0xFF, 15);  // not all ones: would be a record
  PackageHeader h;
  std::vector<SectionRecord> recs;
  ASSERT_TRUE(ReadSectionTable(file, &h, &recs, nullptr));
  EXPECT_EQ(h.pageSize, 2048);
  EXPECT_EQ(h.blockKiB, 128);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[1].startBlock, 11u);
  EXPECT_EQ(recs[1].blockCount, 3u);
  EXPECT_EQ(recs[1].type, 5);

  std::string why;
  file.resize(32 + 32 + 15);  // terminator cut short
  EXPECT_FALSE(ReadSectionTable(file, &h, &recs, &why));
  EXPECT_NE(why.find("no terminator"), std::string::npos);
  file.resize(20);
  EXPECT_FALSE(ReadSectionTable(file, &h, &recs, &why));
  EXPECT_NE(why.find("header"), std::string::npos);
}

TEST(EntryWords, RegionStartAndTagModulus) {
  // Region start 0x01800000 with 16 KiB blocks is block 0x600.
  Bytes words(4 * 8);
  WriteEntryWords(words.data(), 0x01800000 / 16384, 6, 0x2000, 2, 4);
  const uint32_t want[] = {0x00060000, 0x00060101, 0x00060202, 0x00060303, 0x00060400, 0x00060501,
                           0x00200000, 0x00200101};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(GetLe32(&words[4 * i]), want[i]) << i;
}

// One 2048-byte-page block whose pages `marked` carry the info marker, with
// page p's main data filled with p.
Bytes InfoBlock(const NandGeometry& g, std::initializer_list<uint32_t> marked) {
  Bytes b(g.blockBytes, 0xFF);
  for (uint32_t p = 0; p < g.pages(); ++p)
    std::memset(&b[uint64_t{p} * g.rawPageBytes()], static_cast<int>(p), g.pageSize);
  for (uint32_t p : marked) {
    b[uint64_t{p} * g.rawPageBytes() + g.pageSize + 2] = 0x0F;
    b[uint64_t{p} * g.rawPageBytes() + g.pageSize + 3] = 0x0D;
  }
  return b;
}

TEST(InfoRecordRaw, HighestMarkedPageHoldsTheRecord) {
  const NandGeometry g = Large();
  Bytes b = InfoBlock(g, {0, 5});
  uint64_t rec = 0;
  ASSERT_TRUE(FindInfoRecordRaw(g, b, 0, &rec));
  EXPECT_EQ(rec, 5 * g.rawPageBytes() + 2048 - 512);
  EXPECT_EQ(b[rec], 5);

  Bytes none = InfoBlock(g, {});
  EXPECT_FALSE(FindInfoRecordRaw(g, none, 0, &rec));
  // A block that does not lie wholly in the file is not searched.
  Bytes cut(b.begin(), b.end() - 1);
  EXPECT_FALSE(FindInfoRecordRaw(g, cut, 0, &rec));

  const NandGeometry s = Small();
  Bytes small = InfoBlock(s, {31});
  ASSERT_TRUE(FindInfoRecordRaw(s, small, 0, &rec));
  EXPECT_EQ(rec, 31 * s.rawPageBytes());  // with 512-byte pages the whole page
}

// A multi-region FS section at file offset 0: packaged header, info block one
// block on, then the data blocks of `regions` (start, length) pairs.
Bytes FsSection(const NandGeometry& g, uint32_t tag_modulus, uint32_t reserved,
                std::vector<std::pair<uint32_t, uint32_t>> regions, const uint8_t version[3]) {
  uint64_t span = 0;
  for (auto [start, length] : regions)
    span = std::max<uint64_t>(span, (start - regions[0].first) / g.blockMainBytes + length / g.blockMainBytes);
  Bytes s((2 + span) * g.blockBytes, 0xFF);
  PutLe32(&s[0], 1);
  PutLe32(&s[4], tag_modulus);
  PutLe32(&s[16], reserved);
  PutLe32(&s[28], 64);
  PutLe16(&s[32], static_cast<uint16_t>(g.pageSize));
  PutLe16(&s[34], static_cast<uint16_t>(g.blockMainBytes / 1024));
  const uint64_t info = g.blockBytes;
  const uint64_t last = info + uint64_t{g.pages() - 1} * g.rawPageBytes();
  s[last + g.pageSize + 2] = 0x0F;
  s[last + g.pageSize + 3] = 0x0D;
  uint8_t* rec = &s[last + g.pageSize - 512];
  std::memset(rec, 0, 512);
  PutLe32(rec + kInfoAreaStart, 0x08000000);
  PutLe32(rec + kInfoAreaLength, reserved * g.blockMainBytes);
  for (std::size_t r = 0; r < regions.size(); ++r) {
    PutLe32(rec + kInfoRegionStart + 8 * r, regions[r].first);
    PutLe32(rec + kInfoRegionLength + 8 * r, regions[r].second);
  }
  std::memcpy(rec + kInfoVersion, version, 3);
  for (uint64_t b = 0; b < span; ++b) PutLe32(&s[(2 + b) * g.blockBytes], static_cast<uint32_t>(b));
  return s;
}

constexpr uint8_t kV520[3] = {5, 2, 0};

TEST(SplitFs, HeaderWordsPerRegion) {
  // blockMainBytes 16384, reservedCount 40: n = 1000 needs one header block,
  // n = 5000 needs two.
  const NandGeometry g = Small();
  for (auto [n, want_header] : {std::pair{1000u, 1u}, std::pair{5000u, 2u}}) {
    Bytes file = FsSection(g, 4, 40, {{0x01800000, n * 16384 + 100}}, kV520);
    ASSERT_TRUE(IsMultiRegionFs(g, file, 0));
    ImageStore store;
    std::string why;
    ASSERT_TRUE(SplitFsSection(g, {0, 0, 10}, 3, file, &store, &why)) << why;
    ASSERT_EQ(store.size(), 1u);
    const Bytes& im = store[0].bytes;
    EXPECT_EQ(GetLe32(&im[kFsHeaderBlocks]), want_header);
    EXPECT_EQ(GetLe32(&im[kFsEntryCount]), n + 40);
    EXPECT_EQ(GetLe32(&im[kFsDataBlockCount]), n);
    EXPECT_EQ(GetLe32(&im[kFsPoolFirstIndex]), n);
    EXPECT_EQ(GetLe32(&im[kFsBlocksPerTag]), n / 4);
    EXPECT_EQ(GetLe32(&im[kFsReservedCount]), 40u);
    EXPECT_EQ(GetLe32(&im[kFsCountersEnd]), 64u);
    EXPECT_EQ(im.size(), (want_header + 1 + n) * g.blockBytes);
    EXPECT_EQ(GetLe32(&im[48]), 0x00060000u);
    EXPECT_EQ(GetLe32(&im[48 + 4 * 5]), 0x00060501u);
    // The reserved words follow the normal ones, from infoAreaStart's block.
    EXPECT_EQ(GetLe32(&im[48 + 4 * n]), (0x08000000u / 16384) << 8);
    EXPECT_EQ(GetLe32(&im[48 + 4 * (n + 39)]), ((0x08000000u / 16384 + 39) << 8) | 3);
    // Info block, then data block i carries its index.
    EXPECT_EQ(0, std::memcmp(&im[want_header * g.blockBytes], &file[g.blockBytes], g.blockBytes));
    EXPECT_EQ(GetLe32(&im[(want_header + 1 + n - 1) * g.blockBytes]), n - 1);
  }
}

TEST(SplitFs, RegionsStartWhereTheirAddressesSay) {
  const NandGeometry g = Small();
  const uint32_t b = g.blockMainBytes;
  Bytes file = FsSection(g, 2, 4, {{0x01800000, 2 * b}, {0x01800000 + 5 * b, 3 * b}, {0x01800000 + 5 * b, b}}, kV520);
  ImageStore store;
  std::string why;
  ASSERT_TRUE(SplitFsSection(g, {0, 0, 10}, 3, file, &store, &why)) << why;
  ASSERT_EQ(store.size(), 3u);
  EXPECT_EQ(store[1].region, 1);
  EXPECT_EQ(GetLe32(&store[1].bytes[kFsDataBlockCount]), 3u);
  EXPECT_EQ(GetLe32(&store[1].bytes[2 * g.blockBytes]), 5u);  // data block 0 of region 1
  EXPECT_EQ(GetLe32(&store[1].bytes[48]), ((0x01800000u / b + 5) << 8) | 0);
  EXPECT_EQ(GetLe32(&store[2].bytes[2 * g.blockBytes]), 5u);
}

TEST(SplitFs, OtherVersionIsNotMultiRegion) {
  const NandGeometry g = Small();
  const uint8_t v521[3] = {5, 2, 1};
  Bytes file = FsSection(g, 4, 4, {{0x01800000, 16384}}, v521);
  EXPECT_FALSE(IsMultiRegionFs(g, file, 0));
  // A header word that puts the info block past the file is no FS section.
  Bytes bad = FsSection(g, 4, 4, {{0x01800000, 16384}}, kV520);
  PutLe32(&bad[0], 0xFFFFFFFF);
  EXPECT_FALSE(IsMultiRegionFs(g, bad, 0));
}

TEST(FsImageCheck, RefusesWhatTheWriterCannotHandle) {
  const NandGeometry g = Small();
  Bytes im(3 * g.blockBytes, 0xFF);
  im[g.blockBytes + g.pageSize + 2] = 0x0F;  // an info record (of no version the writer writes)
  im[g.blockBytes + g.pageSize + 3] = 0x0D;
  auto set = [&](uint32_t hb, uint32_t n, uint32_t r, uint32_t counters_end) {
    PutLe32(&im[kFsHeaderBlocks], hb);
    PutLe32(&im[kFsDataBlockCount], n);
    PutLe32(&im[kFsReservedCount], r);
    PutLe32(&im[kFsPoolFirstIndex], n);
    PutLe32(&im[kFsCountersEnd], counters_end);
    PutLe16(&im[kFsPageSize], 512);
    PutLe16(&im[kFsBlockKiB], 16);
  };
  std::string why;
  set(1, 1, 10, 64);
  EXPECT_TRUE(CheckFsImage(g, im, &why)) << why;
  set(1, 2, 10, 64);  // needs 4 blocks, has 3
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  EXPECT_NE(why.find("shorter"), std::string::npos);
  set(1, 1, 4300, 64);  // 48 + 4 x 4301 bytes reach past one header block
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  EXPECT_NE(why.find("entry words"), std::string::npos);
  set(1, 1, 10, 16385);  // counters beyond one block's main data
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  EXPECT_NE(why.find("countersEnd"), std::string::npos);
  set(1, 1, 10, 8);  // counters would start before the block
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  set(0xFFFFFFFF, 0xFFFFFFFF, 0, 64);  // block counts that would wrap
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  set(1, 1, 10, 64);
  PutLe16(&im[kFsPageSize], 2048);  // another geometry than the package's
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  EXPECT_NE(why.find("geometry"), std::string::npos);
  set(1, 1, 10, 64);
  im[g.blockBytes + g.pageSize + 2] = 0xFF;
  EXPECT_FALSE(CheckFsImage(g, im, &why));
  EXPECT_NE(why.find("no info record"), std::string::npos);
}

}  // namespace
}  // namespace vantrel::testing
