// What a front end may ask of a session beyond the closed host's dialogue:
// a geometry check before the first write, the info-area read-back shown and
// cancellable, and a reset countdown that ends when the phone has gone.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/integration/rig.h"
#include "tools/pkg/sample.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

pkg::BuiltPackage Sample(uint32_t page_size) {
  pkg::SampleOptions o;
  o.pageSize = page_size;
  o.blockKiB = page_size == 512 ? 16 : 128;
  o.fsImages = 1;
  o.dataBlocks = 2;
  o.extraSections = false;
  return pkg::BuildSamplePackage(o);
}

TEST(FrontEnd, APackageForTheOtherGeometryIsRefusedBeforeTheFirstWrite) {
  Rig rig(512);
  rig.UsePackage(Sample(2048));
  rig.StartPhone();
  RecordingHost host;
  EXPECT_EQ(rig.RunSession(host, 0, [](CBizDownload& s) { s.engine().channel().settings().checkGeometry = true; }),
            0);
  EXPECT_EQ(rig.phone().Record().flashOps, 0u) << "something was erased or programmed";
  EXPECT_EQ(rig.failure_code(), kWrongFlashGeometry);
  EXPECT_NE(rig.failure().find("the package's FS images are for 2048-byte pages; this phone's flash has 512-byte pages"),
            std::string::npos)
      << rig.failure();
}

TEST(FrontEnd, TheInfoAreaReadBackIsShownAndCancelledBetweenBlocks) {
  Rig rig(512);
  rig.UsePackage(Sample(512));
  rig.StartPhone();
  RecordingHost host;
  std::vector<StageEvent> seen;
  EXPECT_EQ(rig.RunSession(host, 0,
                           [&](CBizDownload& s) {
                             Channel* ch = &s.engine().channel();
                             ch->SetEventSink([&seen, ch](const StageEvent& e) {
                               seen.push_back(e);
                               if (e.stage == kStageInfoReadBack && e.done == 1) ch->Cancel();
                             });
                           }),
            0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].stage, kStageInfoReadBack);
  EXPECT_EQ(seen[0].done, 0u);
  EXPECT_EQ(seen[0].total, 16u);  // the sample's reserved pool is the info area
  EXPECT_EQ(rig.failure_code(), kCancelled);
  EXPECT_NE(rig.failure().find("cancelled while reading the info area back; nothing was erased"), std::string::npos)
      << rig.failure();
}

TEST(FrontEnd, TheResetCountdownEndsWhenThePortHasGone) {
  Rig rig(512);
  rig.UsePackage(Sample(512));
  rig.StartPhone();
  RecordingHost host;
  std::vector<StageEvent> seen;
  const int result = rig.RunSession(host, 0, [&](CBizDownload& s) {
    s.engine().channel().settings().resetWaitEndsWhenGone = true;
    s.engine().channel().SetEventSink([&](const StageEvent& e) {
      seen.push_back(e);
      // The countdown's seconds take no real time on the rig's clock; the
      // phone drops its port a few milliseconds after the watchdog command.
      // A little real time per second keeps the whole wait well above that.
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    });
  });
  EXPECT_EQ(result, 1);
  const size_t reports = CountdownTexts(host.reports()).size();
  EXPECT_GE(reports, 1u);
  EXPECT_LT(reports, 80u);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().stage, kStageResetWait);
  EXPECT_EQ(seen.back().end, kResetWaitPortGone);
  EXPECT_TRUE(rig.Check().ok);
}

}  // namespace
}  // namespace vantrel::testing
