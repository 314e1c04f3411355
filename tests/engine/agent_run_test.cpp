// The order of the agent stage and its decisions about the FS region and
// empty FS slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/download_plan.h"
#include "images/rom_info.h"
#include "tests/agent/agent_test_util.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

TEST(FsRegionTest, LastEntryOfTheRegionTable) {
  uint8_t info[352] = {};
  for (uint32_t k = 0; k < 8; ++k) {
    PutLe32(info + 220 + 16 * k, 0x1000 * (k + 1));
    PutLe32(info + 224 + 16 * k, 0x100 * (k + 1));
  }
  uint32_t start = 0, length = 0;
  PutLe16(info + 210, 1);
  ASSERT_TRUE(RomInfoFsRegion(info, &start, &length));
  EXPECT_EQ(start, 0x1000u);
  EXPECT_EQ(length, 0x100u);
  PutLe16(info + 210, 8);  // the last entry that fits in the copy
  ASSERT_TRUE(RomInfoFsRegion(info, &start, &length));
  EXPECT_EQ(start, 0x8000u);
  EXPECT_EQ(length, 0x800u);
  for (uint16_t bad : {0, 9, 0xFFFF}) {
    PutLe16(info + 210, bad);
    EXPECT_FALSE(RomInfoFsRegion(info, &start, &length)) << bad;
  }
  EXPECT_FALSE(RomInfoFsRegion(nullptr, &start, &length));
}

class AgentRunTest : public AgentTest {
 protected:
  AgentRunTest() {
    rom_ = Bytes(1024, 0x01);
    std::memcpy(rom_.data(), "MTK_ROMINFO_v4", 14);
    PutLe16(rom_info_ + 210, 1);
  }

  int Run(FakeLink& l, const ImageDesc* fs, uint32_t fs_count) {
    ImageDesc ta{table_a_.data(), uint32_t(table_a_.size()), 0}, tb{nullptr, 0, 0};
    ImageDesc bl{bl_.data(), 4, 0}, ext{nullptr, 0, 0};
    ImageDesc rom{rom_.data(), uint32_t(rom_.size()), 0}, rom2{rom2_.data(), 16, 0x4000};
    FirmwareBundle fw{bl, ext, rom, rom2};
    fw.fsCount = fs ? std::min<uint32_t>(fs_count, uint32_t(fw.fs.size())) : 0;
    for (uint32_t i = 0; i < fw.fsCount; ++i) fw.fs[i] = fs[i];
    return AgentRun(&l, AgentStageInputs{ta, tb, bloader_info_, rom_info_}, fw, kPort);
  }

  // Everything from the connect to the end of the NFB write; the third
  // shared-data type is refused by the agent.
  void ScriptUpToFs(FakeLink& l) {
    ScriptConnect(l, table_a_);
    l.ExpectWrite8(0xE0).ExpectWrite32(0).AddRead8(0x5A);
    ScriptSharedData(l, 0x10000, Pattern(5));
    ScriptSharedData(l, 0x10001, {});
    l.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A).ExpectWrite32(0x10002).AddRead8(0x00);
    ScriptSharedData(l, 0x10003, Pattern(70));
    // Bootloader: header with a zero information record, then one packet.
    l.ExpectWrite8(0xDC).AddRead8(0x5A);
    l.ExpectWrite(Cat({Be32(0x1000), Bytes(4, 0), Be32(4), Be32(0), Be32(0x04030201), Bytes(32, 0),
                       {0x5A}, Be32(0), Be32(0)}));
    l.AddRead8(0x5A).ExpectWrite(bl_).ExpectWrite16(10).AddRead({0x69, 0x5A});
    // Image list: the version-4 record at offset 0, then both ranges.
    l.ExpectWrite({0xDD, 0xA5, 0xA5, 0xA5, 0x02, 0x02}).ExpectWrite(Cat({Be32(0), Be32(319)}));
    l.AddRead8(0x5A);
    l.ExpectWrite(Cat({{0x01}, Be32(0), Be32(1023), Be32(0), Be32(1)})).AddRead8(0x5A);
    l.ExpectWrite(Cat({{0x01}, Be32(0x4400), Be32(0x440F), Be32(0), Be32(1)})).AddRead8(0x5A);
    // NFB images.
    l.ExpectWrite8(0xDE).AddRead8(0x5A).ExpectWrite32(0x1000).AddRead8(0x5A);
    const uint16_t rom_sum = ByteSum(rom_.data(), rom_.size());
    l.ExpectWrite(rom_).ExpectWrite16(rom_sum).AddRead8(0x69);
    l.ExpectWrite(rom2_).ExpectWrite16(ByteSum(rom2_.data(), 16)).AddRead8(0x69);
    l.AddRead({0x5A, 0x5A});
    l.ExpectWrite8(0x5A).ExpectWrite16(rom_sum).AddRead8(0x5A);
    l.ExpectWrite8(0x5A).ExpectWrite16(ByteSum(rom2_.data(), 16)).AddRead8(0x5A);
    l.AddRead8(0x5A);
  }

  Bytes table_a_ = Pattern(2 * 36);
  Bytes bl_ = {1, 2, 3, 4};
  Bytes rom_;
  Bytes rom2_ = Pattern(16, 0x40);
  uint8_t bloader_info_[136] = {};
  uint8_t rom_info_[352] = {};
};

