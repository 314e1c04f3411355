// The plans beside the download, through the extension exports, against the
// simulated phone over a real pseudo-terminal: identify, read, and the
// download's verify.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/integration/rig.h"
#include "tools/pkg/sample.h"
#include "vantrel/codes.h"
#include "vantrel/extension.h"

namespace vantrel::testing {
namespace {

pkg::BuiltPackage OneImage(uint32_t page_size) {
  pkg::SampleOptions o;
  o.pageSize = page_size;
  o.blockKiB = page_size == 512 ? 16 : 128;
  o.multiRegion = false;
  o.fsImages = 1;
  o.extraSections = false;
  return pkg::BuildSamplePackage(o);
}

void WithoutPackage(CBizDownload& s) { ASSERT_EQ(VantrelSetSetting(&s, VANTREL_SETTING_WITHOUT_PACKAGE, 1), 1); }

VantrelIdentity Identify(Rig& rig, bool with_package = true) {
  rig.StartPhone();
  VantrelIdentity id{};
  id.size = sizeof id;
  RecordingHost host;
  const int ok = rig.RunPlan(
      host, [&](CBizDownload& s) { return VantrelIdentify(&s, &id); },
      with_package ? std::function<void(CBizDownload&)>{} : WithoutPackage);
  EXPECT_EQ(ok, 1) << rig.failure();
  EXPECT_EQ(rig.phone().Record().flashOps, 0u) << "identify erased or programmed something";
  EXPECT_TRUE(rig.phone().Record().watchdogValue.has_value());
  return id;
}

// Receives what a read sends; stops after `stop_after` pieces when set.
struct Received {
  std::string bytes;
  int stop_after = -1;
  static int32_t Take(void* user, const uint8_t* data, uint32_t n) {
    auto* r = static_cast<Received*>(user);
    r->bytes.append(reinterpret_cast<const char*>(data), n);
    return r->stop_after < 0 || --r->stop_after > 0;
  }
};

int ReadBack(Rig& rig, uint32_t start, uint32_t length, int32_t mode, Received* out,
             std::vector<StageEvent>* events = nullptr, const sim::PhoneConfig& config = {}) {
  rig.StartPhone(config);
  RecordingHost host;
  return rig.RunPlan(
      host, [&](CBizDownload& s) { return VantrelRead(&s, start, length, mode, &Received::Take, out); },
      [&](CBizDownload& s) {
        WithoutPackage(s);
        if (events) s.engine().channel().SetEventSink([events](const StageEvent& e) { events->push_back(e); });
      });
}

void Download(Rig& rig, bool verify = false) {
  rig.StartPhone();
  RecordingHost host;
  ASSERT_EQ(rig.RunSession(host, 0, [&](CBizDownload& s) { VantrelSetSetting(&s, VANTREL_SETTING_VERIFY, verify); }),
            1)
      << rig.failure();
}

flashcheck::CheckReport CompareWithFlash(Rig& rig, uint32_t start, uint32_t length, int mode, const std::string& file) {
  std::istringstream in(file);
  return flashcheck::CompareReadBack(rig.flash(), start, length, mode, in);
}

TEST(ReadPlan, ReadsBackThroughTheFsAndPagesWithTheirSpareBytes) {
  Rig rig(2048);
  rig.UsePackage(OneImage(2048));
  Download(rig);
  const uint32_t fs_end = rig.package().fsRegionStart + rig.package().fsRegionLength;

  Received main;
  std::vector<StageEvent> events;
  ASSERT_EQ(ReadBack(rig, 0, fs_end, VANTREL_READ_MAIN, &main, &events), 1) << rig.failure();
  const flashcheck::CheckReport same = CompareWithFlash(rig, 0, fs_end, 1, main.bytes);
  EXPECT_TRUE(same.ok) << same.summary;
  EXPECT_EQ(rig.phone().Record().flashOps, 0u);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().stage, kStageReadBack);
  EXPECT_EQ(events.back().done, fs_end);
  EXPECT_EQ(events.back().planDone, events.back().planTotal);

