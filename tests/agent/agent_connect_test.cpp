// The agent's greeting, settings, flash tables and report; shared data and
// the watchdog command.
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "images/carried_images.h"
#include "tests/agent/agent_test_util.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

class ConnectTest : public AgentTest {
 protected:
  Bytes table_a_bytes_ = Pattern(3 * 36, 0x10);
  Bytes table_b_bytes_ = Pattern(2 * 52, 0x20);
  ImageDesc table_a_{table_a_bytes_.data(), uint32_t(table_a_bytes_.size()), 0};
  ImageDesc table_b_{table_b_bytes_.data(), uint32_t(table_b_bytes_.size()), 0};
};

TEST_F(ConnectTest, FullExchangeReportsEveryStep) {
  ScriptConnect(link_, table_a_bytes_);
  EXPECT_EQ(AgentConnect(&link_, &table_a_, &table_b_, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
  const std::vector<ReportRec> want = {
      {kPort, 5, 0, "Start DA Connect"},
      {kPort, 4, 10, "Get DA Version"},
      {kPort, 4, 20, "Get BB chip type"},
      {kPort, 4, 30, "Send BootRom & Bootloader version"},
      {kPort, 4, 40, "Send Chip Select"},
      {kPort, 4, 50, "Send NFI_ACCCON setting"},
      {kPort, 4, 60, "Send Clock setting"},
      {kPort, 4, 70, "Detect NAND Flash"},
      {kPort, 4, 80, "Nand Flash Report"},
      {kPort, 4, 90, "Wait for DA to scan flash content"},
      {kPort, 5, 100, "DA connect complete"},
  };
  EXPECT_EQ(ReportRecorder::Log(), want);
  EXPECT_EQ(clock_.slept(), 6000u);  // both 3000 ms pauses, on the test clock
}

TEST_F(ConnectTest, NoiseAndTimeoutsBeforeTheGreetingAreSkipped) {
  link_.AddRead({0x00, 0xFF}).AddReadTimeout().AddReadTimeout().AddRead8(0x5A);
  ScriptConnect(link_, table_a_bytes_);
  EXPECT_EQ(AgentConnect(&link_, &table_a_, &table_b_, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(ConnectTest, SilentOrGoneAgentEndsTheWaitForTheGreeting) {
  Limits().firstAgentByteMs = 5010;  // ten reads of 500 + 1 ms
  EXPECT_EQ(AgentConnect(&link_, &table_a_, &table_b_, kPort), kAgentConnectFailed);
  EXPECT_EQ(link_.reads(), 10u);

  FakeLink gone;
  gone.AddRead8(0x00).AddReadFailure();
  EXPECT_EQ(AgentConnect(&gone, &table_a_, &table_b_, kPort), kAgentConnectFailed);
  EXPECT_EQ(gone.reads(), 2u);

  // Noise without end is bounded too.
  Limits().firstAgentByteMs = 100;
  FakeLink noisy;
  noisy.AddRead(Bytes(1000, 0x11));
  EXPECT_EQ(AgentConnect(&noisy, &table_a_, &table_b_, kPort), kAgentConnectFailed);
  EXPECT_LE(noisy.reads(), 100u);
}

TEST_F(ConnectTest, VersionAndChipTypeAreChecked) {
  link_.AddRead({0xC0, 0x03, 0x01});
  EXPECT_EQ(AgentConnect(&link_, &table_a_, &table_b_, kPort), kAgentBadVersion);
  EXPECT_TRUE(link_.written().empty());

  FakeLink chip;
  chip.AddRead({0xC0, 0x03, 0x02, 0x16});
  EXPECT_EQ(AgentConnect(&chip, &table_a_, &table_b_, kPort), kUnknownChipType);
  EXPECT_TRUE(chip.written().empty());
}

TEST_F(ConnectTest, AccConValueDependsOnTheChipType) {
  for (uint8_t chip : {0x0F, 0x14, 0x15, 0x20, 0x22}) {
    FakeLink l;
    ScriptConnect(l, table_a_bytes_, chip);  // expects 0x20022113 only for 0x15
    EXPECT_EQ(AgentConnect(&l, &table_a_, &table_b_, kPort), 0) << int(chip);
    EXPECT_TRUE(l.VerifyConsumed());
  }
}

TEST_F(ConnectTest, TableAStopsEarlyAndTableBOnlyWhenAsked) {
  ImageDesc real_a = TableAImage();
  link_.AddRead({0xC0, 0x03, 0x02, 0x20});
  link_.ExpectWrite({0xFF, 0xFE, 0x00, 0x08, 0x00}).ExpectWrite32(0x7007FFFF);
  link_.ExpectWrite8(0x02).ExpectWrite32(0);
  link_.ExpectWrite32(209).AddRead8(0x5A);
  link_.ExpectWrite(Bytes(real_a.data, real_a.data + 36)).AddRead8(0x5A);  // found: stop
  link_.AddRead8(0x5A);  // the agent asks for table B
  link_.ExpectWrite32(2).AddRead8(0x5A);
  link_.ExpectWrite(Bytes(table_b_bytes_.begin(), table_b_bytes_.begin() + 52)).AddRead8(0x01);
  link_.ExpectWrite(Bytes(table_b_bytes_.begin() + 52, table_b_bytes_.end())).AddRead8(0x01);
  link_.AddRead(Bytes(81, 0)).AddRead8(0x5A).AddRead(Bytes(9, 0));
  EXPECT_EQ(AgentConnect(&link_, &real_a, &table_b_, kPort), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(ConnectTest, ScanWaitHasItsOwnDeadline) {
  Limits().flashScanMs = 2004;  // four reads
  // The agent stays silent while it scans.
  FakeLink l;
  l.SetTimeouts({0, 1, 500, 1, 5000});
  l.AddRead({0xC0, 0x03, 0x02, 0x20});
  l.ExpectWrite({0xFF, 0xFE, 0x00, 0x08, 0x00}).ExpectWrite32(0x7007FFFF);
  l.ExpectWrite8(0x02).ExpectWrite32(0).ExpectWrite32(3).AddRead8(0x5A);
  for (int i = 0; i < 3; ++i) {
    l.ExpectWrite(Bytes(table_a_bytes_.begin() + 36 * i, table_a_bytes_.begin() + 36 * (i + 1)));
    l.AddRead8(0x00);
  }
  l.AddRead8(0x00).AddRead(Bytes(81, 0));
  for (int i = 0; i < 4; ++i) l.AddReadTimeout();
  l.AddRead8(0x5A);  // too late: the deadline ended with the fourth time-out
  EXPECT_EQ(AgentConnect(&l, &table_a_, &table_b_, kPort), kAgentConnectFailed);
  EXPECT_EQ(l.InputQueued(), 1u);
}

class SharedDataTest : public AgentTest {};

TEST_F(SharedDataTest, ReadsTheAnnouncedBytes) {
  Bytes payload = Pattern(300);
  ScriptSharedData(link_, 0x10002, payload);
  std::vector<uint8_t> buf(65536, 0xEE);
  uint32_t length = 65536;
  EXPECT_EQ(AgentReadSharedData(&link_, 0x10002, buf.data(), &length), 0);
  EXPECT_EQ(length, 300u);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buf.begin()));
  EXPECT_EQ(buf[300], 0xEE);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(SharedDataTest, LongerThanTheBufferIsReadToTheEndButNotStoredPastIt) {
  Bytes payload = Pattern(100);
  ScriptSharedData(link_, 0x10000, payload);
  link_.ExpectWrite8(0xDB);  // the next command finds the dialogue in step
  std::vector<uint8_t> buf(64 + 8, 0xEE);
  uint32_t length = 64;
  EXPECT_EQ(AgentReadSharedData(&link_, 0x10000, buf.data(), &length), 0);
  EXPECT_EQ(length, 100u);
  EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 64, buf.begin()));
  EXPECT_EQ(buf[64], 0xEE);  // the guard bytes behind the buffer's size are untouched
  EXPECT_EQ(link_.InputQueued(), 0u);
  LinkWrite8(&link_, 0xDB);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(SharedDataTest, AgentStatusAndRefusedTypeEndTheCommand) {
  std::vector<uint8_t> buf(16);
  uint32_t length = 16;
  link_.ExpectWrite8(0xBE).AddRead32(0x1234);  // the agent's status is the result
  link_.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A).ExpectWrite32(0x10001).AddRead8(0x01);
  EXPECT_EQ(AgentReadSharedData(&link_, 0x10001, buf.data(), &length), 0x1234);
  EXPECT_EQ(AgentReadSharedData(&link_, 0x10001, buf.data(), &length), 8);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(SharedDataTest, MissingBytesAreRetriedWithinBoundsAndAGonePortStopsAtOnce) {
  std::vector<uint8_t> buf(16);
  uint32_t length = 16;
  FakeLink l;  // the fourth byte comes late
  l.SetTimeouts({0, 1, 500, 1, 5000});
  l.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A).ExpectWrite32(0x10003).AddRead8(0x5A);
  l.AddRead32(4).AddRead({1, 2, 3}).AddReadTimeout().AddReadTimeout().AddRead8(4);
  EXPECT_EQ(AgentReadSharedData(&l, 0x10003, buf.data(), &length), 0);
  EXPECT_EQ(buf[3], 4);

  Limits().statusByteMs = 2004;  // a silent agent: four time-outs per byte at most
  FakeLink silent;
  silent.SetTimeouts({0, 1, 500, 1, 5000});
  silent.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A).ExpectWrite32(0x10003).AddRead8(0x5A);
  silent.AddRead32(4);
  length = 16;
  EXPECT_EQ(AgentReadSharedData(&silent, 0x10003, buf.data(), &length), 10);
  EXPECT_EQ(silent.unscripted_reads(), 4u);

  FakeLink gone;
  gone.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A).ExpectWrite32(0x10003).AddRead8(0x5A);
  gone.AddRead32(70000).AddRead8(1).AddReadFailure();
  length = 16;
  EXPECT_EQ(AgentReadSharedData(&gone, 0x10003, buf.data(), &length), 10);
  EXPECT_EQ(gone.reads(), 6u);  // status, two acks, length, one byte, the failed read
}

TEST_F(AgentTest, WatchdogCommand) {
  link_.ExpectWrite8(0xDB).ExpectWrite16(0x40).AddRead8(0x5A);
  EXPECT_EQ(AgentEnableWatchdog(&link_, 0x40), 0);
  link_.ExpectWrite8(0xDB).ExpectWrite16(0x40).AddRead8(0x00);
  EXPECT_EQ(AgentEnableWatchdog(&link_, 0x40), kWatchdogFailed);
  link_.ExpectWrite8(0xDB).ExpectWrite16(0x40).AddReadTimeout();
  EXPECT_EQ(AgentEnableWatchdog(&link_, 0x40), kWatchdogFailed);
  EXPECT_TRUE(link_.VerifyConsumed());
}

}  // namespace
}  // namespace vantrel::testing
