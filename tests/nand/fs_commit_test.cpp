// The info-block commit and the reserved-pool erase on their own.
#include <gtest/gtest.h>

#include <vector>

#include "fs_fixture.h"
#include "nand/fs_block_writer.h"
#include "nand/fs_write.h"

namespace vantrel::testing {
namespace {

using testing::FakeNand;

struct Pool {
  // Reserved tag-0 blocks 100, 101, 102 behind one data block at 10.
  explicit Pool(std::vector<uint32_t> reserved = {100 << 8, 101 << 8, 102 << 8}) {
    testing::ImageSpec s = testing::StandardImage(1, 0);
    s.normal = {10 << 8};
    s.reserved = std::move(reserved);
    image = s.Build();
    EXPECT_EQ(ParseFsImageHeader(image, &header), FsHeaderStatus::kOk);
    info = SplitBlockData(s.InfoBlockRaw(), s.g.page, s.g.spare, s.g.pages);
    m = header.table;
  }
  std::vector<uint8_t> image;
  FsImageHeader header;
  SplitBlock info;
  BlockMappingTable m;
  FakeNand nand{512, 16, 32};
};

TEST(CommitInfoBlock, WithoutAnOldBlockTakesTheLastAndErasesNothing) {
  Pool p;
  EXPECT_EQ(CommitInfoBlock(p.nand, p.info, 0, p.m, p.header), 0);
  ASSERT_EQ(p.nand.log.size(), 1u);
  EXPECT_EQ(p.nand.log[0].block, 102u);
  EXPECT_EQ(p.nand.Raw(102), (testing::StandardImage(1, 0).InfoBlockRaw()));
}

TEST(CommitInfoBlock, SkipsTheOldBlockAndErasesItOnlyAfterTheWrite) {
  Pool p;
  EXPECT_EQ(CommitInfoBlock(p.nand, p.info, 102, p.m, p.header), 0);
  ASSERT_EQ(p.nand.log.size(), 2u);
  EXPECT_EQ(p.nand.log[0].kind, FakeNand::kWriteBlock);
  EXPECT_EQ(p.nand.log[0].block, 101u);
  EXPECT_EQ(p.nand.log[1].kind, FakeNand::kFormat);
  EXPECT_EQ(p.nand.log[1].options, (std::array<uint8_t, 3>{1, 0, 0}));
  EXPECT_EQ(p.nand.log[1].address, 102u * 16384);
  EXPECT_EQ(p.nand.log[1].length, 16384u);
  EXPECT_EQ(p.m.TakeReservedFromEnd(0), 100u);  // the skipped block stays taken
}

TEST(CommitInfoBlock, BadNewBlocksAreSkippedUntilTheTagRunsOut) {
  Pool p;
  p.nand.bad = {102, 101};
  EXPECT_EQ(CommitInfoBlock(p.nand, p.info, 0, p.m, p.header), 0);
  EXPECT_EQ(p.nand.log.back().block, 100u);

  Pool q;
  q.nand.bad = {102, 101, 100};
  EXPECT_EQ(CommitInfoBlock(q.nand, q.info, 55, q.m, q.header), 3051);
  EXPECT_EQ(q.nand.Count(FakeNand::kFormat), 0u);  // the old block is never erased

  Pool r;
  r.nand.fail = [](const FakeNand::Command&) { return 9; };
  EXPECT_EQ(CommitInfoBlock(r.nand, r.info, 55, r.m, r.header), 4008);
  EXPECT_EQ(r.nand.log.size(), 1u);
}

TEST(CommitInfoBlock, DoesNotEraseAnOldBlockThatNowHoldsData) {
  Pool p;
  EXPECT_EQ(CommitInfoBlock(p.nand, p.info, 10, p.m, p.header), 0);
  EXPECT_EQ(p.nand.Count(FakeNand::kFormat), 0u);
}

TEST(EraseReservedPool, ErasesRunsOfConsecutiveBlocks) {
  Pool p({502 << 8, 500 << 8 | 1, 701 << 8, 501 << 8, 700 << 8 | 2, 500 << 8});
  ASSERT_TRUE(EraseReservedPool(p.nand, p.header));
  const auto formats = p.nand.Of(FakeNand::kFormat);
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_EQ(formats[0].options, (std::array<uint8_t, 3>{1, 1, 0}));
  EXPECT_EQ(formats[0].address, 500u * 16384);
  EXPECT_EQ(formats[0].length, 3u * 16384);
  EXPECT_EQ(formats[1].address, 700u * 16384);
  EXPECT_EQ(formats[1].length, 2u * 16384);

  p.nand.log.clear();
  p.nand.fail = [](const FakeNand::Command&) { return 3019; };
  EXPECT_FALSE(EraseReservedPool(p.nand, p.header));
  EXPECT_EQ(p.nand.log.size(), 1u);

  // A block whose address does not fit 32 bits is refused before any erase.
  Pool far({500 << 8, 0xFFFFFFu << 8});
  EXPECT_FALSE(EraseReservedPool(far.nand, far.header));
  EXPECT_TRUE(far.nand.log.empty());
}

}  // namespace
}  // namespace vantrel::testing
