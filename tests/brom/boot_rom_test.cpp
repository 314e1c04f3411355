// The boot ROM's handshake, echo discipline and register sequences.
#include <gtest/gtest.h>

#include "brom/brom.h"
#include "link/wait.h"
#include "platform/clock.h"
#include "tests/brom/boot_peer.h"
#include "tests/support/fake_link.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

TEST(BootEchoTest, MismatchAndMissingEcho) {
  FakeLink link;
  link.ExpectEcho({0xA1}).ExpectWrite8(0xA1).AddRead8(0xA2);
  link.ExpectWrite32(0x40001400).AddRead({0x40, 0x00});  // half an echo
  EXPECT_EQ(BootSendEcho8(&link, 0xA1), 0);
  EXPECT_EQ(BootSendEcho8(&link, 0xA1), 3);
  EXPECT_EQ(BootSendEcho32(&link, 0x40001400), 2);
  EXPECT_TRUE(link.VerifyConsumed());
}

TEST(BootStartTest, OnlyFourCorrectComplementsInARowEndTheHandshake) {
  FakeLink link;
  link.ExpectWrite8(0xA0).AddRead8(0x5F);
  link.ExpectWrite8(0x0A).AddRead8(0x00).AddReadTimeout();  // wrong: quiet line, start again
  link.ExpectWrite8(0xA0).AddReadTimeout();  // silent: start again
  link.ExpectWrite8(0xA0).AddRead8(0x5F);
  link.ExpectWrite8(0x0A).AddRead8(0xF5);
  link.ExpectWrite8(0x50).AddRead8(0xAF);
  link.ExpectWrite8(0x05).AddRead8(0xFA);
  EXPECT_EQ(BootStart(&link), 0);
  EXPECT_TRUE(link.VerifyConsumed());
}

// A loaded machine: the first 0x5F comes after the read time-out. The host
// must not stay one answer behind: it drops what is in flight and starts over,
// and the next command's echo is its own.
TEST(BootStartTest, LateAnswerPutsTheHandshakeBackInStep) {
  FakeLink link;
  link.ExpectWrite8(0xA0).AddReadTimeout();
  link.ExpectWrite8(0xA0).AddRead8(0x5F);  // the first 0xA0's answer
  link.ExpectWrite8(0x0A).AddRead8(0x5F);  // the second 0xA0's answer
  link.AddRead8(0xF5).AddReadTimeout();    // 0x0A's answer, then quiet
  link.ExpectWrite8(0xA0).AddRead8(0x5F);
  link.ExpectWrite8(0x0A).AddRead8(0xF5);
  link.ExpectWrite8(0x50).AddRead8(0xAF);
  link.ExpectWrite8(0x05).AddRead8(0xFA);
  link.ExpectEcho({0xA1});
  EXPECT_EQ(BootStart(&link), 0);
  EXPECT_EQ(BootSendEcho8(&link, 0xA1), 0);
  EXPECT_TRUE(link.VerifyConsumed());
}

TEST(BootStartTest, SilentPhoneGetsOneA0PerReadTimeoutUntilTheDeadline) {
  ScopedLimits limits;
  Limits().handshakeMs = 210;  // the port's read time-out is 20 + 1 ms
  FakeLink link;
  link.AllowUnscriptedWrites();
  EXPECT_EQ(BootStart(&link), kBootStartFailed);
  EXPECT_EQ(link.written(), Bytes(10, 0xA0));
}

TEST(BootStartTest, GarbageAnswersAlsoUseUpTheDeadline) {
  ScopedLimits limits;
  Limits().handshakeMs = 105;
  FakeLink link;
  link.SetResponder([](FakeLink& l, uint8_t) { l.AddRead8(0x00); });
  EXPECT_EQ(BootStart(&link), kBootStartFailed);
  EXPECT_EQ(link.written().size(), 5u);

  // A line that never goes quiet cannot hold the handshake past its deadline.
  Limits().handshakeMs = 50;
  FakeLink chatty;
  chatty.ExpectWrite8(0xA0).AddRead(Bytes(100, 0x00));
  EXPECT_EQ(BootStart(&chatty), kBootStartFailed);
  EXPECT_EQ(chatty.written().size(), 1u);
}

TEST(BootStartTest, GonePortOrFailedWriteEndsAtOnce) {
  {
    FakeLink link;
    link.ExpectWrite8(0xA0).AddReadFailure();
    EXPECT_EQ(BootStart(&link), kBootStartFailed);
    EXPECT_EQ(link.written().size(), 1u);
  }
  {
    FakeLink link;  // gone while a wrong answer is being dropped
    link.ExpectWrite8(0xA0).AddRead8(0x00).AddReadFailure();
    EXPECT_EQ(BootStart(&link), kBootStartFailed);
    EXPECT_EQ(link.written().size(), 1u);
  }
  {
    FakeLink link;
    link.FailNextWrite();
    EXPECT_EQ(BootStart(&link), kBootStartFailed);
    EXPECT_EQ(link.reads(), 0u);
  }
}