TEST_F(AgentRunTest, StepsInOrderWithEmptyFsSlotsSkipped) {
  ScriptUpToFs(link_);
  link_.ExpectWrite8(0xDB).ExpectWrite16(0x40).AddRead8(0x5A);
  // Empty slots: one without data despite its length must not be read.
  const ImageDesc fs[4] = {{nullptr, 0, 0}, {nullptr, 5000, 0}, {nullptr, 0, 0}, {nullptr, 0, 0}};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Run(link_, fs, 4), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(link_.VerifyConsumed());
  EXPECT_EQ(out,
            "Connecting to DA...\n"
            "Bootloader shared data (type = 10000) is read\n"
            "Bootloader shared data (type = 10001) is read\n"
            "Failed to read bootloader shared data (type = 10002)\n"
            "Bootloader shared data (type = 10003) is read\n"
            "Write Boot loader...\n"
            "Send NAND Image List...\n"
            "Write NFB images...\n"
            "..Enable Watch Dog...\n");  // one dot per NFB packet, no line end
}

TEST_F(AgentRunTest, RegionlessRomInformationStopsBeforeAnythingIsSent) {
  const ImageDesc fs[1] = {{rom2_.data(), 16, 0}};
  for (uint16_t count : {0, 9}) {
    PutLe16(rom_info_ + 210, count);
    FakeLink l;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Run(l, fs, 1), kRomInfoNoRegions);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(l.written().empty());
    EXPECT_EQ(l.reads(), 0u);
  }
}

TEST_F(AgentRunTest, FirstFailureEndsTheStage) {
  // The bootloader is refused: no image list, no watchdog.
  ScriptConnect(link_, table_a_);
  link_.ExpectWrite8(0xE0).ExpectWrite32(0).AddRead8(0x5A);
  for (uint32_t type = 0x10000; type < 0x10004; ++type) ScriptSharedData(link_, type, {});
  link_.ExpectWrite8(0xDC).AddRead8(0x00);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Run(link_, nullptr, 0), kBootloaderWriteFailed);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(link_.VerifyConsumed());
  EXPECT_NE(out.find("Write Boot loader...\n"), std::string::npos);
  EXPECT_EQ(out.find("Send NAND Image List"), std::string::npos);
}

TEST_F(AgentRunTest, FsWriterResultPassesThrough) {
  // The phone goes away when the FS writer starts: its failure is the stage's.
  ScriptUpToFs(link_);
  link_.AddReadFailure();
  const ImageDesc fs[2] = {{nullptr, 0, 0}, {rom2_.data(), 16, 0}};
  ::testing::internal::CaptureStdout();
  const int rc = Run(link_, fs, 2);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("Write FS images...\n"), std::string::npos);
  EXPECT_EQ(out.find("Enable Watch Dog"), std::string::npos);
}

}  // namespace
}  // namespace vantrel::testing
