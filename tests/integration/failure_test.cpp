// A phone that hangs up, goes silent or loses power in the middle: the
// session ends with 0 within its deadline and releases its port.
#include <gtest/gtest.h>

#include "tests/integration/rig.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

pkg::BuiltPackage SmallSample() {
  pkg::SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.fsImages = 1;
  return pkg::BuildSamplePackage(o);
}

class PhoneFault : public ::testing::TestWithParam<const char*> {};

TEST_P(PhoneFault, HangUpEndsTheDownloadAndFreesThePort) {
  Rig rig(512);
  rig.UsePackage(SmallSample());
  sim::PhoneConfig c;
  c.faults.hangupAt = *sim::FaultPoint::Parse(GetParam());
  rig.StartPhone(c);
  RecordingHost host;
  EXPECT_EQ(rig.RunSession(host), 0);
  EXPECT_TRUE(CountdownTexts(host.reports()).empty());
  // The session is gone and holds nothing: a new port on COM40 opens at once.
  PtyPair pty;
  rig.ports().Link(40, pty.slave_path());
  auto port = platform::OpenComPort(40, false);
  EXPECT_NE(port, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Points, PhoneFault,
                         ::testing::Values("brom:handshake", "brom:0xAD", "brom:0xA8", "agent:start", "agent:0xDC", "agent:0xDE",
                                           "agent:0xDF", "agent:0xBD", "agent:packet#40"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(PhoneFaults, ASilentPhoneEndsTheDownloadAtItsDeadline) {
  Rig rig(512);
  rig.UsePackage(SmallSample());
  Limits().statusByteMs = 1500;  // three read time-outs of 500 ms
  sim::PhoneConfig c;
  c.faults.silenceAt = *sim::FaultPoint::Parse("agent:0xDE");
  rig.StartPhone(c);
  RecordingHost host;
  EXPECT_EQ(rig.RunSession(host), 0);
}

// Blocks whose page 0 carries the info-block marker.
size_t InfoBlocks(const sim::Flash& flash) {
  const auto& g = flash.geometry();
  size_t n = 0;
  for (uint32_t block : flash.UsedBlocks()) {
    sim::Bytes page0 = flash.ReadPage(block, 0);
    n += page0[g.pageSize + 2] == 0x0F && page0[g.pageSize + 3] == 0x0D;
  }
  return n;
}

class PowerCut : public ::testing::TestWithParam<int> {};

TEST_P(PowerCut, NearTheEndOfTheFsWriteLeavesAnInfoBlockOnTheFlash) {
  Rig rig(512);
  rig.UsePackage(SmallSample());
  rig.StartPhone();
  RecordingHost first;
  ASSERT_EQ(rig.RunSession(first), 1);
  ASSERT_EQ(InfoBlocks(rig.flash()), 1u);
  const std::string state = rig.ports().path() + "/after-first.state";
  ASSERT_TRUE(rig.flash().Save(state));

  // How many erase/program operations the same download takes the second time.
  rig.StartPhone();
  RecordingHost measure;
  ASSERT_EQ(rig.RunSession(measure), 1);
  const uint64_t ops = rig.phone().Record().flashOps;

  // Again from the first download's flash, cut during the last operations:
  // the last data blocks and the info block commit.
  rig.set_flash(sim::Flash::FromFile(state));
  sim::PhoneConfig c;
  c.faults.powerCutAfterOps = static_cast<long>(ops) - GetParam();
  rig.StartPhone(c);
  RecordingHost second;
  EXPECT_EQ(rig.RunSession(second), 0);
  EXPECT_GE(InfoBlocks(rig.flash()), 1u) << "the phone's previous info block is never lost";
}

INSTANTIATE_TEST_SUITE_P(OpsBeforeTheEnd, PowerCut, ::testing::Values(1, 2, 3, 5, 8, 13));

}  // namespace
}  // namespace vantrel::testing