  // The FS's first two blocks, whose used pages carry spare bytes.
  const uint32_t two_blocks = 2 * 128 * 1024;
  Received raw;
  ASSERT_EQ(ReadBack(rig, rig.package().fsRegionStart, two_blocks, VANTREL_READ_MAIN_AND_SPARE, &raw), 1)
      << rig.failure();
  EXPECT_EQ(raw.bytes.size(), two_blocks / 2048 * 2112);
  const flashcheck::CheckReport interleaved = CompareWithFlash(rig, rig.package().fsRegionStart, two_blocks, 0, raw.bytes);
  EXPECT_TRUE(interleaved.ok) << interleaved.summary;
}

// The FS region as the flash's own ROM record names it: found, then read.
TEST(ReadPlan, TheFsRegionIsReadWhereTheFlashsRecordPutsIt) {
  Rig rig(2048);
  rig.UsePackage(OneImage(2048));
  VantrelReadRange range{};
  auto span = [&](Received* out) {
    rig.StartPhone();
    RecordingHost host;
    auto read = [&](CBizDownload& s) {
      return VantrelReadSpan(&s, VANTREL_SPAN_FS_REGION, 1, &Received::Take, out, &range);
    };
    return rig.RunPlan(host, read, WithoutPackage);
  };
  Received blank;
  EXPECT_EQ(span(&blank), 0) << "a blank flash names no region";
  EXPECT_EQ(rig.failure_code(), kRomInfoNotOnFlash);
  EXPECT_TRUE(blank.bytes.empty());

  Download(rig);
  Received fs;
  ASSERT_EQ(span(&fs), 1) << rig.failure();
  EXPECT_EQ(range.start, rig.package().fsRegionStart);
  EXPECT_EQ(range.length, rig.package().fsRegionLength);
  EXPECT_EQ(range.page_size, 2048u);
  const flashcheck::CheckReport same = CompareWithFlash(rig, range.start, range.length, 1, fs.bytes);
  EXPECT_TRUE(same.ok) << same.summary;
}

TEST(ReadPlan, RefusesWhatItCannotReadAndStopsWhenTheReceiverDoes) {
  Rig rig(2048);
  rig.UsePackage(OneImage(2048));
  Received out;
  EXPECT_EQ(ReadBack(rig, 0x1200, 0x800, VANTREL_READ_MAIN, &out), 0);
  EXPECT_EQ(rig.failure_code(), kReadMisalignedStart);
  EXPECT_TRUE(rig.phone().Record().reads.empty()) << "refused before the agent was asked";

  // The 256 MiB flash ends at 0x10000000: the agent refuses, the plan finds the end.
  EXPECT_EQ(ReadBack(rig, 0x0FFFF800, 0x1000, VANTREL_READ_MAIN, &out), 0);
  EXPECT_EQ(rig.failure_code(), kReadOutOfRange);
  EXPECT_NE(rig.failure().find("past the flash's end at 0x10000000 (256 MiB)"), std::string::npos) << rig.failure();
  EXPECT_TRUE(out.bytes.empty());

  Received two{"", 2};
  EXPECT_EQ(ReadBack(rig, 0, 0x100000, VANTREL_READ_MAIN, &two), 0);
  EXPECT_EQ(rig.failure_code(), kCancelled);
  EXPECT_EQ(two.bytes.size(), 2 * 4096u);
  EXPECT_FALSE(rig.phone().Record().watchdogValue.has_value()) << "left waiting in download mode";
}

TEST(ReadPlan, SumsThatNeverMatchSpendTheResendBudget) {
  Rig rig(512);
  rig.UsePackage(OneImage(512));
  sim::PhoneConfig config;
  config.faults.corruptReadPackets = 1000;
  rig.StartPhone(config);
  Received out;
  RecordingHost host;
  EXPECT_EQ(rig.RunPlan(host, [&](CBizDownload& s) { return VantrelRead(&s, 0, 0x4000, 1, &Received::Take, &out); },
                        WithoutPackage),
            0);
  EXPECT_EQ(rig.failure_code(), kReadFlashFailed);
  EXPECT_NE(rig.failure().find("came with a wrong sum 11 times"), std::string::npos) << rig.failure();
  EXPECT_TRUE(out.bytes.empty()) << "no packet with a bad sum reaches the receiver";
}

// Identify on a fresh phone, after a download that replaced a bad block, and
// what the next download then does.
TEST(IdentifyPlan, PredictsWhatTheNextDownloadDoes) {
  Rig rig(512);
  rig.UsePackage(OneImage(512));
  const auto& fs = rig.package().fsImages.at(0);
  const uint32_t failing = HomeBlock(fs, 2);
  rig.flash().SetFailing(failing);

  const VantrelIdentity fresh = Identify(rig);
  EXPECT_EQ(fresh.page_size, 512u);
  EXPECT_EQ(fresh.spare_size, 16u);
  EXPECT_EQ(fresh.chip_type, 0x14);
  EXPECT_EQ(fresh.agent_version[0], 3);
  EXPECT_EQ(fresh.target_report[6], 0x02) << "the report's fields as they came, big-endian";
  EXPECT_EQ(fresh.target_report[7], 0x00);
  EXPECT_FALSE(fresh.rom_info_found);
  ASSERT_EQ(fresh.fs_section_count, 1u);
  EXPECT_TRUE(fresh.fs_sections[0].fits) << fresh.fs_sections[0].problem;
  EXPECT_FALSE(fresh.fs_sections[0].info_block_found);
  EXPECT_EQ(fresh.fs_sections[0].next_action, VANTREL_NEXT_ERASE_RESERVED_POOL);

  Download(rig);
  sim::PhoneRecord rec = rig.phone().Record();
  EXPECT_TRUE(std::any_of(rec.formats.begin(), rec.formats.end(),
                          [](const auto& f) { return f.options == std::array<uint8_t, 3>{1, 1, 0}; }))
      << "the reserved pool was erased";
  ASSERT_EQ(rec.refusedBlocks, std::vector<uint32_t>{failing});

  const VantrelIdentity after = Identify(rig);
  EXPECT_TRUE(after.rom_info_found);
  EXPECT_TRUE(after.fs_identifier_ok);
  EXPECT_GE(after.rom_info_block, 2u);
  EXPECT_LE(after.rom_info_block, 9u);
  ASSERT_GE(after.region_count, 2u);
  EXPECT_EQ(after.regions[1].start, rig.package().fsRegionStart);
  const VantrelFsSection& section = after.fs_sections[0];
  EXPECT_TRUE(section.info_block_found);
  EXPECT_EQ(section.remaps_in_use, 1u);
  EXPECT_EQ(section.next_action, VANTREL_NEXT_CARRY_REMAPS);

  Download(rig);
  rec = rig.phone().Record();
  EXPECT_TRUE(rec.refusedBlocks.empty()) << "the remap was carried over";
  for (const auto& f : rec.formats) EXPECT_EQ(f.options, (std::array<uint8_t, 3>{1, 0, 0})) << "only the old info block";

  const VantrelIdentity bare = Identify(rig, false);
  EXPECT_FALSE(bare.package_used);
  EXPECT_EQ(bare.fs_section_count, 0u);
  EXPECT_TRUE(bare.rom_info_found);
  EXPECT_EQ(bare.block_main_size, 16u * 1024);
}

// A section split into two images shares one info area: on a blank phone
// the first erases the reserved pool and commits its info block, which the
// second then finds and carries on.
TEST(IdentifyPlan, ASecondImageOfTheSameInfoAreaCarriesWhatTheFirstCommits) {
  Rig rig(512);
  rig.UsePackage(SplitSample512());
  const VantrelIdentity fresh = Identify(rig);
  ASSERT_EQ(fresh.fs_section_count, 2u);
  EXPECT_EQ(fresh.fs_sections[0].next_action, VANTREL_NEXT_ERASE_RESERVED_POOL);
  EXPECT_EQ(fresh.fs_sections[1].next_action, VANTREL_NEXT_CARRY_REMAPS);
  Download(rig);
  const sim::PhoneRecord rec = rig.phone().Record();
  EXPECT_EQ(std::count_if(rec.formats.begin(), rec.formats.end(),
                          [](const auto& f) { return f.options == std::array<uint8_t, 3>{1, 1, 0}; }),
            1)
      << "the reserved pool is erased once, before the first image";
}

TEST(IdentifyPlan, AnInfoBlockOfAnotherVersionPredictsTheRangeEraseTheDownloadDoes) {
  Rig rig(512);
  rig.UsePackage(OneImage(512));
  Download(rig);
  ASSERT_TRUE(ClearRecordBits(rig.flash(), 461, 0x02));  // the phone now holds version 5.0.0
  const VantrelIdentity id = Identify(rig);
  const VantrelFsSection& section = id.fs_sections[0];
  EXPECT_TRUE(section.info_block_found);
  EXPECT_EQ(section.info_version[1], 0);
  EXPECT_EQ(section.next_action, VANTREL_NEXT_ERASE_RANGE);
  Download(rig);
  const sim::PhoneRecord rec = rig.phone().Record();
  ASSERT_FALSE(rec.formats.empty());
  EXPECT_EQ(rec.formats[0].options, (std::array<uint8_t, 3>{1, 0, 1}));
}

// A cancel as the flash is first read stops the identify and the range
// look-up of a read at the next packet, long before the ROM record search
// of blocks 2 to 9 would end.
TEST(IdentifyPlan, ACancelStopsTheFlashReadsAtTheNextPacket) {
  Rig rig(2048);
  rig.UsePackage(OneImage(2048));
  VantrelIdentity id{};
  id.size = sizeof id;
  VantrelReadRange range{};
  Received out;
  const std::vector<std::function<int(CBizDownload&)>> plans = {
      [&](CBizDownload& s) { return VantrelIdentify(&s, &id); },
      [&](CBizDownload& s) { return VantrelReadSpan(&s, VANTREL_SPAN_FS_REGION, 1, &Received::Take, &out, &range); }};
  for (const auto& plan : plans) {
    rig.StartPhone();
    RecordingHost host;
    EXPECT_EQ(rig.RunPlan(host, plan,
                          [](CBizDownload& s) {
                            WithoutPackage(s);
                            Channel* ch = &s.engine().channel();
                            ch->SetEventSink([ch](const StageEvent& e) {
                              if (e.stage == kStageFlashScan) ch->Cancel();
                            });
                          }),
              0);
    EXPECT_EQ(rig.failure_code(), kCancelled) << rig.failure();
    const sim::PhoneRecord rec = rig.phone().Record();
    // The phone may not have recorded the given-up read yet.
    EXPECT_LE(rec.reads.size(), 1u) << "a read after the one that names the geometry";
    for (const auto& r : rec.reads) EXPECT_TRUE(r.aborted);
    EXPECT_FALSE(rec.watchdogValue.has_value()) << "left waiting in download mode";
  }
}

TEST(IdentifyPlan, APackageForTheOtherGeometryDoesNotFit) {
  Rig rig(512);
  rig.UsePackage(OneImage(2048));
  const VantrelIdentity id = Identify(rig);
  EXPECT_EQ(id.block_main_size, 16u * 1024) << "the flash's own block size, not the package's";
  ASSERT_EQ(id.fs_section_count, 1u);
  EXPECT_FALSE(id.fs_sections[0].fits);
  EXPECT_EQ(id.fs_sections[0].result, kWrongFlashGeometry);
  EXPECT_STREQ(id.fs_sections[0].problem,
               "the package's FS images are for 2048-byte pages; this phone's flash has 512-byte pages");
}

uint32_t BlocksWritten(const pkg::BuiltPackage& p) {
  uint32_t n = 0;
  for (const auto& fs : p.fsImages) n += DataBlockCount(fs) + 1;  // and the info block
  return n;
}

TEST(VerifySetting, PassesOnACleanPhoneAndWithBadBlocks) {
  for (bool bad_blocks : {false, true}) {
    Rig rig(2048);
    pkg::SampleOptions o;
    o.multiRegion = false;  // two FS images, each with its own info block
    rig.UsePackage(pkg::BuildSamplePackage(o));
    if (bad_blocks) {
      rig.flash().SetFailing(HomeBlock(rig.package().fsImages.at(0), 1));
      rig.flash().MarkFactoryBad(HomeBlock(rig.package().fsImages.at(0), 3));
    }
    std::vector<StageEvent> verify;
    rig.StartPhone();
    RecordingHost host;
    ASSERT_EQ(rig.RunSession(host, 0,
                             [&](CBizDownload& s) {
                               VantrelSetSetting(&s, VANTREL_SETTING_VERIFY, 1);
                               s.engine().channel().SetEventSink([&](const StageEvent& e) {
                                 if (e.stage == kStageVerify) verify.push_back(e);
                               });
                             }),
              1)
        << rig.failure();
    ASSERT_FALSE(verify.empty());
    EXPECT_EQ(verify.back().total, BlocksWritten(rig.package()));
    EXPECT_EQ(verify.back().done, verify.back().total);
    EXPECT_EQ(rig.phone().Record().refusedBlocks.size(), bad_blocks ? 2u : 0u);
    EXPECT_TRUE(rig.Check().ok);
  }
}

TEST(VerifySetting, AWeakBlockFailsTheDownloadNamingIt) {
  Rig rig(512);
  rig.UsePackage(OneImage(512));
  const uint32_t weak = HomeBlock(rig.package().fsImages.at(0), 2);
  sim::PhoneConfig config;
  config.faults.weakBlocks = {weak};
  rig.StartPhone(config);
  RecordingHost host;
  int cause = -1;
  EXPECT_EQ(rig.RunSession(host, 0,
                           [&cause](CBizDownload& s) {
                             VantrelSetSetting(&s, VANTREL_SETTING_VERIFY, 1);
                             s.engine().channel().SetEventSink([&cause](const StageEvent& e) {
                               if (e.stage == kStageFailed) cause = e.cause;
                             });
                           }),
            0);
  EXPECT_EQ(rig.failure_code(), kVerifyMismatch);
  EXPECT_EQ(cause, VANTREL_CAUSE_NONE) << "a comparison of the plug-in's own, not a refusal by the phone";
  EXPECT_NE(rig.failure().find("FS image 1: data in block " + std::to_string(weak) +
                               " reads back different from what was written, first at page"),
            std::string::npos)
      << rig.failure();
  EXPECT_FALSE(rig.phone().Record().watchdogValue.has_value());

  // Read back, the weak block differs from the flash where its bits flipped.
  Received raw;
  ASSERT_EQ(ReadBack(rig, weak * 16384, 16384, VANTREL_READ_MAIN_AND_SPARE, &raw, nullptr, config), 1);
  const flashcheck::CheckReport check = CompareWithFlash(rig, weak * 16384, 16384, 0, raw.bytes);
  EXPECT_FALSE(check.ok);
  EXPECT_NE(check.summary.find("(page " + std::to_string(weak * 32) + ", main byte 7)"), std::string::npos)
      << check.summary;
}

}  // namespace
}  // namespace vantrel::testing
