// Every reader of each record sees the same fields in what the package
// builder wrote: the ROM information record as the loader copies it, as the
// image-list command locates it and as it lies in the image; the FS header
// as the loader checks it and the FS writer parses it; the info record as
// the loader finds it in the package file and the FS writer in the image.
#include <gtest/gtest.h>

#include <cstring>

#include "images/fs_layout.h"
#include "images/package_format.h"
#include "images/records.h"
#include "images/rom_info.h"
#include "nand/fs_format.h"
#include "tests/pkg/pkg_test_util.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

struct Layout {
  uint32_t pageSize;
  bool multiRegion;
};

class RecordReaders : public ::testing::TestWithParam<Layout> {};

TEST_P(RecordReaders, AgreeOnTheBuildersFields) {
  pkg::SampleOptions o;
  o.pageSize = GetParam().pageSize;
  o.blockKiB = o.pageSize == 512 ? 16 : 128;
  o.multiRegion = GetParam().multiRegion;
  o.fsImages = 2;
  o.dataBlocks = 5;
  o.reservedCount = 12;
  o.tagModulus = 2;
  const pkg::BuiltPackage p = pkg::BuildSamplePackage(o);
  testing::Outputs out;
  std::string why;
  ASSERT_TRUE(out.Load(p.bytes, &why)) << why;

  // ROM information record.
  uint8_t copy[kRomInfoCopySize];
  ASSERT_EQ(ParseRomInfo(out.rom, copy), 0);
  uint32_t offset = 0, size = 0;
  ASSERT_TRUE(FindRomInfoRecord(out.rom, &offset, &size));
  EXPECT_EQ(offset, p.romInfoOffset);
  const RomInfoView in_copy(copy), in_image(out.rom.data + offset);
  ASSERT_GE(in_copy.RegionCount(), 2u);
  EXPECT_EQ(in_copy.RegionCount(), in_image.RegionCount());
  EXPECT_EQ(in_copy.RegionStart(1), p.fsRegionStart);
  EXPECT_EQ(in_copy.RegionLength(1), p.fsRegionLength);
  EXPECT_EQ(in_image.RegionStart(1), p.fsRegionStart);
  uint32_t start = 0, length = 0;
  ASSERT_TRUE(RomInfoFsRegion(copy, &start, &length));
  EXPECT_EQ(start, in_copy.RegionStart(in_copy.RegionCount() - 1));
  EXPECT_EQ(length, in_copy.RegionLength(in_copy.RegionCount() - 1));
  EXPECT_TRUE(in_copy.HasFsIdentifier());

  // FS header and info record, per image.
  NandGeometry g;
  g.pageSize = p.geometry.pageSize;
  g.spareSize = p.geometry.spareSize;
  g.blockMainBytes = p.geometry.blockMainBytes;
  g.blockBytes = p.geometry.blockBytes;
  ASSERT_EQ(p.fsImages.size(), 2u);
  for (size_t j = 0; j < p.fsImages.size(); ++j) {
    SCOPED_TRACE("FS image " + std::to_string(j));
    const std::span<const uint8_t> image(out.fs[j].data, out.fs[j].length);
    ASSERT_TRUE(CheckFsImage(g, image, &why)) << why;
    FsImageHeader h;
    ASSERT_EQ(ParseFsImageHeader(image, &h), FsHeaderStatus::kOk);
    const FsHeaderView v(image.data());
    EXPECT_EQ(h.dataBlockCount, o.dataBlocks);
    EXPECT_EQ(h.reservedCount, o.reservedCount);
    EXPECT_EQ(h.tagModulus, o.tagModulus);
    EXPECT_EQ(h.pageSize, o.pageSize);
    EXPECT_EQ(h.blockMainSize, p.geometry.blockMainBytes);
    EXPECT_EQ(h.spareSize, p.geometry.spareSize);
    EXPECT_EQ(v.DataBlockCount(), h.dataBlockCount);
    EXPECT_EQ(v.PoolFirstIndex(), h.poolFirstIndex);
    EXPECT_EQ(v.CountersEnd(), h.countersEnd);
    EXPECT_EQ(h.table.TagAt(0), 0u);
    EXPECT_EQ(h.table.TagAt(1), 1u) << "entry words carry block << 8 | tag";

    // The writer's record (in the loaded image's info block) and the
    // loader's (found raw in the image bytes) are the same 512 bytes.
    const SplitBlock info = SplitBlockData(image.subspan(h.InfoBlockOffset(), h.blockBytes), h.pageSize,
                                           h.spareSize, h.pagesPerBlock);
    FsInfoRecord record{};
    ASSERT_TRUE(FindInfoRecord(info, h, &record));
    uint64_t raw = 0;
    ASSERT_TRUE(FindInfoRecordRaw(g, image, h.InfoBlockOffset(), &raw));
    EXPECT_EQ(std::memcmp(record.data(), image.data() + raw, kFsInfoRecordSize), 0);
    const FsInfoRecordView rv(record.data());
    EXPECT_TRUE(rv.IsVersionSupported());
    EXPECT_EQ(InfoAreaStart(record), rv.AreaStart());
    // A split section's images are its regions, in order.
    const uint32_t region = o.multiRegion ? uint32_t(j) : 0;
    EXPECT_EQ(RecordRegionLength(record, region) / p.geometry.blockMainBytes, o.dataBlocks);
    EXPECT_EQ(h.table.BlockAt(0) * p.geometry.blockMainBytes, RecordRegionStart(record, region))
        << "the image's first data block is its region's first block";
  }
}

INSTANTIATE_TEST_SUITE_P(Packages, RecordReaders,
                         ::testing::Values(Layout{512, true}, Layout{512, false}, Layout{2048, true},
                                           Layout{2048, false}),
                         [](const auto& info) {
                           return std::to_string(info.param.pageSize) +
                                  (info.param.multiRegion ? "_MultiRegion" : "_Verbatim");
                         });

}  // namespace
}  // namespace vantrel::testing
