// Whole downloads against the simulated phone over a real pseudo-terminal,
// checked afterwards by the independent flash checker.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/integration/rig.h"
#include "tools/pkg/inspect.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

struct Variant {
  uint32_t page_size;
  bool multi_region;
};

pkg::SampleOptions Sample(uint32_t page_size, bool multi_region) {
  pkg::SampleOptions o;
  o.pageSize = page_size;
  o.blockKiB = page_size == 512 ? 16 : 128;
  o.multiRegion = multi_region;
  return o;
}


std::string Hex8(uint32_t v) {
  char b[9];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}
std::string Hex4(uint16_t v) { return Hex8(v).substr(4); }

class WholeDownload : public ::testing::TestWithParam<Variant> {};

TEST_P(WholeDownload, WritesEveryImageAndReportsEveryStageInOrder) {
  Rig rig(GetParam().page_size);
  rig.UsePackage(pkg::BuildSamplePackage(Sample(GetParam().page_size, GetParam().multi_region)));
  rig.StartPhone();
  RecordingHost host;
  ::testing::internal::CaptureStdout();
  int result = rig.RunSession(host);
  std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, 1) << out;

  auto reports = host.reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), (HostReport{16, 0, ""})) << "Connect reports first";
  EXPECT_EQ(StageTexts(reports), ExpectedStages(rig.package().fsImages.size()));
  auto countdown = CountdownTexts(reports);
  ASSERT_EQ(countdown.size(), 80u);
  EXPECT_EQ(countdown.front(), "Waiting for Reset 80 sec..");
  EXPECT_EQ(countdown.back(), "Waiting for Reset 1 sec..");
  for (const auto& r : reports) {
    if (r.kind == 1) {
      EXPECT_LE(r.percent, 100);
    }
  }

  for (const char* type : {"10000", "10001", "10002", "10003"})
    EXPECT_NE(out.find(std::string("Bootloader shared data (type = ") + type + ") is read\n"),
              std::string::npos);
  for (const char* line : {"Connecting to BootROM...\n", "Sending DA1...\n", "Sending DA2...\n",
                           "Transferring control to DA...\n", "Connecting to DA...\n",
                           "Write Boot loader...\n", "Enable Watch Dog...\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line;

  sim::PhoneRecord rec = rig.phone().Record();
  ASSERT_EQ(rec.daLoads.size(), 2u);
  EXPECT_EQ(rec.daLoads[0].address, 0x40001400u);
  EXPECT_EQ(rec.daLoads[0].words, 41404u);
  EXPECT_TRUE(rec.daLoads[0].answeredRight);
  EXPECT_EQ(rec.daLoads[1].address, 0x50044000u);
  EXPECT_EQ(rec.daLoads[1].words, 3746u);
  ASSERT_TRUE(rec.jumpAddress.has_value());
  EXPECT_EQ(*rec.jumpAddress, 0x40001400u);
  EXPECT_TRUE(rec.bootloader.checksumOk && rec.bootloader.extChecksumOk);
  EXPECT_TRUE(rec.problems.empty()) << rec.problems.front();
  EXPECT_EQ(rec.watchdogValue.value_or(0), 0x40);
  // `pkg info` shows the sums this download sent.
  std::ostringstream info;
  pkg::DescribePackage(rig.package().bytes, info, nullptr);
  std::vector<std::string> sums = {Hex8(rec.bootloader.checksum), Hex8(rec.bootloader.extChecksum)};
  for (const auto& nfb : rec.nfbImages) sums.push_back(Hex4(nfb.sum));
  for (const std::string& sum : sums)
    EXPECT_NE(info.str().find("download sum: 0x" + sum + "\n"), std::string::npos) << sum << "\n" << info.str();

  flashcheck::CheckReport check = rig.Check();
  EXPECT_TRUE(check.ok) << ::testing::PrintToString(check.problems);
}

INSTANTIATE_TEST_SUITE_P(Geometries, WholeDownload,
                         ::testing::Values(Variant{512, true}, Variant{512, false},
                                           Variant{2048, true}, Variant{2048, false}),
                         [](const auto& info) {
                           return std::to_string(info.param.page_size) +
                                  (info.param.multi_region ? "_MultiRegion" : "_Verbatim");
                         });

// Bad blocks: factory-bad and failing home blocks move to reserved blocks of
// their tag; two in one tag consume two reserved blocks.
class BadBlocks : public ::testing::TestWithParam<uint32_t> {};

TEST_P(BadBlocks, DataMovesToReservedBlocksOfItsTag) {
  const uint32_t modulus = GetParam();
  pkg::SampleOptions o = Sample(2048, true);
  o.tagModulus = modulus;
  o.dataBlocks = 8;
  Rig rig(2048);
  rig.UsePackage(pkg::BuildSamplePackage(o));
  const auto& fs = rig.package().fsImages.at(0);
  rig.flash().MarkFactoryBad(HomeBlock(fs, 1));
  rig.flash().SetFailing(HomeBlock(fs, 1 + modulus));  // the same tag as block 1
  rig.flash().SetFailing(HomeBlock(fs, modulus == 1 ? 4 : 2));
  rig.StartPhone();
  RecordingHost host;
  ASSERT_EQ(rig.RunSession(host), 1);
  sim::PhoneRecord rec = rig.phone().Record();
  EXPECT_EQ(rec.refusedBlocks.size(), 3u);
  flashcheck::CheckReport check = rig.Check();
  EXPECT_TRUE(check.ok) << ::testing::PrintToString(check.problems);
}

INSTANTIATE_TEST_SUITE_P(TagModulus, BadBlocks, ::testing::Values(1u, 2u, 4u));

TEST(SecondDownload, CarriesThePhonesRemapsOver) {
  Rig rig(512);
  rig.UsePackage(pkg::BuildSamplePackage(Sample(512, true)));
  const auto& fs = rig.package().fsImages.at(0);
  rig.flash().SetFailing(HomeBlock(fs, 3));
  rig.StartPhone();
  RecordingHost first;
  ASSERT_EQ(rig.RunSession(first), 1);
  ASSERT_EQ(rig.phone().Record().refusedBlocks.size(), 1u);

  rig.StartPhone();  // the same flash, a new power-on
  RecordingHost second;
  ASSERT_EQ(rig.RunSession(second), 1);
  sim::PhoneRecord rec = rig.phone().Record();
  EXPECT_TRUE(rec.refusedBlocks.empty()) << "the remap from the first download is used at once";
  for (const auto& f : rec.formats)
    EXPECT_EQ(f.options, (std::array<uint8_t, 3>{1, 0, 0}))
        << "same version and layout: only the old info block is erased, no range or pool";
  flashcheck::CheckReport check = rig.Check();
  EXPECT_TRUE(check.ok) << ::testing::PrintToString(check.problems);
}

// A first, successful download of a package with one verbatim FS image.
void FirstDownloadOfOneImage(Rig& rig, uint32_t page_size) {
  pkg::SampleOptions o = Sample(page_size, false);
  o.fsImages = 1;
  rig.UsePackage(pkg::BuildSamplePackage(o));
  rig.StartPhone();
  RecordingHost first;
  ASSERT_EQ(rig.RunSession(first), 1);
  ASSERT_TRUE(rig.Check().ok);
}

TEST(SecondDownload, RunningOutOfReservedBlocksKeepsThePreviousInfoBlock) {
  Rig rig(2048);
  FirstDownloadOfOneImage(rig, 2048);

  // Now a data block of tag 1 fails and so does every reserved block of tag 1.
  const auto& fs = rig.package().fsImages.at(0);
  rig.flash().SetFailing(HomeBlock(fs, 1));
  for (uint32_t b : ReservedBlocks(fs, 1)) rig.flash().SetFailing(b);
  rig.StartPhone();
  RecordingHost second;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(rig.RunSession(second), 0);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("3051"), std::string::npos) << out;
  EXPECT_TRUE(CountdownTexts(second.reports()).empty()) << "no countdown after a failure";
  flashcheck::CheckReport check = rig.Check();
  EXPECT_TRUE(check.ok) << "the first download's info block still stands: "
                        << ::testing::PrintToString(check.problems);
}

