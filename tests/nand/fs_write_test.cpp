// The FS image write at the block-command level, on an in-memory NAND.
#include "nand/fs_write.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fs_fixture.h"
#include "link/report.h"

namespace vantrel::testing {
namespace {

using testing::FakeNand;
using testing::ImageSpec;
using testing::StandardImage;

using ReportLine = std::tuple<uint32_t, uint32_t, std::string>;
std::vector<ReportLine> g_reports;
void RecordReport(uint32_t, uint32_t type, uint32_t percent, const char* text) {
  g_reports.emplace_back(type, percent, text);
}

constexpr uint32_t kEraseStart = 0x03000000, kEraseLength = 0x00100000;

class FsWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    SetReportFunction(&RecordReport);
  }
  void TearDown() override { SetReportFunction(nullptr); }

  // A phone whose ROM image put its record into device block 2.
  void Phone(const ImageSpec& s) {
    plan = s;
    nand = std::make_unique<FakeNand>(s.g.page, s.g.spare, s.g.pages);
    nand->PutMain(2, 100, testing::RomRecord());
  }
  int Run(FsDownloadState* state = nullptr) {
    nand->log.clear();
    image = plan.Build();
    const ImageDesc desc{image.data(), uint32_t(image.size()), 0};
    return WriteFsImageOn(*nand, desc, kEraseStart, kEraseLength, 41, state);
  }
  uint32_t Fs() const { return plan.FsStart(); }
  uint32_t L() const { return plan.g.main; }
  std::vector<uint32_t> Written() const {
    std::vector<uint32_t> blocks;
    for (const auto& c : nand->log)
      if (c.kind == FakeNand::kWriteBlock || c.kind == FakeNand::kWritePages) blocks.push_back(c.block);
    return blocks;
  }

  ImageSpec plan;
  std::unique_ptr<FakeNand> nand;
  std::vector<uint8_t> image;
};

TEST_F(FsWrite, ImageOfAnotherVersionTouchesNoFlash) {
  ImageSpec s = StandardImage(3, 4);
  s.version = {5, 2, 1};
  Phone(s);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(nand->log.empty());
  EXPECT_EQ(g_reports, (std::vector<ReportLine>{{5, 0, "Start Write FS Image"}, {3, 100, ""},
                                                {5, 100, "Write FS Image Complete"}}));
}

TEST_F(FsWrite, FirstDownloadErasesThePoolAndCommitsTheInfoBlockLast) {
  Phone(StandardImage(3, 8));
  ASSERT_EQ(Run(), 0);
  const auto reads = nand->Of(FakeNand::kRead);
  ASSERT_EQ(reads.size(), 1u + 8u);  // ROM record found in block 2; info area scanned down
  EXPECT_EQ(reads[0].address, 2 * L());
  EXPECT_EQ(reads[1].address, (Fs() + 107) * L());
  EXPECT_EQ(reads[8].address, (Fs() + 100) * L());
  const auto formats = nand->Of(FakeNand::kFormat);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].options, (std::array<uint8_t, 3>{1, 1, 0}));
  EXPECT_EQ(formats[0].address, (Fs() + 100) * L());
  EXPECT_EQ(formats[0].length, 8 * L());
  EXPECT_EQ(Written(), (std::vector<uint32_t>{Fs() + 10, Fs() + 11, Fs() + 12, Fs() + 107}));
  EXPECT_EQ(g_reports, (std::vector<ReportLine>{{5, 0, "Start Write FS Image"}, {3, 0, ""},
                                                {3, 33, ""}, {3, 66, ""}, {3, 100, ""}}));
  EXPECT_EQ(testing::CheckFlash(*nand, plan).block, Fs() + 107);
}

TEST_F(FsWrite, RomRecordIsSearchedInBlocksTwoToNine) {
  Phone(StandardImage(1, 2));
  nand = std::make_unique<FakeNand>(plan.g.page, plan.g.spare, plan.g.pages);
  const std::vector<uint8_t> record = testing::RomRecord();
  nand->PutMain(8, L() - 351, {record.data(), 351});  // cut by the block end: no match
  nand->PutMain(9, L() - 352, record);                // the last place a whole record fits
  ASSERT_EQ(Run(), 0);
  const auto reads = nand->Of(FakeNand::kRead);
  for (uint32_t b = 2; b <= 9; ++b) {
    EXPECT_EQ(reads[b - 2].address, b * L());
    EXPECT_EQ(reads[b - 2].mode, 1);
  }
  EXPECT_EQ(reads[8].mode, 0);  // the check went on to the info block search

  nand = std::make_unique<FakeNand>(plan.g.page, plan.g.spare, plan.g.pages);
  EXPECT_EQ(Run(), 1024);
  EXPECT_EQ(nand->log.size(), 8u);
  Phone(plan);
  nand->fail = [](const FakeNand::Command&) { return 3100; };
  EXPECT_EQ(Run(), 1024);
  EXPECT_EQ(nand->log.size(), 1u);
}

