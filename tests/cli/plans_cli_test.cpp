// `vantrel info`, `readback` and `flash --verify`, the real binary against
// simulated phones whose flash is kept in a state file between runs.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/check/flash_check.h"
#include "sim/flash.h"
#include "tests/cli/process.h"

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class Plans : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = fs::temp_directory_path() / ("vantrel-plans-test-" + std::to_string(getpid()));
    fs::create_directories(tmp_);
    state_ = (tmp_ / "phone.bin").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }
  // Runs vantrel with `args` against the simulated phone of the state file.
  std::unique_ptr<Process> Run(std::vector<std::string> args) {
    args.insert(args.begin(), BinDir() + "/vantrel");
    args.insert(args.end(), {"--simulate", "--state", state_});
    auto p = std::make_unique<Process>(args);
    p->Wait(milliseconds(60000));
    return p;
  }
  std::string Out(const char* name) const { return (tmp_ / name).string(); }

  fs::path tmp_;
  std::string state_;
};

TEST_F(Plans, WhatIsReadBackIsWhatTheFlashHoldsWithAndWithoutSpareBytes) {
  ASSERT_EQ(Run({"flash", "-q"})->Wait(milliseconds(0)), 0);
  auto main = Run({"readback", "--through-fs", "--out", Out("main.bin")});
  ASSERT_EQ(main->Wait(milliseconds(0)), 0) << main->err();
  EXPECT_NE(main->err().find("] 50% ("), std::string::npos) << "progress off a terminal too\n" << main->err();
  auto spare = Run({"readback", "--fs-region", "--spare", "--out", Out("fs.bin")});
  ASSERT_EQ(spare->Wait(milliseconds(0)), 0) << spare->err();

  auto flash = sim::Flash::FromFile(state_);
  ASSERT_TRUE(flash);
  const auto side = nlohmann::json::parse(std::ifstream(Out("fs.bin") + ".json"));
  EXPECT_EQ(side["mode"], "main+spare");
  EXPECT_EQ(side["sha256"].get<std::string>().size(), 64u);
  const auto whole = nlohmann::json::parse(std::ifstream(Out("main.bin") + ".json"));
  EXPECT_EQ(side["spare_size"], 64);
  EXPECT_TRUE(whole["spare_size"].is_null()) << "a main-data read's answer does not name the spare size";
  EXPECT_EQ(whole["start"], 0);
  EXPECT_EQ(whole["length"].get<uint64_t>(), side["start"].get<uint64_t>() + side["length"].get<uint64_t>())
      << "through the FS is everything up to the FS region's end";
  const auto m = flashcheck::CompareReadBackFile(*flash, 0, whole["length"], 1, Out("main.bin"));
  EXPECT_TRUE(m.ok) << m.summary;
  const auto s = flashcheck::CompareReadBackFile(*flash, side["start"], side["length"], 0, Out("fs.bin"));
  EXPECT_TRUE(s.ok) << s.summary;

  // An existing file is kept; a missing folder is refused before the phone.
  auto again = Run({"readback", "--fs-region", "--out", Out("fs.bin")});
  EXPECT_EQ(again->Wait(milliseconds(0)), 2);
  EXPECT_NE(again->err().find("give --force"), std::string::npos) << again->err();
  auto nowhere = Run({"readback", "--fs-region", "--out", Out("missing/fs.bin")});
  EXPECT_EQ(nowhere->Wait(milliseconds(0)), 2);
  EXPECT_EQ(nowhere->err().find("boot ROM"), std::string::npos) << "the phone was touched: " << nowhere->err();

  // What cannot take the file, or names none, is refused before the phone
  // too, even with --force; so is a sidecar that exists.
  fs::create_directories(Out("blocked.bin") + ".partial");
  fs::create_directories(Out("adir"));
  std::ofstream(Out("side.bin") + ".json") << "{}";
  for (const auto& [args, said] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--out", Out("blocked.bin")}, "cannot write " + Out("blocked.bin") + ".partial: Is a directory"},
           {{"--out", "/proc/x.bin"}, "cannot write /proc/x.bin.partial"},
           {{"--out", Out("adir"), "--force"}, "is a folder"},
           {{"--out", ""}, "--out takes a path, not an empty string"},
           {{"--out", Out("side.bin")}, Out("side.bin") + ".json exists; give --force"}}) {
    std::vector<std::string> all{"readback", "--range", "0:0x800"};
    all.insert(all.end(), args.begin(), args.end());
    auto refused = Run(all);
    EXPECT_EQ(refused->Wait(milliseconds(0)), 2) << said << ": " << refused->err();
    EXPECT_NE(refused->err().find(said), std::string::npos) << refused->err();
    EXPECT_EQ(refused->err().find("boot ROM"), std::string::npos) << "the phone was touched: " << refused->err();
  }
  EXPECT_FALSE(fs::exists(Out("side.bin")));
  EXPECT_TRUE(fs::is_empty(Out("adir")));

  // A sidecar that cannot be written is told, and fails the run.
  fs::create_directories(Out("noside.bin") + ".json");
  auto noside = Run({"readback", "--range", "0:0x800", "--out", Out("noside.bin"), "--force"});
  EXPECT_EQ(noside->Wait(milliseconds(0)), 1) << noside->err();
  EXPECT_NE(noside->out().find("cannot write " + Out("noside.bin") + ".json"), std::string::npos) << noside->out();
}