TEST(BootRegisterTest, Write16EndsWithTheValueEcho) {
  FakeLink link;
  link.ExpectEcho({0xA1}).ExpectEcho(Be32(0x801E0000)).ExpectEcho(Be32(1)).ExpectEcho(Be16(0x2200));
  EXPECT_EQ(BootDisableWatchdog(&link), 0);
  EXPECT_TRUE(link.VerifyConsumed());
  uint32_t reads = link.reads();
  EXPECT_EQ(reads, 4u);  // one per echo, nothing after the value
}

TEST(BootRegisterTest, Read16FailsOnAMissingValueAndWriteStopsAtABadEcho) {
  FakeLink link;
  link.ExpectEcho({0xA2}).ExpectEcho(Be32(0x800C0050)).ExpectEcho(Be32(1)).AddReadTimeout();
  link.ExpectEcho({0xA1}).ExpectWrite32(0x801E0000).AddRead32(0x801E0001);
  uint16_t v = 0;
  EXPECT_EQ(BootRead16(&link, 0x800C0050, &v), kBootRead16Failed);
  EXPECT_EQ(BootWrite16(&link, 0x801E0000, 0x2200), kBootWrite16Failed);
  EXPECT_TRUE(link.VerifyConsumed());  // nothing sent after the bad echo
}

using Writes = std::vector<std::pair<uint32_t, uint16_t>>;

TEST(PowerKeyTest, UnlatchedKeyRunsTheWholeSequence) {
  FakeLink link;
  BootPeer peer(link);
  peer.OnHandshakeDone();
  peer.regs[0x800C0058] = 0xABCF;
  EXPECT_EQ(BootLatchPowerKey(&link), 0);
  const Writes want = {
      {0x800C0010, 0},      {0x800C0008, 0},      {0x800C000C, 0},      {0x800C0074, 1},
      {0x800C0050, 0xA357}, {0x800C0054, 0x67D2}, {0x800C0074, 1},      {0x800C0068, 0x586A},
      {0x800C0074, 1},      {0x800C0068, 0x9136}, {0x800C0074, 1},
      {0x800C0058, 0xABC1},  // bits 1 to 3 cleared, every other bit kept
      {0x800C0074, 1},      {0x800C0000, 0x430E}, {0x800C0074, 1},      {0x800C0068, 0},
      {0x800C0074, 1},
  };
  EXPECT_EQ(peer.writes, want);
  // Two idle polls first, six commits polled through two busy answers each,
  // and the load bit checked once more after the key is written.
  EXPECT_EQ(peer.control_reads, 2u + 6u * 3u + 1u);
}

TEST(PowerKeyTest, LatchedKeySkipsToTheProtectionWrite) {
  FakeLink link;
  BootPeer peer(link);
  peer.OnHandshakeDone();
  peer.regs[0x800C0050] = 0xA357;
  peer.regs[0x800C0054] = 0x67D2;
  peer.regs[0x800C0058] = 0x000E;
  EXPECT_EQ(BootLatchPowerKey(&link), 0);
  ASSERT_FALSE(peer.writes.empty());
  EXPECT_EQ(peer.writes.front(), std::make_pair(0x800C0068u, uint16_t(0x586A)));
  EXPECT_EQ(peer.writes.size(), 10u);
  EXPECT_EQ(peer.writes[4], std::make_pair(0x800C0058u, uint16_t(0)));
}

TEST(PowerKeyTest, StuckBusyBitFailsAfterThePollDeadline) {
  ScopedLimits limits;
  Limits().registerPollMs = 50;  // five busy answers at about 10 ms of wire time each
  FakeLink link;
  BootPeer peer(link);
  peer.OnHandshakeDone();
  peer.busy_bit = 0x0080;
  peer.busy_polls = 1000000;
  peer.TriggerBusy();
  EXPECT_EQ(BootLatchPowerKey(&link), kBootPowerKeyFailed);
  EXPECT_EQ(peer.control_reads, 5u);
  EXPECT_TRUE(peer.writes.empty());
}

TEST(PowerKeyTest, PortGoneDuringAPollEndsAtOnce) {
  FakeLink link;
  link.ExpectEcho({0xA2}).ExpectEcho(Be32(0x800C0000)).ExpectEcho(Be32(1)).AddRead16(0x0080);
  link.ExpectEcho({0xA2}).AddReadFailure();
  EXPECT_EQ(BootLatchPowerKey(&link), kBootPowerKeyFailed);
  EXPECT_TRUE(link.VerifyConsumed());
  EXPECT_TRUE(link.Gone());
}

}  // namespace
}  // namespace vantrel::testing
