// Blocks that fail when programmed or erased, where it matters most: a data
// block, the block the new info block goes to, and the old info block that
// is erased after the commit. Each download either completes with the block
// replaced, or ends with the documented code; either way the phone keeps a
// valid info block, and the next download puts the flash right.
#include <gtest/gtest.h>

#include "tests/reliability/matrix_util.h"

namespace vantrel::testing {
namespace {

class FailingBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.UsePackage(TinyPackage());
    fs_ = rig_.package().fsImages.at(0);
    tag0_ = ReservedBlocks(fs_, 0);
    ASSERT_GE(tag0_.size(), 3u);
  }
  // A first download, so that the phone holds an info block (in the last
  // tag-0 reserved block, where the commit puts it).
  void FirstDownload() {
    rig_.StartPhone({}, 40, 0);
    ASSERT_EQ(RunEngineQuietly(rig_).result, 1);
    rig_.phone().Stop();
    ASSERT_EQ(InfoBlocksInArea(rig_.flash(), rig_.package()), 1u);
  }
  SessionResult Download(sim::PhoneConfig c = {}) {
    rig_.StartPhone(c, 40, 0);
    SessionResult r = RunEngineQuietly(rig_);
    rig_.phone().Stop();
    return r;
  }
  void ExpectSound() {
    flashcheck::CheckReport check = rig_.Check();
    EXPECT_TRUE(check.ok) << ::testing::PrintToString(check.problems);
  }
  Rig rig_{512};
  std::vector<uint8_t> fs_;
  std::vector<uint32_t> tag0_;
};

TEST_F(FailingBlocks, ADataBlockThatCannotBeErasedIsReplaced) {
  FirstDownload();
  sim::PhoneConfig c;
  c.faults.eraseFailing = {HomeBlock(fs_, 1)};
  SessionResult r = Download(c);
  EXPECT_EQ(r.result, 1) << r.log;
  ExpectSound();
}

TEST_F(FailingBlocks, TheCommitTargetFailingMovesTheInfoBlockOn) {
  rig_.flash().SetFailing(tag0_.back());  // where a first commit goes
  SessionResult first = Download();
  EXPECT_EQ(first.result, 1) << first.log;
  ExpectSound();
  EXPECT_FALSE(rig_.flash().IsErased(tag0_[tag0_.size() - 2])) << "the next tag-0 block holds it";

  // The second commit meets the failing block again, skips the old info
  // block and writes the one before it; then the old one is erased.
  SessionResult second = Download();
  EXPECT_EQ(second.result, 1) << second.log;
  ExpectSound();
  EXPECT_EQ(InfoBlocksInArea(rig_.flash(), rig_.package()), 1u) << "the old info block is erased";
  EXPECT_TRUE(rig_.flash().IsErased(tag0_[tag0_.size() - 2]));
}

TEST_F(FailingBlocks, NoTag0BlockLeftForTheCommitEndsWith3051AndKeepsTheOldInfoBlock) {
  FirstDownload();
  for (size_t i = 0; i + 1 < tag0_.size(); ++i) rig_.flash().SetFailing(tag0_[i]);
  SessionResult r = Download();
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.downloadCode, 3051) << r.log;
  EXPECT_EQ(InfoBlocksInArea(rig_.flash(), rig_.package()), 1u);
}

TEST_F(FailingBlocks, AnOldInfoBlockThatCannotBeErasedEndsWith4008AndKeepsAnInfoBlock) {
  FirstDownload();
  sim::PhoneConfig c;
  c.faults.eraseFailing = {tag0_.back()};  // the old info block
  SessionResult r = Download(c);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.downloadCode, 4008) << r.log;
  EXPECT_GE(InfoBlocksInArea(rig_.flash(), rig_.package()), 1u);

  // The block erases again: the next download leaves exactly one info block.
  SessionResult again = Download();
  EXPECT_EQ(again.result, 1) << again.log;
  ExpectSound();
}

TEST_F(FailingBlocks, AReservedPoolThatCannotBeErasedEndsWith4008BeforeAnyData) {
  sim::PhoneConfig c;
  c.faults.eraseFailing = {tag0_.front()};
  SessionResult r = Download(c);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.downloadCode, 4008) << r.log;
  for (uint32_t i = 0; i < DataBlockCount(fs_); ++i)
    EXPECT_TRUE(rig_.flash().IsErased(HomeBlock(fs_, i))) << "data block " << i;
}

}  // namespace
}  // namespace vantrel::testing
