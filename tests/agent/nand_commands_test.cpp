// The packet sender and the NAND block commands.
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "tests/agent/agent_test_util.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

// --- packets ---

class PacketTest : public AgentTest {};

TEST_F(PacketTest, ShortLastPacketIsZeroFilledAndResentFromItsLeadByte) {
  const Bytes data = Pattern(10);
  const Bytes once = Cat({{0x5A}, data, Bytes(6, 0), Be16(ByteSum(data.data(), 10))});
  link_.ExpectWrite(once).AddRead8(0x00);  // anything but 0x69: send again
  link_.ExpectWrite(once).AddRead8(0x69);
  EXPECT_EQ(AgentSendPackets(&link_, data.data(), 10, 16, true), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
  // The fill goes out a byte at a time.
  EXPECT_EQ(link_.write_sizes(), (std::vector<uint32_t>{1, 10, 1, 1, 1, 1, 1, 1, 2,  //
                                                        1, 10, 1, 1, 1, 1, 1, 1, 2}));
}

TEST_F(PacketTest, AgentMayEndTheTransferEarly) {
  const Bytes data = Pattern(40);
  for (uint8_t stop : {0xA5, 0x96}) {
    FakeLink l;
    l.ExpectWrite(Cat({{0x5A}, Bytes(data.begin(), data.begin() + 16)})).AddRead8(stop);
    EXPECT_EQ(AgentSendPackets(&l, data.data(), 40, 16, false), 0);
    EXPECT_TRUE(l.VerifyConsumed());
  }
}

TEST_F(PacketTest, EndlessResendRequestsAreBounded) {
  const Bytes data = Pattern(8);
  link_.SetResponder([n = 0](FakeLink& l, uint8_t) mutable {
    if (++n % 9 == 0) l.AddRead8(0x00);  // after every lead byte + 8 data bytes
  });
  EXPECT_EQ(AgentSendPackets(&link_, data.data(), 8, 8, false), kWriteFailed);
  EXPECT_EQ(link_.written().size(), 9u * (1 + kMaxPacketResends));
}

TEST_F(PacketTest, FailedWritesAndAGonePort) {
  const Bytes data = Pattern(4);
  link_.ExpectWrite(Cat({{0x5A}, data, {0, 0}})).FailNextWrite();
  EXPECT_EQ(AgentSendPackets(&link_, data.data(), 4, 8, true), kPacketZeroFillFailed);
  link_.ExpectWrite(Cat({{0x5A}, data})).FailNextWrite();
  EXPECT_EQ(AgentSendPackets(&link_, data.data(), 4, 4, true), kPacketChecksumFailed);
  link_.ExpectWrite(Cat({{0x5A}, data})).AddReadFailure();
  EXPECT_EQ(AgentSendPackets(&link_, data.data(), 4, 4, false), kWriteFailed);
  EXPECT_EQ(link_.reads(), 1u);  // a gone port ends the wait at once
  EXPECT_TRUE(link_.VerifyConsumed());
}

// --- block and page writes ---

struct Block {
  Block(uint32_t pages, uint32_t page_size, uint32_t spare_size)
      : main(Pattern(size_t(pages) * page_size, 3)), spare(Pattern(size_t(pages) * spare_size, 200)),
        page_size(page_size), spare_size(spare_size) {}
  // Page p on the wire: its main data, then its spare bytes.
  Bytes Page(uint32_t p) const {
    return Cat({Bytes(main.begin() + p * page_size, main.begin() + (p + 1) * page_size),
                Bytes(spare.begin() + p * spare_size, spare.begin() + (p + 1) * spare_size)});
  }
  Bytes main, spare;
  uint32_t page_size, spare_size;
};

class BlockWriteTest : public AgentTest {
 protected:
  void ScriptCommand(FakeLink& l, uint32_t block, uint32_t ps, uint32_t ss, uint32_t count) {
    l.ExpectWrite(Cat({{0xBD}, Be32(block), Be32(ps), Be32(ss), Be32(count)}));
  }
  void ScriptUnit(FakeLink& l, const Block& b, uint32_t first, uint32_t per_unit, uint8_t answer) {
    Bytes unit = {0x5A};
    for (uint32_t p = first; p < first + per_unit; ++p) unit = Cat({unit, b.Page(p)});
    ASSERT_EQ(unit.size(), 1u + 16896u);
    l.ExpectWrite(unit).AddRead8(answer);
  }
};

TEST_F(BlockWriteTest, LargePageBlockGoesOutInEightUnits) {
  Block b(64, 2048, 64);
  ScriptCommand(link_, 77, 2048, 64, 64);
  link_.AddRead8(0x5A);
  for (uint32_t u = 0; u < 8; ++u) ScriptUnit(link_, b, u * 8, 8, u == 3 ? 0x96 : 0x69);
  link_.AddRead16(0xBEEF);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWriteBlock(&link_, 77, 2048, 64, 64, b.main.data(), b.spare.data(), 0xBEEF), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Write Block num = 77\n");
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(BlockWriteTest, SmallPageBlockIsOneUnitAndItsChecksumIsCompared) {
  Block b(32, 512, 16);
  ScriptCommand(link_, 5, 512, 16, 32);
  link_.AddRead8(0x5A);
  ScriptUnit(link_, b, 0, 32, 0x69);
  link_.AddReadTimeout().AddRead16(0x1234);  // the checksum is waited for
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWriteBlock(&link_, 5, 512, 16, 32, b.main.data(), b.spare.data(), 0x1235),
            kBlockChecksum);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(BlockWriteTest, RefusalCarriesTheBadBlockWord) {
  Block b(32, 512, 16);
  for (uint32_t word : {3041u, 7u}) {
    FakeLink l;
    ScriptCommand(l, 9, 512, 16, 32);
    l.AddRead8(0x00).AddRead32(word);
    ::testing::internal::CaptureStdout();
    int rc = AgentWriteBlock(&l, 9, 512, 16, 32, b.main.data(), b.spare.data(), 0);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, word == 3041 ? kBadBlock : kCommandRefused);
    EXPECT_TRUE(l.VerifyConsumed());
  }
}

TEST_F(BlockWriteTest, UnsoundGeometryIsRefusedBeforeAnythingIsSent) {
  Block b(64, 2048, 64);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWriteBlock(&link_, 1, 1024, 32, 16, b.main.data(), b.spare.data(), 0),
            kCommandRefused);
  EXPECT_EQ(AgentWriteBlock(&link_, 1, 2048, 64, 12, b.main.data(), b.spare.data(), 0),
            kCommandRefused);  // not whole units
  EXPECT_EQ(AgentWriteBlock(&link_, 1, 512, 100, 32, b.main.data(), b.spare.data(), 0),
            kCommandRefused);  // would not fit a unit
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(link_.written().empty());
}

