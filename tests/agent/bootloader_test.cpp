// The bootloader write: header, data order, packet sums, progress, failures.
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "tests/agent/agent_test_util.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

class BootloaderTest : public AgentTest {
 protected:
  BootloaderTest() {
    info_[88] = 0xAA, info_[89] = 0xBB, info_[90] = 0xCC, info_[91] = 0xDD;
    PutLe32(info_ + 96, 0x12345678);
  }
  void SetSeed(uint32_t seed) { PutLe32(info_ + 92, seed); }

  // Everything up to and including the agent's 0x5A before the data.
  void ScriptHeader(FakeLink& l, uint32_t bl_length, uint32_t bl_sum, uint32_t ext_length,
                    uint32_t ext_sum) {
    l.ExpectWrite8(0xDC).AddRead8(0x5A);
    l.ExpectWrite(Cat({Be32(0x1000), {0xAA, 0xBB, 0xCC, 0xDD}, Be32(bl_length), Be32(0x12345678),
                       Be32(bl_sum), Bytes(32, 0), {0x5A}, Be32(ext_length), Be32(ext_sum)}));
    l.AddRead8(0x5A);
  }
  void ScriptPacket(FakeLink& l, const uint8_t* p, size_t n, uint16_t sum, uint8_t answer = 0x69) {
    l.ExpectWrite(Bytes(p, p + n)).ExpectWrite16(sum).AddRead8(answer);
  }

  uint8_t info_[136] = {};
};