TEST(SecondDownload, AnotherVersionOnThePhoneResetsTheFsArea) {
  Rig rig(512);
  FirstDownloadOfOneImage(rig, 512);
  ASSERT_TRUE(ClearRecordBits(rig.flash(), 461, 0x02));  // the phone now holds version 5.0.0
  rig.StartPhone();
  RecordingHost second;
  ASSERT_EQ(rig.RunSession(second), 1);
  sim::PhoneRecord rec = rig.phone().Record();
  ASSERT_FALSE(rec.formats.empty());
  EXPECT_EQ(rec.formats[0].options, (std::array<uint8_t, 3>{1, 0, 1}));
  flashcheck::CheckReport check = rig.Check();
  EXPECT_TRUE(check.ok) << ::testing::PrintToString(check.problems);
}

TEST(SecondDownload, AnotherLayoutOnThePhoneIsRefused) {
  Rig rig(512);
  FirstDownloadOfOneImage(rig, 512);
  // Region 0's length on the phone is now 0x10000 instead of 6 blocks (0x18000).
  ASSERT_TRUE(ClearRecordBits(rig.flash(), 401, 0x80));
  rig.StartPhone();
  RecordingHost second;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(rig.RunSession(second), 0);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("4054"), std::string::npos) << out;
}

TEST(FsImages, AnImageOfAnotherVersionTouchesNoFlash) {
  Rig rig(2048);
  nlohmann::json d = pkg::SampleDescription(Sample(2048, false));
  for (auto& s : d["sections"])
    if (s["type"] == 10) s["fs"]["version"] = {5, 2, 1};
  rig.UsePackage(pkg::BuildPackage(d));
  rig.StartPhone();
  RecordingHost host;
  ASSERT_EQ(rig.RunSession(host), 1);
  sim::PhoneRecord rec = rig.phone().Record();
  EXPECT_TRUE(rec.reads.empty());
  EXPECT_TRUE(rec.formats.empty());
  EXPECT_EQ(rec.blockWrites + rec.pageWrites, 0u);
  size_t complete = 0;
  for (const auto& t : StageTexts(host.reports())) complete += t == "Write FS Image Complete";
  EXPECT_EQ(complete, rig.package().fsImages.size());
}

