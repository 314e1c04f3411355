#include "nand/fs_format.h"

#include <gtest/gtest.h>

#include <vector>

#include "fs_fixture.h"
#include "link/byte_order.h"

namespace vantrel::testing {
namespace {

using testing::ImageSpec;
using testing::StandardImage;

FsHeaderStatus Parse(const std::vector<uint8_t>& image, FsImageHeader* h = nullptr) {
  FsImageHeader local;
  return ParseFsImageHeader(image, h ? h : &local);
}

TEST(FsImageHeader, DerivesGeometryAndLoadsTheTable) {
  EXPECT_EQ(SpareSizeFor(512), 16u);
  EXPECT_EQ(SpareSizeFor(2048), 64u);
  EXPECT_EQ(SpareSizeFor(4096), 4096u);
  for (auto [g, bytes, pages] : {std::tuple{testing::kSmall, 16896u, 32u},
                                 std::tuple{testing::kLarge, 135168u, 64u}}) {
    ImageSpec s = StandardImage(2, 3, 2, g);
    FsImageHeader h;
    ASSERT_EQ(Parse(s.Build(), &h), FsHeaderStatus::kOk);
    EXPECT_EQ(h.blockBytes, bytes);
    EXPECT_EQ(h.pagesPerBlock, pages);
    EXPECT_EQ(h.blockMainSize, pages * g.page);
    EXPECT_EQ(h.table.NormalCount(), 2u);
    EXPECT_EQ(h.table.BlockAt(1), s.FsStart() + 11);
    EXPECT_EQ(h.table.TagAt(3), 1u);  // reserved entry 1
  }
}

TEST(FsImageHeader, RefusesHeadersThatReachPastTheImage) {
  const ImageSpec good = StandardImage(3, 4);
  const std::vector<uint8_t> image = good.Build();
  EXPECT_EQ(Parse({image.begin(), image.begin() + 47}), FsHeaderStatus::kTooShortForHeader);
  EXPECT_EQ(Parse({image.begin(), image.end() - 1}), FsHeaderStatus::kImageTooShort);

  std::vector<uint8_t> bad = image;
  PutLe16(&bad[32], 0);
  EXPECT_EQ(Parse(bad), FsHeaderStatus::kBadPageSize);
  bad = image;
  PutLe16(&bad[32], 2048);
  PutLe16(&bad[34], 1);  // 1 KiB of 2 KiB pages: no page
  EXPECT_EQ(Parse(bad), FsHeaderStatus::kBadBlockSize);

  // Entry words filling the header unit exactly pass; one more word does not.
  ImageSpec full = good;
  full.reserved.resize((good.g.raw - 48) / 4 - full.normal.size(), 0);
  EXPECT_EQ(Parse(full.Build()), FsHeaderStatus::kOk);
  bad = full.Build();
  PutLe32(&bad[16], GetLe32(&bad[16]) + 1);
  EXPECT_EQ(Parse(bad), FsHeaderStatus::kEntriesPastHeader);
  bad = image;
  PutLe32(&bad[0], 0);
  EXPECT_EQ(Parse(bad), FsHeaderStatus::kEntriesPastHeader);

  bad = image;
  PutLe32(&bad[20], 4);  // pool 4..7 of a 7-entry table
  EXPECT_EQ(Parse(bad), FsHeaderStatus::kPoolOutsideTable);
}

TEST(FsImageHeader, CountersMustLieInOneBlocksMainData) {
  ImageSpec s = StandardImage(1, 1);
  for (auto [end, want] : {std::pair{16u, FsHeaderStatus::kOk}, {15u, FsHeaderStatus::kBadCountersEnd},
                           {s.g.main, FsHeaderStatus::kOk}, {s.g.main + 1, FsHeaderStatus::kBadCountersEnd}}) {
    std::vector<uint8_t> image = s.Build();
    PutLe32(&image[28], end);
    EXPECT_EQ(Parse(image), want) << end;
  }
}

TEST(FsInfoBlock, RecordComesFromTheHighestMarkedPage) {
  for (const testing::Geometry& g : {testing::kSmall, testing::kLarge}) {
    std::vector<uint8_t> raw(g.raw, 0xFF);
    const uint32_t stride = g.page + g.spare;
    for (uint32_t p : {0u, 5u}) {
      raw[p * stride + g.page + 2] = 0x0F;
      raw[p * stride + g.page + 3] = 0x0D;
      raw[p * stride + g.page - 512] = uint8_t(0x40 + p);  // first record byte of page p
    }
    ImageSpec s = StandardImage(1, 1, 1, g);
    FsImageHeader h;
    ASSERT_EQ(Parse(s.Build(), &h), FsHeaderStatus::kOk);
    FsInfoRecord r{};
    ASSERT_TRUE(FindInfoRecord(SplitBlockData(raw, g.page, g.spare, g.pages), h, &r));
    EXPECT_EQ(r[0], 0x45);
    EXPECT_FALSE(FindInfoRecord(SplitBlockData(std::vector<uint8_t>(g.raw, 0xFF), g.page, g.spare, g.pages), h, &r));
  }
}

TEST(FsInfoBlock, SplitSeparatesMainAndSpareAndCopiesShareBytes) {
  std::vector<uint8_t> raw(2 * 528);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i / 528 * 2 + (i % 528 >= 512));
  SplitBlock s = SplitBlockData(raw, 512, 16, 3);  // the third page is missing: left erased
  ASSERT_EQ(s.main->size(), 3 * 512u);
  ASSERT_EQ(s.spare->size(), 3 * 16u);
  EXPECT_EQ((*s.main)[511], 0);
  EXPECT_EQ((*s.main)[512], 2);
  EXPECT_EQ((*s.spare)[16], 3);
  EXPECT_EQ((*s.main)[1024], 0xFF);
  SplitBlock copy = s;
  (*copy.main)[0] = 9;
  EXPECT_EQ((*s.main)[0], 9);
}

TEST(FsInfoRecordCompare, VersionAndLayoutLookAtTheirOwnBytes) {
  FsInfoRecord a{};
  a[460] = 5, a[461] = 2;
  EXPECT_TRUE(IsVersionSupported(a));
  FsInfoRecord b = a;
  b[470] = 1;
  EXPECT_TRUE(IsSameVersion(a, b));
  EXPECT_TRUE(IsSameLayout(a, b));
  b[462] = 1;
  EXPECT_FALSE(IsSameVersion(a, b));
  EXPECT_FALSE(IsVersionSupported(b));
  for (size_t at : {388u, 392u, 396u, 451u, 452u, 459u}) {
    FsInfoRecord c = a;
    c[at] ^= 1;
    EXPECT_FALSE(IsSameLayout(a, c)) << at;
  }
}

TEST(FsBadBlockMark, OneFlippedBitIsTolerated) {
  std::vector<uint8_t> small(16896, 0xFF);
  EXPECT_FALSE(IsBadBlock(small, 512, 16));
  small[517] = 0xFE;
  EXPECT_FALSE(IsBadBlock(small, 512, 16));
  small[517] = 0xFC;
  EXPECT_TRUE(IsBadBlock(small, 512, 16));
  small[517] = 0xFF, small[1045] = 0x00;
  EXPECT_TRUE(IsBadBlock(small, 512, 16));

  std::vector<uint8_t> large(135168, 0xFF);
  large[2049] = 0x7F;
  EXPECT_FALSE(IsBadBlock(large, 2048, 64));
  large[2049] = 0x3F;
  EXPECT_TRUE(IsBadBlock(large, 2048, 64));
  large[2049] = 0xFF, large[4160] = 0x3F;
  EXPECT_TRUE(IsBadBlock(large, 2048, 64));
  EXPECT_FALSE(IsBadBlock(large, 4096, 4096));  // other page sizes are never bad
  // A buffer that ends before page 1's mark is read no further.
  EXPECT_FALSE(IsBadBlock(std::vector<uint8_t>(2112, 0xFF), 2048, 64));
}

TEST(FsPageHelpers, UsedPagesChecksumAndRuns) {
  std::vector<uint8_t> spare(32 * 16, 0xFF);
  spare[7 * 16 + 15] = 0xFE;
  EXPECT_EQ(UsedPages(spare, 16, 32), std::vector<uint32_t>{7});
  EXPECT_TRUE(UsedPages(std::vector<uint8_t>(32 * 16, 0xFF), 16, 32).empty());

  const uint8_t bytes[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(XorChecksum16(bytes), 0x0201);
  const uint8_t four[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(XorChecksum16(four), 0x0201 ^ 0x0403);

  const std::vector<uint32_t> blocks{500, 501, 501, 502, 700, 701, 0xFFFFFFFF};
  EXPECT_EQ(CoalesceRuns(blocks),
            (std::vector<BlockRun>{{500, 502}, {700, 701}, {0xFFFFFFFF, 0xFFFFFFFF}}));
  EXPECT_TRUE(CoalesceRuns({}).empty());
}

TEST(FsInfoBlockTables, RemapEntriesEndBeforeTheCounters) {
  std::vector<uint8_t> main(64, 0);
  InfoBlockTables t(main, 36);  // 10 remap entries, counters at 20..35
  EXPECT_EQ(t.RemapCapacity(), 10u);
  t.SetRemap(9, 0x1234);
  t.SetCounter(0, 0xABCD);
  EXPECT_EQ(GetLe16(&main[18]), 0x1234);
  EXPECT_EQ(GetLe16(&main[20]), 0xABCD);
  EXPECT_THROW(t.SetRemap(10, 1), std::out_of_range);
  EXPECT_THROW(t.Counter(8), std::out_of_range);
  EXPECT_THROW(InfoBlockTables(main, 65), std::out_of_range);
}

}  // namespace
}  // namespace vantrel::testing
