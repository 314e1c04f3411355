// The simulated agent's NAND block commands against its flash.
#include "tests/sim/test_host.h"

namespace vantrel::testing {
using namespace vantrel::sim;
namespace {

constexpr uint32_t kUnit = 16896;

// A block's raw bytes (pages of main + spare) with a recognisable pattern.
Bytes PatternBlock(const Geometry& g, uint8_t seed) {
  Bytes b(g.blockRawBytes());
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
  return b;
}

uint16_t XorMain(const Geometry& g, const Bytes& raw) {
  uint16_t x = 0;
  for (uint32_t p = 0; p < g.pagesPerBlock; ++p) {
    size_t base = size_t{p} * g.pageRawBytes();
    for (uint32_t i = 0; i < g.pageSize; i += 2) x ^= static_cast<uint16_t>(raw[base + i] | raw[base + i + 1] << 8);
  }
  return x;
}

struct BlockAnswer {
  uint8_t status = 0;
  uint32_t error = 0;
  uint16_t checksum = 0;
  std::vector<uint8_t> unitAnswers;
};

// 0xBD as a host sends it; a unit answered with anything but 0x69/0x96 is
// sent again.
BlockAnswer WriteBlock(TestHost& h, const Geometry& g, uint32_t block, const Bytes& raw) {
  BlockAnswer a;
  h.Send8(0xBD);
  for (uint32_t v : {block, g.pageSize, g.spareSize, g.pagesPerBlock}) h.SendBe32(v);
  a.status = h.Recv8();
  if (a.status != 0x5A) {
    a.error = h.RecvBe32();
    return a;
  }
  for (size_t off = 0; off < raw.size(); off += kUnit) {
    for (int tries = 0; tries < 5; ++tries) {
      h.Send8(0x5A);
      h.Send(Bytes(raw.begin() + off, raw.begin() + off + kUnit));
      uint8_t ans = h.Recv8();
      a.unitAnswers.push_back(ans);
      if (ans == 0x69 || ans == 0x96) break;
    }
  }
  a.checksum = h.RecvBe16();
  return a;
}

// 0xDF: returns the bytes read (T of them) and the (A, B, C) triple.
Bytes ReadFlash(TestHost& h, uint8_t mode, uint32_t start, uint32_t len, uint32_t abc[3],
                unsigned* resent = nullptr) {
  h.Send8(0xDF);
  h.Send8(mode);
  h.SendBe32(start);
  h.SendBe32(len);
  h.SendBe32(0);
  EXPECT_EQ(h.Recv8(), 0x5A);
  for (int i = 0; i < 3; ++i) abc[i] = h.RecvBe32();
  uint32_t e = 4224 / (abc[0] + abc[1]);
  h.SendBe32(e);
  uint32_t total = h.RecvBe32();
  Bytes out;
  while (out.size() < total) {
    Bytes packet = h.Recv(size_t{e} * abc[2]);
    uint16_t sum = h.RecvBe16();
    if (packet.size() != size_t{e} * abc[2]) break;
    if (Sum16(packet) != sum) {
      if (resent) ++*resent;
      h.Send8(0x69);
      continue;
    }
    out.insert(out.end(), packet.begin(), packet.end());
    h.Send8(0x5A);
  }
  out.resize(total);
  return out;
}

struct AgentRig : Rig {
  explicit AgentRig(PhoneConfig cfg = {}, Geometry g = Geometry::SmallPage())
      : Rig(cfg, std::make_shared<Flash>(g)) {
    host->BootIntoAgent();
    host->Connect();
  }
};

class SimNandBothGeometries : public ::testing::TestWithParam<Geometry> {};

TEST_P(SimNandBothGeometries, BlockWriteErasesThenProgramsAndReadsBack) {
  const Geometry g = GetParam();
  AgentRig rig({}, g);
  TestHost& h = *rig.host;
  // Old content that a write without erase would AND into the new data.
  Bytes junk(g.pageRawBytes(), 0x0F);
  rig.flash->ProgramPage(7, 0, junk.data(), junk.size());
  Bytes raw = PatternBlock(g, 1);
  BlockAnswer a = WriteBlock(h, g, 7, raw);
  ASSERT_EQ(a.status, 0x5A);
  EXPECT_EQ(a.unitAnswers.size(), g.blockRawBytes() / kUnit);  // 1 or 8 units
  EXPECT_EQ(a.checksum, XorMain(g, raw));
  EXPECT_EQ(rig.flash->ReadBlock(7), raw);

  uint32_t abc[3];
  Bytes withSpare = ReadFlash(h, 0, 7 * g.blockMainBytes(), g.blockMainBytes(), abc);
  EXPECT_EQ(abc[0], g.pageSize);
  EXPECT_EQ(abc[1], g.spareSize);
  EXPECT_EQ(abc[2], g.pageRawBytes());
  EXPECT_EQ(withSpare, raw);
  Bytes mainOnly = ReadFlash(h, 1, 7 * g.blockMainBytes(), g.blockMainBytes(), abc);
  EXPECT_EQ(abc[1], 0u);
  EXPECT_EQ(abc[2], g.pageSize);
  Bytes expectMain;
  for (uint32_t p = 0; p < g.pagesPerBlock; ++p) {
    auto it = raw.begin() + p * g.pageRawBytes();
    expectMain.insert(expectMain.end(), it, it + g.pageSize);
  }
  EXPECT_EQ(mainOnly, expectMain);
}

TEST_P(SimNandBothGeometries, FactoryBadAndFailingBlocksAreRefusedWith3041) {
  const Geometry g = GetParam();
  auto flash = std::make_shared<Flash>(g);
  flash->MarkFactoryBad(20);
  flash->SetFailing(21);
  Rig rig({}, flash);
  rig.host->BootIntoAgent();
  rig.host->Connect();
  for (uint32_t b : {20u, 21u}) {
    BlockAnswer a = WriteBlock(*rig.host, g, b, PatternBlock(g, 2));
    EXPECT_NE(a.status, 0x5A);
    EXPECT_EQ(a.error, 3041u);
  }
  // Pages too.
  TestHost& h = *rig.host;
  h.Send8(0xC0);
  for (uint32_t v : {21u, 1u, g.pageSize, g.spareSize, g.pagesPerBlock}) h.SendBe32(v);
  EXPECT_NE(h.Recv8(), 0x5A);
  EXPECT_EQ(h.RecvBe32(), 3041u);
  EXPECT_EQ(rig.phone.Record().refusedBlocks, (std::vector<uint32_t>{20, 21, 21}));
  // The factory marks are where the host's bad-block test looks.
  Bytes raw = flash->ReadBlock(20);
  if (g.pageSize == 512) {
    EXPECT_EQ(raw[517], 0);
    EXPECT_EQ(raw[528 + 517], 0);
  } else {
    EXPECT_EQ(raw[2048], 0);
    EXPECT_EQ(raw[2049], 0);
    EXPECT_EQ(raw[2112 + 2048], 0);
  }
  // A block in another geometry is refused with a different word.
  h.Send8(0xBD);
  for (uint32_t v : {5u, g.pageSize == 512 ? 2048u : 512u, 64u, 64u}) h.SendBe32(v);
  EXPECT_NE(h.Recv8(), 0x5A);
  EXPECT_NE(h.RecvBe32(), 3041u);
}

INSTANTIATE_TEST_SUITE_P(Geometries, SimNandBothGeometries,
                         ::testing::Values(Geometry::SmallPage(), Geometry::LargePage()),
                         [](const auto& info) { return info.param.pageSize == 512 ? "Small" : "Large"; });

TEST(SimNand, PageWriteErasesTheBlockAndProgramsOnlyListedPages) {
  Geometry g = Geometry::LargePage();
  AgentRig rig({}, g);
  TestHost& h = *rig.host;
  Bytes old = PatternBlock(g, 9);
  ASSERT_EQ(WriteBlock(h, g, 3, old).status, 0x5A);
  h.Send8(0xC0);
  for (uint32_t v : {3u, 3u, g.pageSize, g.spareSize, g.pagesPerBlock}) h.SendBe32(v);
  ASSERT_EQ(h.Recv8(), 0x5A);
  Bytes page(g.pageRawBytes(), 0x42);
  for (uint32_t p : {0u, 1u, 63u}) {
    h.SendBe32(p);
    h.Send8(0x5A);
    h.Send(page);
    EXPECT_EQ(h.Recv8(), 0x69);
    h.RecvBe16();
    h.Send8(0x5A);
  }
  // An empty list erases the block and nothing else.
  h.Send8(0xC0);
  for (uint32_t v : {4u, 0u, g.pageSize, g.spareSize, g.pagesPerBlock}) h.SendBe32(v);
  EXPECT_EQ(h.Recv8(), 0x5A);
  h.Sync();                         // in step: the next command is answered
  for (uint32_t p = 0; p < g.pagesPerBlock; ++p) {
    Bytes expect = (p == 0 || p == 1 || p == 63) ? page : Bytes(g.pageRawBytes(), 0xFF);
    EXPECT_EQ(rig.flash->ReadPage(3, p), expect) << "page " << p;
  }
  EXPECT_TRUE(rig.flash->IsErased(4));
  EXPECT_EQ(rig.phone.Record().pagesWritten, 3u);
}

TEST(SimNand, WritePacketFaultsAskForResendAndStopAUnit) {
  PhoneConfig cfg;
  cfg.faults.resendWritePackets = 2;
  cfg.faults.stopAnswerAtPacket = 5;  // packets 1, 2 resent; 3 taken; 4 taken; 5 answered 0x96
  Geometry g = Geometry::LargePage();
  AgentRig rig(cfg, g);
  Bytes raw = PatternBlock(g, 3);
  BlockAnswer a = WriteBlock(*rig.host, g, 9, raw);
  ASSERT_EQ(a.status, 0x5A);
  ASSERT_GE(a.unitAnswers.size(), 5u);
  EXPECT_NE(a.unitAnswers[0], 0x69);
  EXPECT_NE(a.unitAnswers[1], 0x69);
  EXPECT_EQ(a.unitAnswers[2], 0x69);
  EXPECT_EQ(a.unitAnswers[4], 0x96);
  EXPECT_EQ(a.unitAnswers.size(), 10u);  // 8 units + 2 resends
  EXPECT_EQ(rig.flash->ReadBlock(9), raw);
  EXPECT_EQ(rig.phone.Record().writePacketsResent, 2u);
}

TEST(SimNand, CorruptedReadPacketsAreSentAgainOnRequest) {
  PhoneConfig cfg;
  cfg.faults.corruptReadPackets = 3;
  Geometry g = Geometry::SmallPage();
  AgentRig rig(cfg, g);
  Bytes raw = PatternBlock(g, 5);
  ASSERT_EQ(WriteBlock(*rig.host, g, 2, raw).status, 0x5A);
  uint32_t abc[3];
  unsigned resent = 0;
  EXPECT_EQ(ReadFlash(*rig.host, 0, 2 * g.blockMainBytes(), g.blockMainBytes(), abc, &resent), raw);
  EXPECT_EQ(resent, 3u);
  rig.host->Sync();
  ASSERT_EQ(rig.phone.Record().reads.size(), 1u);
  EXPECT_EQ(rig.phone.Record().reads[0].resent, 3u);
}

TEST(SimNand, ReadAbortedByTheHostEndsTheCommand) {
  Geometry g = Geometry::SmallPage();
  AgentRig rig({}, g);
  TestHost& h = *rig.host;
  h.Send8(0xDF);
  h.Send8(1);
  h.SendBe32(0);
  h.SendBe32(4 * g.blockMainBytes());
  h.SendBe32(0);
  ASSERT_EQ(h.Recv8(), 0x5A);
  h.Recv(12);
  h.SendBe32(8);
  EXPECT_EQ(h.RecvBe32(), 4 * g.blockMainBytes());
  EXPECT_EQ(h.Recv(4096).size(), 4096u);
  h.RecvBe16();
  h.Send8(0xA5);
  h.Sync();
  EXPECT_TRUE(rig.phone.Record().reads.at(0).aborted);
}

TEST(SimNand, FormatReportsProgressAndKeepsFactoryBadMarks) {
  Geometry g = Geometry::SmallPage();
  auto flash = std::make_shared<Flash>(g);
  flash->MarkFactoryBad(101);
  PhoneConfig cfg;
  cfg.formatProgressSteps = 2;
  Rig rig(cfg, flash);
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  for (uint32_t b : {100u, 102u, 103u}) ASSERT_EQ(WriteBlock(h, g, b, PatternBlock(g, 1)).status, 0x5A);
  h.Send8(0xD4);
  h.Send({1, 0, 1});
  h.SendBe32(100 * g.blockMainBytes());
  h.SendBe32(3 * g.blockMainBytes());   // blocks 100..102
  EXPECT_EQ(h.Recv8(), 0x5A);
  EXPECT_EQ(h.Recv8(), 0x5A);
  std::vector<uint32_t> statuses;
  for (;;) {
    uint32_t s = h.RecvBe32();
    statuses.push_back(s);
    h.Recv8();
    h.Send8(0x5A);
    if (s != 3021) break;
  }
  EXPECT_EQ(statuses, (std::vector<uint32_t>{3021, 3021, 0}));
  EXPECT_EQ(h.Recv(2), (Bytes{0x5A, 0x5A}));
  h.Sync();
  EXPECT_TRUE(flash->IsErased(100));
  EXPECT_TRUE(flash->IsErased(102));
  EXPECT_FALSE(flash->IsErased(103));
  EXPECT_EQ(flash->ReadBlock(101)[517], 0);
  PhoneRecord r = rig.phone.Record();
  ASSERT_EQ(r.formats.size(), 1u);
  EXPECT_EQ(r.formats[0].erased, 2u);
}

TEST(SimNand, PowerCutAfterTheKthOperationLeavesAHalfWrittenBlockAndNoPort) {
  PhoneConfig cfg;
  cfg.faults.powerCutAfterOps = 4;  // erase, then pages 0, 1, 2 of the block
  Geometry g = Geometry::SmallPage();
  AgentRig rig(cfg, g);
  Bytes raw = PatternBlock(g, 4);
  TestHost& h = *rig.host;
  h.Send8(0xBD);
  for (uint32_t v : {11u, g.pageSize, g.spareSize, g.pagesPerBlock}) h.SendBe32(v);
  ASSERT_EQ(h.Recv8(), 0x5A);
  h.Send8(0x5A);
  h.Send(raw);
  EXPECT_TRUE(h.Gone());
  EXPECT_TRUE(rig.phone.WaitEnded(std::chrono::seconds(5)));
  EXPECT_EQ(rig.phone.Record().endReason, "power cut");
  EXPECT_EQ(rig.phone.Record().flashOps, 4u);
  EXPECT_EQ(rig.flash->ReadPage(11, 2), Bytes(raw.begin() + 2 * 528, raw.begin() + 3 * 528));
  EXPECT_EQ(rig.flash->ReadPage(11, 3), Bytes(528, 0xFF));
}

TEST(SimNand, HangupInTheMiddleOfAReadEndsThePort) {
  PhoneConfig cfg;
  cfg.faults.hangupAt = *FaultPoint::Parse("agent:readpacket#2");
  Geometry g = Geometry::SmallPage();
  AgentRig rig(cfg, g);
  TestHost& h = *rig.host;
  h.Send8(0xDF);
  h.Send8(0);
  h.SendBe32(0);
  h.SendBe32(g.blockMainBytes());
  h.SendBe32(0);
  ASSERT_EQ(h.Recv8(), 0x5A);
  h.Recv(12);
  h.SendBe32(8);
  h.RecvBe32();
  EXPECT_EQ(h.Recv(4226).size(), 4226u);
  h.Send8(0x5A);
  EXPECT_TRUE(h.Gone());
  EXPECT_FALSE(rig.phone.PortOpen());
}

TEST(SimNand, BadReadArgumentsAreRefused) {
  Geometry g = Geometry::SmallPage();
  AgentRig rig({}, g);
  TestHost& h = *rig.host;
  h.Send8(0xDF);
  h.Send8(1);
  h.SendBe32(static_cast<uint32_t>(g.mainBytes()));  // beyond the flash
  h.SendBe32(2048);
  h.SendBe32(0);
  EXPECT_NE(h.Recv8(), 0x5A);
  h.Sync();
  EXPECT_FALSE(rig.phone.Record().problems.empty());
}

}  // namespace
}  // namespace vantrel::testing
