// Eight sessions flash eight simulated phones at once, each on its own thread
// and port: every download succeeds, every flash checks, and every report
// reaches only its own session's host (a report routed to another session
// would show up as a stage seen twice by one host and missing at another).
// The ThreadSanitizer run of the suite is this test.
#include <gtest/gtest.h>

#include <thread>

#include "tests/reliability/matrix_util.h"

namespace vantrel::testing {
namespace {

TEST(EightPhones, FlashAtOnceAndEachHostHearsOnlyItsOwnSession) {
  constexpr int kPhones = 8;
  Rig rig(512);  // its port directory and package serve all eight
  rig.UsePackage(TinyPackage());
  std::vector<std::shared_ptr<sim::Flash>> flashes;
  std::vector<std::unique_ptr<sim::Phone>> phones;
  for (int i = 0; i < kPhones; ++i) {
    flashes.push_back(std::make_shared<sim::Flash>(sim::Geometry::SmallPage()));
    phones.push_back(std::make_unique<sim::Phone>(sim::PhoneConfig{}, flashes.back()));
    std::string err;
    ASSERT_TRUE(phones[i]->Open(&err) && phones[i]->LinkPort(rig.ports().path(), 40 + i, 200, &err)) << err;
    phones[i]->Start();
  }
  RecordingHost hosts[kPhones];
  int results[kPhones];
  std::vector<std::thread> threads;
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < kPhones; ++i)
    threads.emplace_back([&, i] { results[i] = rig.RunSession(hosts[i], i); });
  for (auto& t : threads) t.join();
  const std::string trace = ::testing::internal::GetCapturedStdout();

  const auto& p = rig.package();
  flashcheck::ExpectedFirmware fw{p.bootloader, p.extBootloader, p.rom, p.rom2, p.fsImages};
  for (int i = 0; i < kPhones; ++i) {
    phones[i]->Stop();
    EXPECT_EQ(results[i], 1) << "phone " << i << "; the sessions' trace:\n" << trace;
    EXPECT_EQ(StageTexts(hosts[i].reports()), ExpectedStages(p.fsImages.size())) << "phone " << i;
    EXPECT_EQ(CountdownTexts(hosts[i].reports()).size(), 80u) << "phone " << i;
    flashcheck::CheckReport check = flashcheck::CheckFlash(*flashes[i], fw);
    EXPECT_TRUE(check.ok) << "phone " << i << ": " << ::testing::PrintToString(check.problems);
  }
}

}  // namespace
}  // namespace vantrel::testing