TEST_F(BootloaderTest, HeaderThenExtendedBootloaderFirst) {
  const Bytes bl = {0x01, 0x02, 0x03, 0x04};
  Bytes ext(4097, 0xFF);
  ext[4096] = 0x37;
  ImageDesc bl_img{bl.data(), 4, 0}, ext_img{ext.data(), 4097, 0};
  // Seed 0: the bootloader's checksum is its one word, 0x04030201. The
  // extended image is 1024 words of 0xFFFFFFFF (even count: they cancel) and
  // a last partial word 0x00000037.
  ScriptHeader(link_, 4, 0x04030201, 4097, 0x00000037);
  ScriptPacket(link_, ext.data(), 4096, 0xF000);  // 4096 × 255 mod 65536
  ScriptPacket(link_, ext.data() + 4096, 1, 0x37);
  ScriptPacket(link_, bl.data(), 4, 0x0A);
  link_.AddRead8(0x5A);
  EXPECT_EQ(AgentWriteBootloader(&link_, &bl_img, &ext_img, info_, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
  const std::vector<ReportRec> want = {
      {kPort, 5, 0, "Start Write Bootloader"}, {kPort, 5, 0, "Send ext Bootloader"},
      {kPort, 3, 99, ""},  // 4096 / 4097, truncated
      {kPort, 3, 100, ""},  {kPort, 3, 100, ""},  // end of ext, then the bootloader's one packet
      {kPort, 3, 100, ""},  {kPort, 5, 100, "Write Bootloader Complete"},
  };
  EXPECT_EQ(ReportRecorder::Log(), want);
}

TEST_F(BootloaderTest, SeedAndPartialLastWord) {
  SetSeed(0x11111111);
  const std::vector<uint8_t> bl = {1, 2, 3, 4, 5, 6};  // exactly six bytes
  ImageDesc bl_img{bl.data(), 6, 0}, ext_img{nullptr, 0, 0};
  ScriptHeader(link_, 6, 0x11111111 ^ 0x04030201 ^ 0x00000605, 0, 0x11111111);
  ScriptPacket(link_, bl.data(), 6, 21);
  link_.AddRead8(0x5A);
  EXPECT_EQ(AgentWriteBootloader(&link_, &bl_img, &ext_img, info_, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(BootloaderTest, ProgressRestartsForTheBootloaderAndEmptyExtSendsNothing) {
  Bytes bl(40960, 0x01);
  ImageDesc bl_img{bl.data(), 40960, 0}, ext_img{nullptr, 0, 0};
  ScriptHeader(link_, 40960, 0, 0, 0);  // 10240 equal words cancel out
  for (int i = 0; i < 10; ++i) ScriptPacket(link_, bl.data() + 4096 * i, 4096, 0x1000);
  link_.AddRead8(0x5A);
  EXPECT_EQ(AgentWriteBootloader(&link_, &bl_img, &ext_img, info_, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
  EXPECT_EQ(ReportRecorder::Percents(3),
            (std::vector<uint32_t>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 100}));
  // No transfer report between the stage reports that open the data.
  ASSERT_GE(ReportRecorder::Log().size(), 3u);
  EXPECT_EQ(ReportRecorder::Log()[1].text, "Send ext Bootloader");
  EXPECT_EQ(ReportRecorder::Log()[2], (ReportRec{kPort, 3, 10, ""}));
}

TEST_F(BootloaderTest, RefusedPacketOfExtReadsTheErrorWordButTheBootloaderDoesNot) {
  const Bytes img = {9, 9, 9, 9};
  ImageDesc four{img.data(), 4, 0}, none{nullptr, 0, 0};
  {
    FakeLink l;
    ScriptHeader(l, 4, 0x09090909, 4, 0x09090909);
    ScriptPacket(l, img.data(), 4, 36, 0x00);
    l.AddRead32(0xDEADBEEF);
    EXPECT_EQ(AgentWriteBootloader(&l, &four, &four, info_, kPort), kBootloaderWriteFailed);
    EXPECT_TRUE(l.VerifyConsumed());
    EXPECT_EQ(l.channel().failure(),
              "extended bootloader packet 0: the agent answered 0x00 (error word 3735928559)");
  }
  {
    FakeLink l;
    ScriptHeader(l, 4, 0x09090909, 0, 0);
    ScriptPacket(l, img.data(), 4, 36, 0x00);
    l.AddRead32(0xDEADBEEF);
    EXPECT_EQ(AgentWriteBootloader(&l, &four, &none, info_, kPort), kBootloaderWriteFailed);
    EXPECT_EQ(l.InputQueued(), 4u);  // the word was left unread
  }
}

TEST_F(BootloaderTest, TheTwoWriteFailuresThatGive4008) {
  const Bytes img = {9, 9, 9, 9};
  ImageDesc four{img.data(), 4, 0}, none{nullptr, 0, 0};
  {
    // The 0x5A between the two halves of the header.
    FakeLink l;
    l.ExpectWrite8(0xDC).AddRead8(0x5A);
    l.ExpectWrite(Cat({Be32(0x1000), {0xAA, 0xBB, 0xCC, 0xDD}, Be32(4), Be32(0x12345678),
                       Be32(0x09090909), Bytes(32, 0)}));
    l.FailNextWrite();
    EXPECT_EQ(AgentWriteBootloader(&l, &four, &none, info_, kPort), kWriteFailed);
    EXPECT_TRUE(l.VerifyConsumed());
  }
  {
    // A bootloader packet's sum; the same failure for the ext image is 4014.
    for (bool ext : {false, true}) {
      FakeLink l;
      ScriptHeader(l, 4, 0x09090909, ext ? 4 : 0, ext ? 0x09090909 : 0);
      l.ExpectWrite(img).FailNextWrite();
      int rc = AgentWriteBootloader(&l, &four, ext ? &four : &none, info_, kPort);
      EXPECT_EQ(rc, ext ? kBootloaderWriteFailed : kWriteFailed);
    }
  }
}

// An empty bootloader would have the agent replace the phone's with nothing.
TEST_F(BootloaderTest, EmptyBootloaderIsRefusedBeforeTheFirstByte) {
  const Bytes img = {9, 9, 9, 9};
  ImageDesc four{img.data(), 4, 0}, none{nullptr, 0, 0};
  EXPECT_EQ(AgentWriteBootloader(&link_, &none, &four, info_, kPort), kNoDescriptor);
  EXPECT_TRUE(link_.written().empty());
}

TEST_F(BootloaderTest, GonePortBeforeTheLastAnswerGives4014) {
  const Bytes img = {9, 9, 9, 9};
  ImageDesc four{img.data(), 4, 0}, none{nullptr, 0, 0};
  ScriptHeader(link_, 4, 0x09090909, 0, 0);
  ScriptPacket(link_, img.data(), 4, 36);
  link_.AddReadFailure();
  EXPECT_EQ(AgentWriteBootloader(&link_, &four, &none, info_, kPort), kBootloaderWriteFailed);
  EXPECT_EQ(link_.reads(), 4u);  // the wait for the final 0x5A ended at once
}

}  // namespace
}  // namespace vantrel::testing
