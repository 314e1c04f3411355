// Power cuts at every flash operation: for every k of a whole first download
// and of a second download onto a phone that already holds remaps, the
// phone's power fails after its k-th erase or program. The session must end
// with an error; the phone then restarts from its state file, a clean
// download follows, and the flash checker must pass with the same info block
// (remap table and tag counters) as a download that was never cut: no block
// placed twice, no good reserved block used up by the retry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/reliability/matrix_util.h"

namespace vantrel::testing {
namespace {

struct MatrixOutcome {
  unsigned cuts = 0, recovered = 0;
  std::vector<std::string> failures;  // one line per cut point that did not recover
  std::vector<long> noInfoBlock;      // cut points after which the area held no info block
};

// Runs the matrix from the flash saved at `start`. `had_info_block`: the
// phone held a valid info block before the download began. `areas`: one FS
// image per info area of the package, each area checked after recovery.
// `last_ops`: only the download's last so many operations are cut (0: all).
MatrixOutcome CutEverywhere(Rig& rig, const std::string& start, bool had_info_block,
                            const std::vector<size_t>& areas = {0}, long last_ops = 0) {
  const std::string state = rig.ports().path() + "/phone.state";
  MatrixOutcome out;

  // The uncut download: how many operations it takes, and what it leaves.
  rig.set_flash(sim::Flash::FromFile(start));
  rig.StartPhone({}, 40, 0);
  SessionResult clean = RunEngineQuietly(rig);
  EXPECT_EQ(clean.result, 1) << clean.log;
  const long ops = static_cast<long>(rig.phone().Record().flashOps);
  std::vector<std::optional<std::vector<uint8_t>>> reference;
  for (size_t image : areas) {
    reference.push_back(TheInfoBlock(rig.flash(), rig.package(), image));
    EXPECT_TRUE(reference.back().has_value()) << "info area of FS image " << image;
  }
  EXPECT_GT(ops, 20);

  for (long k = last_ops ? std::max(1L, ops - last_ops) : 1; k <= ops; ++k) {
    ++out.cuts;
    const std::string at = "cut after operation " + std::to_string(k) + " of " + std::to_string(ops);
    rig.set_flash(sim::Flash::FromFile(start));
    sim::PhoneConfig c;
    c.faults.powerCutAfterOps = k;
    rig.StartPhone(c, 40, 0);
    SessionResult cut = RunEngineQuietly(rig);
    rig.phone().Stop();
    if (cut.result != 0) {
      out.failures.push_back(at + ": the session did not end with an error");
      continue;
    }
    if (had_info_block && InfoBlocksInArea(rig.flash(), rig.package()) == 0) out.noInfoBlock.push_back(k);

    PowerOnFromStateFile(rig, state);
    rig.StartPhone({}, 40, 0);
    SessionResult again = RunEngineQuietly(rig);
    if (again.result != 1) {
      out.failures.push_back(at + ": the next download failed (" + std::to_string(again.downloadCode) + ")");
      continue;
    }
    flashcheck::CheckReport check = rig.Check();
    if (!check.ok) {
      out.failures.push_back(at + ": " + check.problems.front());
      continue;
    }
    size_t differs = areas.size();
    for (size_t a = 0; a < areas.size() && differs == areas.size(); ++a)
      if (TheInfoBlock(rig.flash(), rig.package(), areas[a]) != reference[a]) differs = a;
    if (differs != areas.size()) {
      out.failures.push_back(at + ": the info block in the area of FS image " + std::to_string(areas[differs]) +
                             " is missing, or its remap table or counters differ from an uncut download's");
      continue;
    }
    ++out.recovered;
  }
  return out;
}

void Print(const char* what, const MatrixOutcome& o) {
  std::printf("[ power-cut matrix ] %s: %u cut points, %u recovered, %zu lost, %zu left without an info block\n",
              what, o.cuts, o.recovered, o.failures.size(), o.noInfoBlock.size());
}

TEST(PowerCutMatrix, EveryOperationOfAFirstDownloadRecovers) {
  Rig rig(512);
  rig.UsePackage(TinyPackage());
  const auto& fs = rig.package().fsImages.at(0);
  rig.flash().MarkFactoryBad(HomeBlock(fs, 1));
  rig.flash().SetFailing(HomeBlock(fs, 2));
  const std::string start = rig.ports().path() + "/start.state";
  ASSERT_TRUE(rig.flash().Save(start));

  MatrixOutcome o = CutEverywhere(rig, start, false);
  Print("first download", o);
  EXPECT_EQ(o.recovered, o.cuts) << ::testing::PrintToString(o.failures);
}

TEST(PowerCutMatrix, EveryOperationOfASecondDownloadKeepsAnInfoBlockAndRecovers) {
  Rig rig(512);
  rig.UsePackage(TinyPackage());
  const auto& fs = rig.package().fsImages.at(0);
  rig.flash().SetFailing(HomeBlock(fs, 0));
  rig.StartPhone({}, 40, 0);
  ASSERT_EQ(RunEngineQuietly(rig).result, 1);
  // The phone now holds a remap; a block of another tag fails from now on.
  rig.flash().SetFailing(HomeBlock(fs, 1));
  const std::string start = rig.ports().path() + "/start.state";
  ASSERT_TRUE(rig.flash().Save(start));

  MatrixOutcome o = CutEverywhere(rig, start, true);
  Print("second download", o);
  EXPECT_EQ(o.recovered, o.cuts) << ::testing::PrintToString(o.failures);
  EXPECT_TRUE(o.noInfoBlock.empty()) << "cut points that left the phone without an info block: "
                                     << ::testing::PrintToString(o.noInfoBlock);
}

// Two sections, each with its own info area: a cut while the second
// section's info block is programmed leaves it marked but without its record,
// which the next download reads as another version. Erasing the FS range
// then must not leave the first section's images (written earlier in that
// same download) erased behind a successful result.
TEST(PowerCutMatrix, EveryOperationOfATwoSectionDownloadRecoversBothInfoAreas) {
  Rig rig(512);
  rig.UsePackage(TwoSectionPackage());
  ASSERT_EQ(rig.package().fsImages.size(), 3u);
  rig.flash().MarkFactoryBad(HomeBlock(rig.package().fsImages.at(2), 1));
  const std::string start = rig.ports().path() + "/start.state";
  ASSERT_TRUE(rig.flash().Save(start));

  // The second section's writes and their neighbours: its two data blocks,
  // its info block's commit and the watchdog command after it.
  MatrixOutcome o = CutEverywhere(rig, start, false, {0, 2}, 45);
  Print("two-section download", o);
  EXPECT_EQ(o.recovered, o.cuts) << ::testing::PrintToString(o.failures);
}

}  // namespace
}  // namespace vantrel::testing