// The remap count and the predicted action are what the next download does.
TEST_F(Plans, InfoTellsTheRemapsAndWhatTheNextDownloadDoes) {
  const std::string package = Out("fw.bin");
  ASSERT_EQ(Process({BinDir() + "/vantrel", "pkg", "sample", "-o", package}).Wait(milliseconds(20000)), 0);
  auto fresh = Run({"info", "--package", package});
  ASSERT_EQ(fresh->Wait(milliseconds(0)), 0) << fresh->err();
  EXPECT_NE(fresh->out().find("no ROM record"), std::string::npos) << fresh->out();
  EXPECT_NE(fresh->out().find("erases the reserved pool"), std::string::npos) << fresh->out();

  // FS image 1's first data blocks are bad: the download moves them.
  ASSERT_EQ(Run({"flash", "-q", "--package", package, "--bad-blocks", "192,193"})->Wait(milliseconds(0)), 0);
  auto after = Run({"info", "--package", package});
  ASSERT_EQ(after->Wait(milliseconds(0)), 0) << after->err();
  EXPECT_NE(after->out().find("ROM record in block 2"), std::string::npos) << after->out();
  EXPECT_NE(after->out().find("FS 1: info block"), std::string::npos) << after->out();
  EXPECT_TRUE(std::regex_search(after->out(), std::regex("FS 1: info block [0-9]+ \\(version 5\\.2\\.0\\), 2 blocks "
                                                        "remapped, tag counters [1-9][0-9,]*; this package fits; "
                                                        "the next download carries the remaps over")))
      << after->out();
}

// What the phone cannot serve is told as what it is: a package for the
// other geometry does not fit (its info area was never searched), and a
// range past the flash is the request's fault, not the flash's.
TEST_F(Plans, RequestsThePhoneCannotServeAreToldAsSuch) {
  const std::string package = Out("fw.bin");
  ASSERT_EQ(Process({BinDir() + "/vantrel", "pkg", "sample", "-o", package}).Wait(milliseconds(20000)), 0);
  auto other = Run({"info", "--package", package, "--page-size", "512"});
  ASSERT_EQ(other->Wait(milliseconds(0)), 0) << other->err();
  EXPECT_NE(other->out().find("FS 1: this package does NOT fit (1032: the package's FS images are for 2048-byte "
                              "pages; this phone's flash has 512-byte pages)"),
            std::string::npos)
      << other->out();
  EXPECT_EQ(other->out().find("no info block"), std::string::npos) << other->out();

  auto past = Run({"readback", "--range", "0xFFFF0000:0x1000", "--out", Out("past.bin"), "--page-size", "512"});
  EXPECT_EQ(past->Wait(milliseconds(0)), 2) << past->err();
  EXPECT_NE(past->err().find("past the flash's end"), std::string::npos) << past->err();
  EXPECT_EQ(past->err().find("service"), std::string::npos) << past->err();
  EXPECT_FALSE(fs::exists(Out("past.bin")));

  // A blank phone has no FS region to read: the request, not the flash.
  auto blank = Run({"readback", "--fs-region", "--out", Out("blank.bin")});
  EXPECT_EQ(blank->Wait(milliseconds(0)), 2) << blank->err();
  EXPECT_NE(blank->err().find("holds no ROM information record (blank or erased)"), std::string::npos) << blank->err();
  EXPECT_NE(blank->err().find("--range"), std::string::npos) << blank->err();
  EXPECT_EQ(blank->err().find("flash it"), std::string::npos) << blank->err();
  EXPECT_FALSE(fs::exists(Out("blank.bin") + ".partial"));
}

TEST_F(Plans, VerifyPassesACleanPhoneAndNamesTheBlockThatReadsBackWrong) {
  auto clean = Run({"flash", "--verify"});
  EXPECT_EQ(clean->Wait(milliseconds(0)), 0) << clean->err();
  EXPECT_NE(clean->out().find("verified 13 blocks"), std::string::npos) << clean->out();
  auto weak = Run({"flash", "--verify", "--weak-blocks", "200"});
  EXPECT_EQ(weak->Wait(milliseconds(0)), 7);
  EXPECT_NE(weak->out().find("1034 VerifyMismatch (verify: FS image 2: data in block 200"), std::string::npos)
      << weak->out();
}

}  // namespace
}  // namespace vantrel::testing
