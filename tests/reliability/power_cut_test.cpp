// Power cuts at every flash operation: for every k of a whole first download
// and of a second download onto a phone that already holds remaps, the
// phone's power fails after its k-th erase or program. The session must end
// with an error; the phone then restarts from its state file, a clean
// download follows, and the flash checker must pass with the same info block
// (remap table and tag counters) as a download that was never cut: no block
// placed twice, no good reserved block used up by the retry.
#include <gtest/gtest.h>

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
// phone held a valid info block before the download began.
MatrixOutcome CutEverywhere(Rig& rig, const std::string& start, bool had_info_block) {
  const std::string state = rig.ports().path() + "/phone.state";
  MatrixOutcome out;

  // The uncut download: how many operations it takes, and what it leaves.
  rig.set_flash(sim::Flash::FromFile(start));
  rig.StartPhone({}, 40, 0);
  SessionResult clean = RunEngineQuietly(rig);
  EXPECT_EQ(clean.result, 1) << clean.log;
  const long ops = static_cast<long>(rig.phone().Record().flashOps);
  const auto reference = TheInfoBlock(rig.flash(), rig.package());
  EXPECT_TRUE(reference.has_value());
  EXPECT_GT(ops, 20);

  for (long k = 1; k <= ops; ++k) {
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
    if (TheInfoBlock(rig.flash(), rig.package()) != reference) {
      out.failures.push_back(at + ": the info block's remap table or counters differ from an uncut download's");
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

}  // namespace
}  // namespace vantrel::testing