TEST(Bootloader, WithoutAnExtendedBootloaderNoExtendedPacketIsSent) {
  Rig rig(512);
  nlohmann::json d = pkg::SampleDescription(Sample(512, true));
  d["extBootloader"]["size"] = 0;
  rig.UsePackage(pkg::BuildPackage(d));
  rig.StartPhone();
  RecordingHost host;
  ASSERT_EQ(rig.RunSession(host), 1);
  sim::PhoneRecord rec = rig.phone().Record();
  EXPECT_TRUE(rec.bootloader.stored);
  EXPECT_EQ(rec.bootloader.extLength, 0u);
  EXPECT_EQ(rec.bootloader.length, rig.package().bootloader.size());
  EXPECT_TRUE(rec.problems.empty()) << rec.problems.front();
  flashcheck::CheckReport check = rig.Check();
  EXPECT_TRUE(check.ok) << ::testing::PrintToString(check.problems);
}

TEST(TwoPhones, FlashAtOnceAndEachHostHearsOnlyItsOwn) {
  Rig a(2048);
  a.UsePackage(pkg::BuildSamplePackage(Sample(2048, true)));
  // Both sessions share one process-wide package; b's port lives in a's directory.
  auto flash_b = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::Phone phone_b({}, flash_b);
  std::string err;
  ASSERT_TRUE(phone_b.Open(&err) && phone_b.LinkPort(a.ports().path(), 41, 100, &err)) << err;
  a.StartPhone();
  phone_b.Start();
  RecordingHost host_a, host_b;
  int ra = -1, rb = -1;
  std::thread ta([&] { ra = a.RunSession(host_a, 0); });
  std::thread tb([&] { rb = a.RunSession(host_b, 1); });
  ta.join();
  tb.join();
  phone_b.Stop();
  EXPECT_EQ(ra, 1);
  EXPECT_EQ(rb, 1);
  for (const auto* h : {&host_a, &host_b}) {
    auto stages = StageTexts(h->reports());
    EXPECT_EQ(std::count(stages.begin(), stages.end(), "Start DA Connect"), 1);
    EXPECT_EQ(CountdownTexts(h->reports()).size(), 80u);
  }
  EXPECT_TRUE(a.Check().ok);
  flashcheck::ExpectedFirmware fw{a.package().bootloader, a.package().extBootloader,
                                  a.package().rom, a.package().rom2, a.package().fsImages};
  EXPECT_TRUE(flashcheck::CheckFlash(*flash_b, fw).ok);
}

}  // namespace
}  // namespace vantrel::testing
