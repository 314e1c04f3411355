// Deadlines that depend on what happened before: the agent's first byte is
// awaited briefly once the boot ROM stage failed, and a shared-data read has
// an overall deadline however its bytes trickle in.
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "tests/support/fake_link.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

// A silent phone: the boot ROM never completes its handshake, then nothing
// answers the agent stage either. Reads that time out cost the link's read
// time-out (20 ms) of each wait's budget, so the reads count the wait.
uint32_t AgentWaitReads(bool boot_failed_first) {
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);
  CMTKClass engine;
  engine.PrepareImages();
  engine.channel().SetLogSink([](const char*) {});
  FakeLink link;
  link.AllowUnscriptedWrites();
  if (boot_failed_first) EXPECT_EQ(engine.ConnectOn(&link), 1);
  EXPECT_EQ(engine.boot_result(), boot_failed_first ? kBootStartFailed : 0);
  const uint32_t before = link.unscripted_reads();
  EXPECT_EQ(engine.DownloadOn(&link), kAgentConnectFailed);
  return link.unscripted_reads() - before;
}

TEST(StageLimits, AfterAFailedBootRomStageTheAgentIsAwaitedOnlyBriefly) {
  const uint32_t brief = AgentWaitReads(true);
  const uint32_t full = AgentWaitReads(false);
  // Each timed-out read spends 1 + 20 ms of the budget.
  EXPECT_LE(brief, kAgentWaitAfterFailedBootMs / 21 + 1);
  EXPECT_GE(full, Limits().firstAgentByteMs / 21);
}

// Each read takes 25 ms of the clock: just inside the 30 s status deadline
// per byte, but 2000 bytes take 50 s.
class SlowLink : public FakeLink {
 public:
  explicit SlowLink(platform::ManualClock* c) : clock_(c) {}
  bool Read(uint8_t* buf, uint32_t n, uint32_t* got) override {
    clock_->Advance(25);
    return FakeLink::Read(buf, n, got);
  }

 private:
  platform::ManualClock* clock_;
};

TEST(StageLimits, ASharedDataReadThatTricklesEndsAtItsOverallDeadline) {
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);
  SlowLink link(&clock);
  link.ExpectWrite8(0xBE).AddRead32(0).AddRead8(0x5A).ExpectWrite32(0x10000).AddRead8(0x5A).AddRead32(2000);
  link.AddRead(Bytes(2000, 0x11));
  uint8_t buf[4096];
  uint32_t length = sizeof buf;
  EXPECT_EQ(AgentReadSharedData(&link, 0x10000, buf, &length), kSharedDataRead);
  // The deadline (30 s + 1 ms a byte) plus the handful of reads before it.
  EXPECT_LE(clock.NowMs(), uint64_t{Limits().statusByteMs} + 2000 + 200);
}

}  // namespace
}  // namespace vantrel::testing
