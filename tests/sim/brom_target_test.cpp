// The simulated boot ROM as a host sees it over the pty.
#include "tests/sim/test_host.h"

namespace vantrel::testing {
using namespace vantrel::sim;
namespace {

TEST(SimBootRom, HandshakeAnswersComplementsAndRestartsOnAWrongByte) {
  Rig rig;
  TestHost& h = *rig.host;
  h.Send8(0x33);                       // noise before the sequence: ignored
  EXPECT_TRUE(h.Quiet());
  h.Send8(0xA0);
  EXPECT_EQ(h.Recv8(), 0x5F);
  h.Send8(0x0A);
  EXPECT_EQ(h.Recv8(), 0xF5);
  h.Send8(0x05);                       // out of order: the sequence restarts
  EXPECT_TRUE(h.Quiet());
  h.Send8(0x50);                       // no longer the expected byte
  EXPECT_TRUE(h.Quiet());
  h.Handshake();
  PhoneRecord r = rig.phone.Record();
  EXPECT_EQ(r.handshakes, 1u);
  EXPECT_EQ(r.handshakeRestarts, 1u);
}

TEST(SimBootRom, WrongComplementFaultMakesTheHostStartAgain) {
  PhoneConfig cfg;
  cfg.faults.wrongComplementAt = 2;
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.Send8(0xA0);
  EXPECT_EQ(h.Recv8(), 0x5F);
  h.Send8(0x0A);
  EXPECT_EQ(h.Recv8(), 0xF5);
  h.Send8(0x50);
  EXPECT_NE(h.Recv8(), 0xAF);
  h.Handshake();                       // a fresh start succeeds
  h.Write16(0x801E0000, 0x2200);
  PhoneRecord r = rig.phone.Record();
  EXPECT_EQ(r.handshakes, 1u);
  ASSERT_EQ(r.faults.size(), 1u);
}

TEST(SimBootRom, EchoesCommandsAndValuesAndKeepsRegisters) {
  Rig rig;
  TestHost& h = *rig.host;
  h.Handshake();
  h.Write16(0x801E0000, 0x2200);
  h.Write16(0x800C0050, 0xA357);
  EXPECT_EQ(h.Read16(0x800C0050), 0xA357);
  EXPECT_EQ(h.Read16(0x800C0058), 0x12CF);
  PhoneRecord r = rig.phone.Record();
  ASSERT_EQ(r.registerWrites.size(), 2u);
  EXPECT_EQ(r.registerWrites[0].address, 0x801E0000u);
  EXPECT_EQ(r.registerWrites[0].value, 0x2200);
}

TEST(SimBootRom, PowerKeyBusyBitsClearAfterTheConfiguredPolls) {
  PhoneConfig cfg;
  cfg.powerKeyBusyPolls = 3;
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.Handshake();
  // Busy right after power-on, then clear.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h.Read16(0x800C0000) & 0x00C0, 0x00C0);
  EXPECT_EQ(h.Read16(0x800C0000) & 0x00C0, 0);
  // Every trigger makes it busy again.
  h.Write16(0x800C0074, 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h.Read16(0x800C0000) & 0x00C0, 0x00C0);
  EXPECT_EQ(h.Read16(0x800C0000) & 0x00C0, 0);
  // The busy bits cannot be written.
  h.Write16(0x800C0000, 0x43CE);
  h.Write16(0x800C0074, 0);
  EXPECT_EQ(h.Read16(0x800C0000), 0x430E);
  EXPECT_EQ(rig.phone.Record().busyPolls, 6u);
}

TEST(SimBootRom, StartsLatchedWhenConfigured) {
  PhoneConfig cfg;
  cfg.powerKeyLatched = true;
  Rig rig(cfg);
  rig.host->Handshake();
  EXPECT_EQ(rig.host->Read16(0x800C0050), 0xA357);
  EXPECT_EQ(rig.host->Read16(0x800C0054), 0x67D2);
}

TEST(SimBootRom, LoadChecksumIsTheXorOfTheImageWordsAsSentPairSwapped) {
  Rig rig;
  TestHost& h = *rig.host;
  h.Handshake();
  h.Load(0x50044000, {0x11, 0x22, 0x33, 0x44});
  EXPECT_EQ(h.Checksum(0x50044000, 2), 0x2211 ^ 0x4433);
  // A longer image in several writes.
  Bytes image(3000);
  uint16_t expect = 0;
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  for (size_t i = 0; i < image.size(); i += 2) expect ^= static_cast<uint16_t>(image[i] | image[i + 1] << 8);
  h.Load(0x40001400, image);
  EXPECT_EQ(h.Checksum(0x40001400, 1500), expect);
  PhoneRecord r = rig.phone.Record();
  ASSERT_EQ(r.daLoads.size(), 2u);
  EXPECT_EQ(r.daLoads[1].address, 0x40001400u);
  EXPECT_EQ(r.daLoads[1].words, 1500u);
  EXPECT_EQ(r.daLoads[1].xorOfData, expect);
}

TEST(SimBootRom, WrongChecksumFaultStrikesTheChosenLoad) {
  PhoneConfig cfg;
  cfg.faults.wrongChecksumAtLoad = 2;
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.Handshake();
  h.Load(0x40001400, {1, 2, 3, 4});
  EXPECT_EQ(h.Checksum(0x40001400, 2), 0x0201 ^ 0x0403);
  h.Load(0x50044000, {1, 2, 3, 4});
  EXPECT_NE(h.Checksum(0x50044000, 2), 0x0201 ^ 0x0403);
  PhoneRecord r = rig.phone.Record();
  EXPECT_TRUE(r.checksums.at(1).deliberatelyWrong);
  EXPECT_TRUE(r.daLoads.at(0).checked);
  EXPECT_TRUE(r.daLoads.at(0).answeredRight);
  EXPECT_TRUE(r.daLoads.at(1).checked);
  EXPECT_FALSE(r.daLoads.at(1).answeredRight);
}

TEST(SimBootRom, EchoMismatchFaultCorruptsTheChosenCommand) {
  PhoneConfig cfg;
  cfg.faults.echoMismatch = *FaultPoint::Parse("brom:0xA2#2");
  Rig rig(cfg);
  TestHost& h = *rig.host;
  h.Handshake();
  h.Read16(0x800C0050);
  h.Send8(0xA2);
  EXPECT_EQ(h.Recv8(), 0xA2 ^ 0xFF);
}

TEST(SimBootRom, JumpToTheLoadedAgentStartsIt) {
  Rig rig;
  rig.host->BootIntoAgent();
  Bytes first = rig.host->Recv(4);
  EXPECT_EQ(first, (Bytes{0xC0, 0x03, 0x02, 0x14}));
  EXPECT_EQ(rig.phone.Record().jumpAddress, 0x40001400u);
}

TEST(SimBootRom, JumpWithoutAgentLeavesThePhoneSilent) {
  Rig rig;
  rig.host->Handshake();
  rig.host->Jump(0x40001400);
  EXPECT_TRUE(rig.host->Quiet(200));
  EXPECT_FALSE(rig.phone.Record().agentStarted);
}

TEST(SimBootRom, SilenceAndHangupStrikeAtTheirPoints) {
  {
    PhoneConfig cfg;
    cfg.faults.silenceAt = *FaultPoint::Parse("brom:0xA1");
    Rig rig(cfg);
    rig.host->Handshake();
    rig.host->Send8(0xA1);
    EXPECT_TRUE(rig.host->Quiet(200));
    EXPECT_TRUE(rig.phone.PortOpen());
  }
  {
    PhoneConfig cfg;
    cfg.faults.hangupAt = *FaultPoint::Parse("brom:handshake#2");
    Rig rig(cfg);
    rig.host->Handshake();
    rig.host->Send8(0xA0);
    EXPECT_TRUE(rig.host->Gone());
    EXPECT_TRUE(rig.phone.WaitEnded(std::chrono::seconds(5)));
    EXPECT_EQ(rig.phone.Record().endReason, "hang-up");
  }
}

TEST(SimBootRom, HangupFromOutsideEndsTheHostsReads) {
  Rig rig;
  rig.host->Handshake();
  rig.phone.Hangup();
  EXPECT_FALSE(rig.phone.PortOpen());
  EXPECT_TRUE(rig.host->Gone());
}

TEST(SimFaultPoint, ParsesNameAndOccurrence) {
  auto p = FaultPoint::Parse("agent:0xBD#3");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->point, "agent:0xBD");
  EXPECT_EQ(p->occurrence, 3u);
  EXPECT_EQ(FaultPoint::Parse("agent:0xDF")->occurrence, 1u);
  EXPECT_FALSE(FaultPoint::Parse("nocolon"));
  EXPECT_FALSE(FaultPoint::Parse("agent:0xBD#"));
  EXPECT_FALSE(FaultPoint::Parse("agent:0xBD#0"));
  EXPECT_FALSE(FaultPoint::Parse("agent:0xBD#x1"));
}

}  // namespace
}  // namespace vantrel::testing
