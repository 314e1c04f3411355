// What a front end may ask of a session beyond the closed host's dialogue:
// a geometry check before the first write, the info-area read-back shown and
// cancellable, and a reset countdown that ends when the phone has gone.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/integration/rig.h"
#include "tools/pkg/sample.h"
#include "vantrel/codes.h"
#include "vantrel/extension.h"

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

// The events follow the download as it goes, image by image, and count the
// plan's bytes to the last: a front end needs neither the plan's order nor
// the reports' texts.
TEST(FrontEnd, EventsNameEveryStageAndCountThePlansImagesAndBytes) {
  Rig rig(512);
  rig.UsePackage(SplitSample512());  // two FS images
  rig.StartPhone();
  RecordingHost host;
  std::vector<StageEvent> seen;
  ASSERT_EQ(rig.RunSession(host, 0,
                           [&](CBizDownload& s) {
                             s.engine().channel().SetEventSink([&](const StageEvent& e) { seen.push_back(e); });
                           }),
            1);
  const auto& p = rig.package();
  uint64_t bytes = p.bootloader.size() + p.extBootloader.size() + p.rom.size() + p.rom2.size();
  for (const auto& fs : p.fsImages) bytes += fs.size();

  std::vector<int> stages;
  std::vector<uint32_t> images, fs_images;
  uint64_t plan_done = 0;
  std::vector<uint32_t> rom_done;  // the ROM image's events: its start, then one per packet
  for (const StageEvent& e : seen) {
    if (e.stage == kStageInfoReadBack) continue;
    if (e.stage == kStageRomImage) rom_done.push_back(e.done);
    if (stages.empty() || stages.back() != e.stage || (e.stage == kStageFsImage && e.fsImage != fs_images.back())) {
      stages.push_back(e.stage);
      if (e.image) images.push_back(e.image);
      if (e.stage == kStageFsImage) fs_images.push_back(e.fsImage);
    }
    EXPECT_EQ(e.planTotal, bytes);
    EXPECT_EQ(e.images, 6u);
    EXPECT_GE(e.planDone, plan_done) << "stage " << e.stage;
    plan_done = e.planDone;
  }
  EXPECT_EQ(stages, (std::vector<int>{kStageBootRom, kStageAgentConnection, kStageFlashScan, kStageExtBootloader,
                                      kStageBootloader, kStageImageList, kStageRomImage, kStageSecondaryRomImage,
                                      kStageFsImage, kStageFsImage, kStageResetWait}));
  EXPECT_EQ(images, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(fs_images, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(plan_done, bytes);
  // Bytes as sent, not the host's rounded percent of the packets before.
  ASSERT_GE(rom_done.size(), 3u);
  EXPECT_GT(rom_done[1], 0u) << "the first packet's bytes";
  EXPECT_EQ(rom_done.back(), p.rom.size());
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
                               if (e.stage != kStageInfoReadBack) return;
                               seen.push_back(e);
                               if (e.done == 1) ch->Cancel();
                             });
                           }),
            0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].stage, kStageInfoReadBack);
  EXPECT_EQ(seen[0].done, 0u);
  EXPECT_EQ(seen[0].total, 16u);  // the sample's reserved pool is the info area
  EXPECT_EQ(seen[1].fsImage, 1u);
  EXPECT_EQ(seen[1].image, 5u);   // after the two bootloaders and the two ROM images
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
      if (e.stage != kStageResetWait) return;
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

// Settings belong to the session that was given them: two phones flashed at
// once in one process, each session with its own port directory, time scale
// and transcript, while the process's default port directory (the second
// rig's) would lead the first session to the wrong phone.
TEST(FrontEnd, TwoSessionsAtOnceEachKeepTheirOwnSettings) {
  Rig a(512);
  Rig b(512);
  a.UsePackage(Sample(512));
  b.UsePackage(a.package());
  a.StartPhone({}, 40);
  b.StartPhone({}, 41);
  struct Own {
    std::string dir, transcript;
    int32_t scale;
    double seen_scale = 0;
  };
  Own own[2] = {{a.ports().path(), a.ports().path() + "/wire.txt", 1},
                {b.ports().path(), b.ports().path() + "/wire.txt", 100}};
  int results[2] = {0, 0};
  RecordingHost hosts[2];
  auto run = [&](int i) {
    results[i] = a.RunSession(hosts[i], i, [&own, i](CBizDownload& s) {
      ASSERT_EQ(VantrelSetText(&s, VANTREL_TEXT_PORT_DIR, own[i].dir.c_str()), 1);
      ASSERT_EQ(VantrelSetText(&s, VANTREL_TEXT_TRANSCRIPT, own[i].transcript.c_str()), 1);
      ASSERT_EQ(VantrelSetSetting(&s, VANTREL_SETTING_TIME_SCALE, own[i].scale), 1);
      s.engine().channel().SetEventSink([&own, i, &s](const StageEvent&) {
        own[i].seen_scale = s.engine().channel().time_scale();
      });
    });
  };
  std::thread t0(run, 0), t1(run, 1);
  t0.join();
  t1.join();
  EXPECT_EQ(results[0], 1);
  EXPECT_EQ(results[1], 1);
  EXPECT_TRUE(a.Check().ok) << "the first phone was flashed through its own directory";
  EXPECT_TRUE(b.Check().ok);
  EXPECT_EQ(own[0].seen_scale, 1);
  EXPECT_EQ(own[1].seen_scale, 100);
  // The same download on each: two transcripts of one session each.
  const auto size0 = std::filesystem::file_size(own[0].transcript);
  EXPECT_GT(size0, 100000u);
  EXPECT_EQ(size0, std::filesystem::file_size(own[1].transcript));
}

}  // namespace
}  // namespace vantrel::testing