TEST(FsCheckRomInfo, RegionTableIdentifierAndFsRegionBounds) {
  ImageSpec s;
  FsInfoRecord f{};
  auto check = [&](const std::vector<uint8_t>& rom, std::vector<std::pair<uint32_t, uint32_t>> regions) {
    s.regions = std::move(regions);
    const std::vector<uint8_t> r = s.Record();
    std::copy(r.begin(), r.end(), f.begin());
    RomInfoRecord rec{};
    std::copy(rom.begin(), rom.end(), rec.begin());
    return CheckRomInfo(rec, f);
  };
  const uint32_t end = testing::kFsRegionStart + testing::kFsRegionLength;
  EXPECT_TRUE(check(testing::RomRecord(), {{testing::kFsRegionStart, testing::kFsRegionLength}}));
  EXPECT_TRUE(check(testing::RomRecord(), {{0, 0}, {end - 16, 16}}));  // an empty region is not compared
  EXPECT_FALSE(check(testing::RomRecord(), {{end - 16, 17}}));
  EXPECT_FALSE(check(testing::RomRecord(), {{testing::kFsRegionStart - 1, 16}}));
  EXPECT_FALSE(check(testing::RomRecord(), {{0xFFFFF000, 0x2000}}));  // wraps past 4 GiB
  EXPECT_FALSE(check(testing::RomRecord(1), {}));
  EXPECT_FALSE(check(testing::RomRecord(2, testing::kFsRegionStart, 0), {}));
  for (size_t i = 0; i < 8; ++i) {
    std::string id = "05200001";
    id[i] ^= 1;
    EXPECT_FALSE(check(testing::RomRecord(2, testing::kFsRegionStart, testing::kFsRegionLength, id), {})) << i;
  }
}

TEST_F(FsWrite, FailedRomCheckWritesNothing) {
  ImageSpec s = StandardImage(2, 4);
  s.regions = {{testing::kFsRegionStart + testing::kFsRegionLength - 16, 17}};
  Phone(s);
  EXPECT_EQ(Run(), 4054);
  EXPECT_EQ(nand->log.size(), 1u);
}

// The phone already holds an info block at the end of a 12-block pool.
class FsWriteAgain : public FsWrite {
 protected:
  void PhoneWithInfoBlock(ImageSpec device, uint32_t at) {
    Phone(StandardImage(3, 12));
    device.byte470 = 0x77;
    nand->PutRaw(at, device.InfoBlockRaw());
  }
};

TEST_F(FsWriteAgain, SameVersionAndLayoutCarriesTheRemapsAndCounters) {
  ImageSpec device = StandardImage(3, 12);
  device.remap[10 + 1] = 105;  // data block 1 lives in FS start + 105
  device.counters[0] = 106;
  PhoneWithInfoBlock(device, Fs() + 111);
  nand->bad = {Fs() + 10};
  ASSERT_EQ(Run(), 0);
  // 100..105 are used up, 111 holds the current info block.
  EXPECT_EQ(Written(), (std::vector<uint32_t>{Fs() + 10, Fs() + 106, Fs() + 105, Fs() + 12, Fs() + 110}));
  EXPECT_EQ(nand->log.back().kind, FakeNand::kFormat);
  EXPECT_EQ(nand->log.back().options, (std::array<uint8_t, 3>{1, 0, 0}));
  EXPECT_EQ(nand->log.back().address, (Fs() + 111) * L());
  EXPECT_EQ(nand->log.back().length, L());
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 1u);  // no pool erase
  const testing::FlashInfo info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.remap, (std::vector<uint16_t>{106, 105, 0}));
  EXPECT_EQ(info.counters[0], 107);
  EXPECT_EQ(info.main[L() - 512 + 470], 0x77);  // the phone's block was written back, not the image's
}

