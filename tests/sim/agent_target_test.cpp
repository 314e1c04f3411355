// The simulated agent's connect sequence and small commands.
#include <thread>

#include "tests/sim/test_host.h"

namespace vantrel::testing {
using namespace vantrel::sim;
namespace {

TEST(SimAgentConnect, TakesSettingsTablesAndSendsTheReport) {
  Rig rig;
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  Bytes report = h.Connect(5, 3);
  // First field group: status 0, then page size 512 at bytes 6..7.
  EXPECT_EQ(report[0] | report[1] | report[2] | report[3], 0);
  EXPECT_EQ(report[6] << 8 | report[7], 512);
  h.Sync();
  PhoneRecord r = rig.phone.Record();
  EXPECT_TRUE(r.connected);
  EXPECT_EQ(r.settings, (Bytes{0xFF, 0xFE, 0x00, 0x08, 0x00}));
  EXPECT_EQ(r.nfiAcccon, 0x7007FFFFu);
  EXPECT_EQ(r.clockByte, 0x02);
  EXPECT_EQ(r.tableACount, 5u);
  EXPECT_EQ(r.tableA.size(), 5u * 36);
  EXPECT_EQ(r.tableA[36 * 4], 4);     // records arrive in order
  EXPECT_TRUE(r.tableBRequested);
  EXPECT_EQ(r.tableB.size(), 3u * 52);
}

TEST(SimAgentConnect, StopsTableAEarlyAndSkipsTableBWhenConfigured) {
  PhoneConfig cfg;
  cfg.tableAStopAfter = 1;
  cfg.wantTableB = false;
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  EXPECT_EQ(h.Recv(4), (Bytes{0xC0, 0x03, 0x02, 0x14}));
  h.Send({0xFF, 0xFE, 0x00, 0x08, 0x00});
  h.SendBe32(0x20022113);
  h.Send8(0x02);
  h.SendBe32(0);
  EXPECT_EQ(h.SendTable(209, 36), 1u);  // 0x5A after the first record
  EXPECT_NE(h.Recv8(), 0x5A);           // no table B wanted
  EXPECT_EQ(h.Recv(81).size(), 81u);    // the report follows at once
  EXPECT_EQ(h.Recv8(), 0x5A);
  PhoneRecord r = rig.phone.Record();
  EXPECT_EQ(r.tableACount, 209u);
  EXPECT_EQ(r.tableA.size(), 36u);
  EXPECT_FALSE(r.tableBRequested);
  EXPECT_EQ(r.nfiAcccon, 0x20022113u);
}

TEST(SimAgentConnect, GarbageVersionAndChipTypeAreConfigurable) {
  PhoneConfig cfg;
  cfg.faults.garbageBeforeC0 = {0x00, 0x13, 0xFE};
  cfg.daVersion = {0x03, 0x01};
  cfg.chipType = 0x99;
  Rig rig(cfg);
  rig.host->BootIntoAgent();
  EXPECT_EQ(rig.host->Recv(7), (Bytes{0x00, 0x13, 0xFE, 0xC0, 0x03, 0x01, 0x99}));
}

TEST(SimAgentConnect, SilenceBeforeTheScanResultKeepsThePortOpen) {
  PhoneConfig cfg;
  cfg.faults.silenceAt = *FaultPoint::Parse("agent:scan");
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Recv(4);
  h.Send({0xFF, 0xFE, 0x00, 0x08, 0x00});
  h.SendBe32(0x7007FFFF);
  h.Send8(0x02);
  h.SendBe32(0);
  h.SendTable(2, 36);
  if (h.Recv8() == 0x5A) h.SendTable(1, 52);
  EXPECT_EQ(h.Recv(81).size(), 81u);
  EXPECT_TRUE(h.Quiet(200));
  EXPECT_TRUE(rig.phone.PortOpen());
}

TEST(SimAgentCommands, E0SharedDataAndWatchdog) {
  PhoneConfig cfg;
  cfg.sharedDataLengths[0x10001] = 70000;  // longer than the host's buffer
  cfg.sharedDataLength = 16;
  cfg.sharedDataStatus[3] = 0x1234;        // the third request fails
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  h.Send8(0xE0);
  h.SendBe32(0);
  EXPECT_EQ(h.Recv8(), 0x5A);
  for (uint32_t type : {0x10000u, 0x10001u}) {
    h.Send8(0xBE);
    EXPECT_EQ(h.RecvBe32(), 0u);
    EXPECT_EQ(h.Recv8(), 0x5A);
    h.SendBe32(type);
    EXPECT_EQ(h.Recv8(), 0x5A);
    uint32_t n = h.RecvBe32();
    EXPECT_EQ(n, type == 0x10000 ? 16u : 70000u);
    EXPECT_EQ(h.Recv(n).size(), n);
  }
  h.Send8(0xBE);
  EXPECT_EQ(h.RecvBe32(), 0x1234u);
  h.EndDialogue();
  EXPECT_TRUE(rig.phone.WaitFinished(std::chrono::seconds(5)));
  PhoneRecord r = rig.phone.Record();
  EXPECT_EQ(r.e0Values, (std::vector<uint32_t>{0}));
  EXPECT_EQ(r.sharedDataTypes, (std::vector<uint32_t>{0x10000, 0x10001}));
  EXPECT_EQ(r.watchdogValue, 0x40);
  EXPECT_EQ(r.endReason, "finished");
  EXPECT_TRUE(h.Gone());                   // the phone reset: the port went away
}

TEST(SimAgentCommands, ResetToBootRomBringsANewPortBack) {
  PhoneConfig cfg;
  cfg.afterReset = AfterReset::kBootRom;
  cfg.resetDelayMs = 10;
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  h.EndDialogue();
  EXPECT_TRUE(h.Gone());                  // the old port went away
  for (int i = 0; i < 400 && !rig.phone.PortOpen(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(rig.phone.PortOpen());
  TestHost again(rig.phone.SlavePath());
  ASSERT_TRUE(again.ok());
  again.BootIntoAgent();
  EXPECT_EQ(again.Recv8(), 0xC0);
  EXPECT_EQ(rig.phone.Record().resets, 1u);
  EXPECT_FALSE(rig.phone.Finished());
}

}  // namespace
}  // namespace vantrel::testing