TEST_F(BlockWriteTest, FailedUnitOrSilentAgent) {
  Block b(32, 512, 16);
  Limits().statusByteMs = 1002;  // two reads of 500 + 1 ms
  {
    FakeLink l;
    ScriptCommand(l, 2, 512, 16, 32);
    l.AddRead8(0x5A).FailNextWrite();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(AgentWriteBlock(&l, 2, 512, 16, 32, b.main.data(), b.spare.data(), 0),
              kTransferFailed);
    ::testing::internal::GetCapturedStdout();
  }
  {
    FakeLink l;  // the agent answers after the status deadline
    l.SetTimeouts({0, 1, 500, 1, 5000});
    ScriptCommand(l, 2, 512, 16, 32);
    l.AddReadTimeout().AddReadTimeout().AddRead8(0x5A);  // too late
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(AgentWriteBlock(&l, 2, 512, 16, 32, b.main.data(), b.spare.data(), 0),
              kCommandRefused);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(l.InputQueued(), 1u);
  }
}

class PageWriteTest : public AgentTest {
 protected:
  void ScriptCommand(FakeLink& l, uint32_t block, uint32_t count) {
    l.ExpectWrite(Cat({{0xC0}, Be32(block), Be32(count), Be32(2048), Be32(64), Be32(64)}));
  }
};