TEST_F(FsWriteAgain, AnotherVersionErasesTheRangeAndUsesTheImagesBlock) {
  ImageSpec device = StandardImage(3, 12);
  device.version = {5, 1, 0};
  device.remap[10 + 1] = 105;
  PhoneWithInfoBlock(device, Fs() + 111);
  ASSERT_EQ(Run(), 0);
  const auto formats = nand->Of(FakeNand::kFormat);
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_EQ(nand->log[nand->Count(FakeNand::kRead)].kind, FakeNand::kFormat);  // before any write
  EXPECT_EQ(formats[0].options, (std::array<uint8_t, 3>{1, 0, 1}));
  EXPECT_EQ(formats[0].address, kEraseStart);
  EXPECT_EQ(formats[0].length, kEraseLength);
  EXPECT_EQ(nand->log.back().address, (Fs() + 111) * L());  // the old block, after the commit
  const testing::FlashInfo info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.block, Fs() + 110);
  EXPECT_EQ(info.remap, (std::vector<uint16_t>{0, 0, 0}));
  EXPECT_EQ(info.main[L() - 512 + 470], 0);
}

// The FS range holds the images a download has already written: an erase
// decided after one of them stops the image so the download writes them all
// again, and the range is never erased twice in one download.
TEST_F(FsWriteAgain, AnotherVersionAfterImagesOfThisDownloadErasesTheRangeOnce) {
  ImageSpec device = StandardImage(3, 12);
  device.version = {5, 1, 0};
  PhoneWithInfoBlock(device, Fs() + 111);
  FsDownloadState state;
  state.imageWritten = true;
  ASSERT_EQ(Run(&state), 0);
  EXPECT_TRUE(state.rangeErased);
  EXPECT_TRUE(state.writeAgain);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(nand->log.back().options, (std::array<uint8_t, 3>{1, 0, 1}));

  // Written again with the range already erased: a block of another version
  // left outside the range is replaced like any old info block.
  PhoneWithInfoBlock(device, Fs() + 111);
  state = FsDownloadState{false, true, false};
  ASSERT_EQ(Run(&state), 0);
  EXPECT_FALSE(state.writeAgain);
  for (const auto& f : nand->Of(FakeNand::kFormat)) EXPECT_NE(f.options, (std::array<uint8_t, 3>{1, 0, 1}));
  EXPECT_EQ(nand->log.back().address, (Fs() + 111) * L());
  EXPECT_EQ(testing::CheckFlash(*nand, plan).block, Fs() + 110);
}

TEST_F(FsWriteAgain, SameVersionWithAnotherLayoutIsRefused) {
  ImageSpec device = StandardImage(3, 12);
  device.regions[0].second += 0x4000;
  PhoneWithInfoBlock(device, Fs() + 111);
  EXPECT_EQ(Run(), 4054);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 0u);
}

TEST_F(FsWriteAgain, ARecordDifferingOnlyInRegionSevenIsAnotherLayout) {
  ImageSpec device = StandardImage(3, 12);
  device.regions.resize(8);
  device.regions[7] = {testing::kFsRegionStart + 0x00400000, 0x4000};
  PhoneWithInfoBlock(device, Fs() + 111);
  EXPECT_EQ(Run(), 4054);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 0u);
}

TEST_F(FsWriteAgain, AFailedReadOfTheInfoAreaErasesNothing) {
  PhoneWithInfoBlock(StandardImage(3, 12), Fs() + 105);
  const std::vector<uint8_t> current = nand->Raw(Fs() + 105);
  // The scan reads from the end of the area down; the read of block 110 fails
  // before it reaches the phone's info block.
  nand->fail = [this](const FakeNand::Command& c) {
    return c.kind == FakeNand::kRead && c.address == (Fs() + 110) * L() ? 3100 : 0;
  };
  EXPECT_EQ(Run(), 3100);
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 0u);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(nand->Raw(Fs() + 105), current);
  EXPECT_NE(nand->channel().failure().find("info area"), std::string::npos) << nand->channel().failure();
}

TEST_F(FsWriteAgain, CurrentInfoBlockIsNeverADataReplacement) {
  // The phone's info block sits at the front of the pool, where replacements
  // are taken from.
  PhoneWithInfoBlock(StandardImage(3, 12), Fs() + 100);
  nand->bad = {Fs() + 10};
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Written()[1], Fs() + 101);
  EXPECT_EQ(testing::CheckFlash(*nand, plan).remap[0], 101);
  EXPECT_TRUE(nand->Erased(Fs() + 100));
}

