#include "nand/block_map.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel::testing {
namespace {

BlockMappingTable Table(std::vector<uint32_t> words, uint32_t n, uint32_t r) {
  BlockMappingTable t;
  t.LoadEntries(words, n, r);
  return t;
}

TEST(BlockMappingTable, TakesFromFrontAndBackUntilTheTagRunsOut) {
  // Reserved (tag 0, 900), (tag 1, 901), (tag 0, 902) after one normal entry.
  BlockMappingTable t = Table({0x100, 900 << 8, 901 << 8 | 1, 902 << 8}, 1, 3);
  EXPECT_EQ(t.TakeReserved(0), 900u);
  EXPECT_EQ(t.TakeReservedFromEnd(0), 902u);
  try {
    t.TakeReserved(0);
    FAIL() << "a third tag-0 take must throw";
  } catch (const BlockMappingTable::RunOutOfReservedBlocks& e) {
    EXPECT_EQ(std::string(e.what()), "Run out of reserved blocks");
  }
  EXPECT_THROW(t.PeekReserved(0), BlockMappingTable::RunOutOfReservedBlocks);
  EXPECT_THROW(t.TakeReservedFromEnd(0), BlockMappingTable::RunOutOfReservedBlocks);
  EXPECT_THROW(t.TakeReserved(7), BlockMappingTable::RunOutOfReservedBlocks);  // no such tag
  // The failing calls took nothing else: tag 1 is still free.
  EXPECT_EQ(t.TakeReservedFromEnd(1), 901u);
}

TEST(BlockMappingTable, PeekChangesNothing) {
  BlockMappingTable t = Table({900 << 8, 901 << 8}, 0, 2);
  EXPECT_EQ(t.PeekReserved(0), 900u);
  EXPECT_EQ(t.PeekReserved(0), 900u);
  t.TakeReserved(0);
  EXPECT_EQ(t.PeekReserved(0), 901u);
}

TEST(BlockMappingTable, CombinedIndexReachesTheReservedList) {
  BlockMappingTable t = Table({10 << 8 | 1, 11 << 8 | 2, 12 << 8 | 3, 50 << 8 | 4, 0xFFFFFFFF}, 3, 2);
  EXPECT_EQ(t.BlockAt(2), 12u);
  EXPECT_EQ(t.TagAt(2), 3u);
  EXPECT_EQ(t.BlockAt(3), 50u);
  EXPECT_EQ(t.TagAt(3), 4u);
  t.SetBlock(3, 77);
  EXPECT_EQ(t.Reserved()[0].block, 77u);
  EXPECT_EQ(t.Reserved()[0].tag, 4u);
  EXPECT_EQ(t.TakeReserved(4), 77u);
  // The all-ones word.
  EXPECT_EQ(t.BlockAt(4), 16777215u);
  EXPECT_EQ(t.TagAt(4), 255u);
}

TEST(BlockMappingTable, IndicesOutsideTheTableAreRefused) {
  BlockMappingTable t = Table({1 << 8, 2 << 8}, 1, 1);
  EXPECT_THROW(t.BlockAt(2), std::out_of_range);
  EXPECT_THROW(t.TagAt(0xFFFFFFFF), std::out_of_range);
  EXPECT_THROW(t.SetBlock(2, 5), std::out_of_range);
  EXPECT_THROW(BlockMappingTable().BlockAt(0), std::out_of_range);
  // Too few words: refused, and the table keeps what it had.
  EXPECT_THROW(t.LoadEntries(std::vector<uint32_t>{1, 2}, 2, 1), std::out_of_range);
  EXPECT_EQ(t.BlockAt(1), 2u);
}

TEST(BlockMappingTable, CopiesAreIndependent) {
  BlockMappingTable a = Table({900 << 8, 901 << 8}, 0, 2);
  BlockMappingTable b = a;
  EXPECT_EQ(a.TakeReserved(0), 900u);
  EXPECT_EQ(b.PeekReserved(0), 900u);
  EXPECT_EQ(b.TakeReservedFromEnd(0), 901u);
  EXPECT_EQ(a.PeekReserved(0), 901u);
  b.SetBlock(0, 5);
  EXPECT_EQ(a.BlockAt(0), 900u);
}

TEST(BlockMappingTable, MarkingABlockTakenHidesItFromEveryTag) {
  BlockMappingTable t = Table({900 << 8, 900 << 8 | 1, 901 << 8}, 0, 3);
  EXPECT_EQ(t.MarkReservedBlockTaken(900), 2u);
  EXPECT_EQ(t.TakeReserved(0), 901u);
  EXPECT_THROW(t.PeekReserved(1), BlockMappingTable::RunOutOfReservedBlocks);
  EXPECT_EQ(t.MarkReservedBlockTaken(900), 0u);
}

}  // namespace
}  // namespace vantrel::testing
