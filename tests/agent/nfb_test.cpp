// The NAND image list and the NFB image write.
#include <gtest/gtest.h>

#include <cstring>

#include "agent/agent.h"
#include "tests/agent/agent_test_util.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

Bytes RomWithRecord(uint32_t length, uint32_t marker_at, char version) {
  Bytes rom(length, 0);
  std::memcpy(rom.data() + marker_at, "MTK_ROMINFO_v", 13);
  rom[marker_at + 13] = uint8_t(version);
  return rom;
}

class ImageListTest : public AgentTest {};

TEST_F(ImageListTest, RecordPositionAndAddressRanges) {
  Bytes rom = RomWithRecord(0x100000, 0x200, '6');
  Bytes rom2(0x800, 0x11);
  ImageDesc r1{rom.data(), 0x100000, 0}, r2{rom2.data(), 0x800, 0x4000};
  link_.ExpectWrite({0xDD, 0xA5, 0xA5, 0xA5, 0x02, 0x02});
  link_.ExpectWrite(Cat({Be32(0x200), Be32(0x353)})).AddRead8(0x5A);  // 0x200 + 340 - 1
  link_.ExpectWrite(Cat({{0x01}, Be32(0), Be32(0xFFFFF), Be32(0), Be32(1)})).AddRead8(0x5A);
  link_.ExpectWrite(Cat({{0x01}, Be32(0x104000), Be32(0x1047FF), Be32(0), Be32(1)})).AddRead8(0x5A);
  EXPECT_EQ(AgentSendImageList(&link_, &r1, &r2, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
  // The six lead bytes go out one at a time.
  EXPECT_EQ(std::vector<uint32_t>(link_.write_sizes().begin(), link_.write_sizes().begin() + 6),
            std::vector<uint32_t>(6, 1));
  const std::vector<ReportRec> want = {{kPort, 5, 0, "Start Send NAND image list"},
                                       {kPort, 3, 100, ""},
                                       {kPort, 5, 100, "Send NAND image list complete"}};
  EXPECT_EQ(ReportRecorder::Log(), want);
}

TEST_F(ImageListTest, RomWithoutRecordFailsBeforeAnyByte) {
  Bytes rom(0x100020, 0);
  std::memcpy(rom.data() + 0x100000, "MTK_ROMINFO_v6", 14);  // just past the first 1 MiB
  ImageDesc r1{rom.data(), uint32_t(rom.size()), 0}, r2{nullptr, 0, 0x4000};
  EXPECT_EQ(AgentSendImageList(&link_, &r1, &r2, kPort), kCommandRefused);
  EXPECT_EQ(AgentSendImageList(&link_, nullptr, &r2, kPort), kCommandRefused);
  EXPECT_TRUE(link_.written().empty());
}

TEST_F(ImageListTest, RefusedEntryFails) {
  Bytes rom = RomWithRecord(1024, 0, '4');
  ImageDesc r1{rom.data(), 1024, 0}, r2{nullptr, 0, 0};
  link_.ExpectWrite({0xDD, 0xA5, 0xA5, 0xA5, 0x02, 0x02});
  link_.ExpectWrite(Cat({Be32(0), Be32(319)})).AddRead8(0x5A);
  link_.ExpectWrite(Cat({{0x01}, Be32(0), Be32(1023), Be32(0), Be32(1)})).AddRead8(0xA5);
  EXPECT_EQ(AgentSendImageList(&link_, &r1, &r2, kPort), kCommandRefused);
  EXPECT_TRUE(link_.VerifyConsumed());
}

class NfbTest : public AgentTest {
 protected:
  void ScriptStart(FakeLink& l) {
    l.ExpectWrite8(0xDE).AddRead8(0x5A).ExpectWrite32(0x1000).AddRead8(0x5A);
  }
  void ScriptPackets(FakeLink& l, const Bytes& img) {
    for (size_t at = 0; at < img.size(); at += 4096) {
      size_t n = std::min<size_t>(4096, img.size() - at);
      l.ExpectWrite(Bytes(img.begin() + at, img.begin() + at + n));
      l.ExpectWrite16(ByteSum(img.data() + at, n)).AddRead8(0x69);
    }
  }
};

TEST_F(NfbTest, PacketsProgressAndWholeImageSums) {
  Bytes rom(8192, 0x01), rom2(4096, 0x01);
  rom[8191] = 0x03;
  ImageDesc r1{rom.data(), 8192, 0}, r2{rom2.data(), 4096, 0x4000};
  ScriptStart(link_);
  ScriptPackets(link_, rom);
  ScriptPackets(link_, rom2);
  link_.AddRead({0x5A, 0x5A});
  link_.ExpectWrite8(0x5A).ExpectWrite16(8194).AddRead8(0x5A);
  link_.ExpectWrite8(0x5A).ExpectWrite16(0x1000).AddRead8(0x5A);
  link_.AddRead8(0x5A);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWriteNfb(&link_, &r1, &r2, kPort), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "...");  // one dot per packet
  EXPECT_TRUE(link_.VerifyConsumed());
  const std::vector<ReportRec> want = {
      {kPort, 5, 0, "Start Write NFB Image"},
      {kPort, 5, 0, "Send ROM Image"},
      {kPort, 3, 0, ""},
      {kPort, 3, 50, ""},
      {kPort, 5, 0, "Send Secondary ROM Image"},
      {kPort, 3, 0, ""},
      {kPort, 3, 100, ""},
      {kPort, 5, 100, "Write NFB Image Complete"},
  };
  EXPECT_EQ(ReportRecorder::Log(), want);
}

TEST_F(NfbTest, EmptySecondaryImageIsGivenUpAfterTheData) {
  Bytes rom(100, 0x02);
  ImageDesc r1{rom.data(), 100, 0}, r2{nullptr, 0, 0x4000};
  ScriptStart(link_);
  ScriptPackets(link_, rom);
  link_.AddRead({0x5A, 0x5A});
  link_.ExpectWrite8(0x5A).ExpectWrite16(200).AddRead8(0x5A);
  link_.ExpectWrite8(0xA5);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWriteNfb(&link_, &r1, &r2, kPort), kWriteFailed);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), ".");
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(NfbTest, PacketNotAcceptedOrSilentAgentFails) {
  Bytes rom(10, 0x02);
  ImageDesc r1{rom.data(), 10, 0}, r2{rom.data(), 10, 0};
  {
    FakeLink l;
    ScriptStart(l);
    l.ExpectWrite(rom).ExpectWrite16(20).AddRead8(0x5A);  // 0x69 was due
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(AgentWriteNfb(&l, &r1, &r2, kPort), kWriteFailed);
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(l.VerifyConsumed());
  }
  {
    Limits().statusByteMs = 100;
    FakeLink l;
    ScriptStart(l);
    l.ExpectWrite(rom).ExpectWrite16(20);  // then nothing
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(AgentWriteNfb(&l, &r1, &r2, kPort), kWriteFailed);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(l.unscripted_reads(), 5u);  // 100 ms at 20 + 1 ms per read
  }
}

}  // namespace
}  // namespace vantrel::testing