TEST_F(FsWrite, RunningOutKeepsThePreviousInfoBlock) {
  Phone(StandardImage(3, 4));
  ASSERT_EQ(Run(), 0);
  const std::vector<uint8_t> previous = nand->Raw(Fs() + 103);
  nand->bad = {Fs() + 10, Fs() + 100, Fs() + 101, Fs() + 102};
  EXPECT_EQ(Run(), 3051);
  EXPECT_EQ(Written(), (std::vector<uint32_t>{Fs() + 10, Fs() + 100, Fs() + 101, Fs() + 102}));
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 0u);
  EXPECT_EQ(nand->Raw(Fs() + 103), previous);
}

TEST_F(FsWrite, RunningOutSaysWhichBlockAndTag) {
  Phone(StandardImage(3, 4, 2));  // tag 1: reserved 101 and 103
  nand->bad = {Fs() + 11, Fs() + 101, Fs() + 103};
  EXPECT_EQ(Run(), 3051);
  EXPECT_EQ(nand->channel().failure_code(), 3051);
  EXPECT_NE(nand->channel().failure().find("data block 1"), std::string::npos) << nand->channel().failure();
  EXPECT_NE(nand->channel().failure().find("no reserved block of tag 1 left"), std::string::npos)
      << nand->channel().failure();
}

TEST_F(FsWrite, InfoAreaOfOneBlockIsReadOnce) {
  ImageSpec s = StandardImage(1, 1);
  s.info_area_length = s.g.main;
  Phone(s);
  ASSERT_EQ(Run(), 0);
  const auto reads = nand->Of(FakeNand::kRead);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].mode, 0);
  EXPECT_EQ(reads[1].address, s.info_area_start);
}

TEST_F(FsWrite, TagCountersSkipUsedReservedBlocks) {
  ImageSpec s = StandardImage(2, 12, 2);  // tag 0: 100, 102, ...; tag 1: 101, 103, ...
  s.counters[0] = 103;
  Phone(s);
  nand->bad = {Fs() + 10};
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Written()[1], Fs() + 104);
  const testing::FlashInfo info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.remap[0], 104);
  EXPECT_EQ(info.counters[0], 105);

  plan.counters[1] = 200;  // every tag-1 block counts as used
  Phone(plan);
  EXPECT_EQ(Run(), 3051);
  EXPECT_TRUE(Written().empty());
}

TEST_F(FsWrite, TagThreeCounterFortyRecordsFortyWhenTheBlockIsFsStartPlusForty) {
  ImageSpec s = StandardImage(0, 0);
  s.normal = {(s.FsStart() + 10) << 8 | 3};
  s.reserved = {(s.FsStart() + 40) << 8 | 3, (s.FsStart() + 41) << 8 | 3,
                (s.FsStart() + 50) << 8, (s.FsStart() + 51) << 8};
  s.info_area_start = (s.FsStart() + 50) * s.g.main;
  s.info_area_length = 2 * s.g.main;
  s.counters[3] = 40;
  Phone(s);
  nand->bad = {Fs() + 10};
  ASSERT_EQ(Run(), 0);
  const testing::FlashInfo info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.remap[0], 40);
  EXPECT_EQ(info.counters[3], 41);
}

TEST_F(FsWrite, TwoBadAnswersInARowRecordTheSecondReplacement) {
  Phone(StandardImage(2, 6));
  nand->bad = {Fs() + 10, Fs() + 100};
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(Written(), (std::vector<uint32_t>{Fs() + 10, Fs() + 100, Fs() + 101, Fs() + 11, Fs() + 105}));
  const testing::FlashInfo info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.remap[0], 101);
  EXPECT_EQ(info.counters[0], 102);
}

class FsWriteModulus : public FsWrite, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FsWriteModulus, ReplacementsRecordWhereTheDataWentAcrossDownloads) {
  const uint32_t m = GetParam();
  Phone(StandardImage(3 * m, 8 * m, m));  // counters start at 0
  nand->bad = {Fs() + 10, Fs() + 10 + m};  // data blocks 0 and m, both tag 0
  ASSERT_EQ(Run(), 0);
  testing::FlashInfo info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.remap[0], 100);
  EXPECT_EQ(info.remap[m], 100 + m);
  EXPECT_EQ(info.counters[0], 101 + m);

  // The next download keeps both and replaces a third tag-0 block past them.
  nand->bad.insert(Fs() + 10 + 2 * m);
  ASSERT_EQ(Run(), 0);
  info = testing::CheckFlash(*nand, plan);
  EXPECT_EQ(info.remap[0], 100);
  EXPECT_EQ(info.remap[m], 100 + m);
  EXPECT_EQ(info.remap[2 * m], 100 + 2 * m);
  EXPECT_EQ(info.counters[0], 101 + 2 * m);
}
INSTANTIATE_TEST_SUITE_P(TagModulus, FsWriteModulus, ::testing::Values(2u, 4u));