TEST_F(PageWriteTest, ThreeListedPages) {
  Block b(64, 2048, 64);
  const uint32_t pages[] = {0, 1, 63};
  ScriptCommand(link_, 300, 3);
  link_.AddRead8(0x5A);
  for (uint32_t p : pages) {
    link_.ExpectWrite32(p).ExpectWrite(Cat({{0x5A}, b.Page(p)})).AddRead8(0x69);
    link_.AddRead16(0).ExpectWrite8(0x5A);
  }
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWritePages(&link_, 300, 3, pages, 2048, 64, 64, b.main.data(), b.spare.data()), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Write Block num = 300\n");
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(PageWriteTest, EmptyListSendsOnlyTheCommand) {
  ScriptCommand(link_, 4, 0);
  link_.AddRead8(0x5A);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWritePages(&link_, 4, 0, nullptr, 2048, 64, 64, nullptr, nullptr), 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(PageWriteTest, RefusalAndBadIndices) {
  Block b(64, 2048, 64);
  const uint32_t pages[] = {2};
  ScriptCommand(link_, 8, 1);
  link_.AddRead8(0x01).AddRead32(3041);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(AgentWritePages(&link_, 8, 1, pages, 2048, 64, 64, b.main.data(), b.spare.data()),
            kBadBlock);
  EXPECT_TRUE(link_.VerifyConsumed());

  const uint32_t outside[] = {1, 64};
  FakeLink l;
  EXPECT_EQ(AgentWritePages(&l, 8, 2, outside, 2048, 64, 64, b.main.data(), b.spare.data()),
            kCommandRefused);
  EXPECT_EQ(AgentWritePages(&l, 8, 1, pages, 4096, 128, 64, b.main.data(), b.spare.data()),
            kCommandRefused);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(l.written().empty());
}

// --- flash read ---

class ReadFlashTest : public AgentTest {
 protected:
  // Command, 0x5A, A = 2048, B = 64, C = 2112, E = 2, then the total.
  void ScriptStart(FakeLink& l, uint32_t address, uint32_t length, uint32_t total) {
    l.ExpectWrite(Cat({{0xDF, 0x01}, Be32(address), Be32(length), Be32(0)})).AddRead8(0x5A);
    l.AddRead(Cat({Be32(2048), Be32(64), Be32(2112)})).ExpectWrite32(2).AddRead32(total);
  }
};

TEST_F(ReadFlashTest, PacketsOf4224BytesAndABadChecksumReadAgain) {
  const Bytes flash = Pattern(8448, 9);
  Bytes first(flash.begin(), flash.begin() + 4224), second(flash.begin() + 4224, flash.end());
  ScriptStart(link_, 0x1000, 0x2000, 8448);
  link_.AddRead(first).AddRead16(ByteSum(first.data(), 4224)).ExpectWrite8(0x5A);
  Bytes spoiled = second;
  spoiled[100] ^= 0x01;
  link_.AddRead(spoiled).AddRead16(ByteSum(second.data(), 4224)).ExpectWrite8(0x69);
  link_.AddRead(second).AddRead16(ByteSum(second.data(), 4224)).ExpectWrite8(0x5A);
  std::vector<uint8_t> dest(8448);
  EXPECT_EQ(AgentReadFlash(&link_, 0x1000, 0x2000, 1, dest.data(), 8448), 0);
  EXPECT_EQ(Bytes(dest.begin(), dest.end()), flash);
  EXPECT_TRUE(link_.VerifyConsumed());
}

// A cancel stops a block read at the next packet: the agent is told to give
// up instead of being asked for the rest.
TEST_F(ReadFlashTest, ACancelStopsTheReadAtThePacketBoundary) {
  const Bytes first = Pattern(4224, 5);
  ScriptStart(link_, 0, 0x2000, 8448);
  link_.AddRead(first).AddRead16(ByteSum(first.data(), 4224)).ExpectWrite8(0xA5);
  link_.channel().Cancel();
  std::vector<uint8_t> dest(8448);
  EXPECT_EQ(AgentReadFlash(&link_, 0, 0x2000, 1, dest.data(), 8448), kCancelled);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(ReadFlashTest, EleventhBadChecksumGivesUp) {
  const Bytes packet = Pattern(4224);
  ScriptStart(link_, 0, 0x800, 4224);
  for (int i = 0; i < 11; ++i) {
    link_.AddRead(packet).AddRead16(ByteSum(packet.data(), 4224) + 1);
    link_.ExpectWrite8(i < 10 ? 0x69 : 0xA5);
  }
  std::vector<uint8_t> dest(4224);
  EXPECT_EQ(AgentReadFlash(&link_, 0, 0x800, 1, dest.data(), 4224), kReadFlashFailed);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(ReadFlashTest, AStreamedReadHandsOverExactlyTheRange) {
  const Bytes flash = Pattern(8448, 3);
  ScriptStart(link_, 0, 0x1800, 0x1800);
  link_.AddRead(Bytes(flash.begin(), flash.begin() + 4224)).AddRead16(ByteSum(flash.data(), 4224)).ExpectWrite8(0x5A);
  link_.AddRead(Bytes(flash.begin() + 4224, flash.end())).AddRead16(ByteSum(flash.data() + 4224, 4224));
  link_.ExpectWrite8(0x5A);
  Bytes got;
  const ReadSink sink = [&](const uint8_t* p, uint32_t n) {
    got.insert(got.end(), p, p + n);
    return true;
  };
  EXPECT_EQ(AgentReadFlashStream(&link_, 0, 0x1800, 1, sink), 0);
  EXPECT_EQ(got, Bytes(flash.begin(), flash.begin() + 0x1800)) << "the last packet's padding is not handed over";
  EXPECT_TRUE(link_.VerifyConsumed());

  // An agent that announces more than the range holds is told to give up
  // before a byte reaches the receiver.
  FakeLink l;
  ScriptStart(l, 0, 0x1800, 0x1801);
  l.ExpectWrite8(0xA5);
  got.clear();
  EXPECT_EQ(AgentReadFlashStream(&l, 0, 0x1800, 1, sink), kReadFlashFailed);
  EXPECT_TRUE(got.empty());
  EXPECT_TRUE(l.VerifyConsumed());
}

TEST_F(ReadFlashTest, AlignmentIsCheckedBeforeAnythingIsSent) {
  std::vector<uint8_t> dest(4224);
  EXPECT_EQ(AgentReadFlash(&link_, 0x1200, 0x800, 1, dest.data(), 4224), kReadMisalignedStart);
  EXPECT_EQ(AgentReadFlash(&link_, 0x1000, 0x900, 1, dest.data(), 4224), kReadMisalignedLength);
  EXPECT_TRUE(link_.written().empty());
}

TEST_F(ReadFlashTest, AnswersThatWouldOverrunTheDestinationAreRefused) {
  std::vector<uint8_t> dest(8448);
  {
    // The agent announces more than the destination holds.
    FakeLink l;
    ScriptStart(l, 0, 0x800, 8449);
    l.ExpectWrite8(0xA5);
    EXPECT_EQ(AgentReadFlash(&l, 0, 0x800, 1, dest.data(), 8448), kReadFlashFailed);
    EXPECT_TRUE(l.VerifyConsumed());
  }
  {
    // The total fits, but its last packet would not.
    FakeLink l;
    ScriptStart(l, 0, 0x800, 4300);
    l.ExpectWrite8(0xA5);
    EXPECT_EQ(AgentReadFlash(&l, 0, 0x800, 1, dest.data(), 8000), kReadFlashFailed);
    EXPECT_TRUE(l.VerifyConsumed());
  }
  // A + B of 0 (no page), C of 0 and a page larger than a read unit (E = 0)
  // all make an empty packet that would never advance the read.
  struct Case { uint32_t a, b, c; bool sends_e; };
  for (Case k : {Case{0, 0, 2112, false}, Case{2048, 64, 0, true}, Case{5000, 0, 10, true}}) {
    FakeLink l;
    l.ExpectWrite(Cat({{0xDF, 0x00}, Be32(0), Be32(0x800), Be32(0)})).AddRead8(0x5A);
    l.AddRead(Cat({Be32(k.a), Be32(k.b), Be32(k.c)}));
    if (k.sends_e) l.ExpectWrite32(k.a == 5000 ? 0 : 2).AddRead32(4224).ExpectWrite8(0xA5);
    EXPECT_EQ(AgentReadFlash(&l, 0, 0x800, 0, dest.data(), 8448), kReadFlashFailed) << k.a;
    EXPECT_TRUE(l.VerifyConsumed());
  }
}

TEST_F(ReadFlashTest, GonePortDuringAPacketEndsTheReadAtOnce) {
  ScriptStart(link_, 0, 0x800, 4224);
  link_.AddRead(Pattern(1000)).AddReadFailure();
  std::vector<uint8_t> dest(4224);
  EXPECT_EQ(AgentReadFlash(&link_, 0, 0x800, 1, dest.data(), 4224), kReadFlashFailed);
  EXPECT_LE(link_.reads(), 8u);
}

// --- erase ---

class FormatTest : public AgentTest {
 protected:
  void ScriptStart(FakeLink& l) {
    l.ExpectWrite(Cat({{0xD4, 0x01, 0x00, 0x01}, Be32(0x40000), Be32(0x20000)}));
    l.AddRead({0x5A, 0x5A});
  }
};

TEST_F(FormatTest, WorkingWorkingDone) {
  ScriptStart(link_);
  link_.AddRead32(3021).AddRead8(10).ExpectWrite8(0x5A);
  link_.AddRead32(3021).AddRead8(60).ExpectWrite8(0x5A);
  link_.AddRead32(0).AddRead8(100).ExpectWrite8(0x5A);
  link_.AddRead({0x5A, 0x5A});
  EXPECT_EQ(AgentFormatRange(&link_, 1, 0, 1, 0x40000, 0x20000), 0);
  EXPECT_TRUE(link_.VerifyConsumed());
}

TEST_F(FormatTest, OtherStatusesAndFailures) {
  {
    FakeLink l;
    ScriptStart(l);
    l.AddRead32(3022).AddRead32(0xABCD).AddRead8(0x69);  // a status the plug-in passes over
    l.AddRead32(0).AddRead8(0).ExpectWrite8(0x5A).AddRead({0x5A, 0x00});
    EXPECT_EQ(AgentFormatRange(&l, 1, 0, 1, 0x40000, 0x20000), kFormatFailed);
    EXPECT_TRUE(l.VerifyConsumed());
  }
  {
    // An agent that reports progress for ever is stopped by the erase deadline.
    Limits().eraseMs = 50;
    FakeLink l;
    ScriptStart(l);
    l.SetResponder([](FakeLink& f, uint8_t) { f.AddRead(Cat({Be32(3021), {0x01}})); });
    l.AddRead32(3021).AddRead8(0x01);
    EXPECT_EQ(AgentFormatRange(&l, 1, 0, 1, 0x40000, 0x20000), kFormatFailed);
    EXPECT_EQ(l.written().size(), 12u + 50u);  // the command, then one 0x5A per round
  }
  {
    FakeLink l;
    l.ExpectWrite(Cat({{0xD4, 0x01, 0x00, 0x01}, Be32(0x40000), Be32(0x20000)}));
    l.AddRead8(0x5A).AddReadFailure();
    EXPECT_EQ(AgentFormatRange(&l, 1, 0, 1, 0x40000, 0x20000), kFormatFailed);
    EXPECT_EQ(l.reads(), 2u);
  }
}

}  // namespace
}  // namespace vantrel::testing