TEST_F(FsWrite, BlocksWithFewUsedPagesAreSentPageByPage) {
  ImageSpec s = StandardImage(3, 2, 1, testing::kLarge);
  s.used = {{0, 1, 63}, {}, {0, 1, 2, 3}};
  Phone(s);
  ASSERT_EQ(Run(), 0);
  const auto pages = nand->Of(FakeNand::kWritePages);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].pages, (std::vector<uint32_t>{0, 1, 63}));
  EXPECT_TRUE(pages[1].pages.empty());
  EXPECT_EQ(nand->Of(FakeNand::kWriteBlock).front().block, Fs() + 12);  // checksum checked by the fake
  testing::CheckFlash(*nand, plan);
}

TEST_F(FsWrite, FailuresEndTheWriteWithTheirCodes) {
  Phone(StandardImage(2, 4));
  nand->fail = [this](const FakeNand::Command& c) { return c.kind == FakeNand::kWriteBlock && c.block == Fs() + 11 ? 9 : 0; };
  EXPECT_EQ(Run(), 4008);
  EXPECT_EQ(Written().back(), Fs() + 11);  // no info block after a failed data block

  Phone(plan);
  nand->fail = [](const FakeNand::Command& c) { return c.kind == FakeNand::kFormat ? 3019 : 0; };
  EXPECT_EQ(Run(), 4008);
  EXPECT_TRUE(Written().empty());
}

TEST_F(FsWrite, MalformedImagesAreRefusedBeforeTheFlashIsChanged) {
  Phone(StandardImage(2, 4));
  image = plan.Build();
  image.pop_back();
  EXPECT_EQ(WriteFsImageOn(*nand, {image.data(), uint32_t(image.size()), 0}, 0, 0, 41), 4056);
  EXPECT_TRUE(nand->log.empty());
  EXPECT_EQ(WriteFsImageOn(*nand, {}, 0, 0, 41), 4056);

  plan.normal[0] = (Fs() - 1) << 8;  // below the FS region: no remap entry can name it
  EXPECT_EQ(Run(), 4054);
  EXPECT_EQ(nand->log.size(), 1u);  // only the ROM record read
  plan.normal[0] = (Fs() + 10) << 8;
  plan.counters_end = 16 + 2 * 11;  // entries 0..10: data block 1 (entry 11) does not fit
  EXPECT_EQ(Run(), 4054);
  EXPECT_EQ(nand->log.size(), 1u);

  Phone(StandardImage(2, 4));
  plan.normal[0] |= 9;  // a tag without a counter: refused before the first erase
  nand->bad = {Fs() + 10};
  EXPECT_EQ(Run(), 4056);
  EXPECT_TRUE(nand->log.empty());
  nand->bad.clear();
  EXPECT_EQ(Run(), 4056);  // even when no block goes bad

  Phone(StandardImage(2, 4, 2));
  plan.reserved[1] = (Fs() - 5) << 8 | 1;  // a tag-1 replacement no remap entry can name
  EXPECT_EQ(Run(), 4054);
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 0u);
  EXPECT_TRUE(Written().empty());
}

TEST_F(FsWrite, AnImageToSkipIsSkippedWhateverItsHeaderSays) {
  ImageSpec s = StandardImage(3, 4);
  s.version = {5, 2, 1};
  s.pool_first = 5;  // pool indices 5 to 8 run past the 7 entries
  Phone(s);
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(nand->log.empty());
}

TEST_F(FsWrite, AnInfoBlockThatWouldLandOutsideTheInfoAreaIsRefusedFirst) {
  ImageSpec s = StandardImage(3, 8);
  s.info_area_length = 4 * s.g.main;  // the pool is 100..107, the area 100..103
  Phone(s);
  EXPECT_EQ(Run(), 4056);
  EXPECT_EQ(nand->Count(FakeNand::kFormat), 0u);
  EXPECT_TRUE(Written().empty());
  EXPECT_NE(nand->channel().failure().find("info area"), std::string::npos) << nand->channel().failure();
}

}  // namespace
}  // namespace vantrel::testing
