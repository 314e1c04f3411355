// `vantrel station`, the real binary, flashing phone after phone on two
// ports: simulated phones (`vantrel sim` processes) come one after another
// on each, as an operator plugs them in, and one is cut off midway.
#include <signal.h>

#include <fstream>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/cli/station_fixture.h"

namespace vantrel::testing {
namespace {

std::vector<nlohmann::json> LogRecords(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

size_t RecordsOf(const std::string& log, const std::string& port) {
  size_t n = 0;
  for (const auto& r : LogRecords(log)) n += r["port"] == port;
  return n;
}

// The shared fixture's folder and package, with a port directory in which
// the simulated phones appear.
class Unattended : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    fs::create_directories(tmp_ / "ports");
  }
  static std::string Bin() { return Vantrel(); }
  std::string Port(int com) const { return (tmp_ / "ports" / ("COM" + std::to_string(com))).string(); }

  // One phone plugged into COM`com`: served until it leaves (reset or cut
  // off), then the operator waits for the verdict before the next.
  void PlugOne(int com, const std::vector<std::string>& faults, size_t records_before, const std::string& log) {
    std::vector<std::string> args = {Bin(), "sim", "--port-dir", (tmp_ / "ports").string(), "--com",
                                     std::to_string(com)};
    args.insert(args.end(), faults.begin(), faults.end());
    Process phone(args);
    phone.Wait(milliseconds(60000));
    for (int i = 0; i < 3000 && RecordsOf(log, Port(com)) <= records_before; ++i)
      std::this_thread::sleep_for(milliseconds(10));
  }

};

TEST_F(Unattended, EachPortFlashesPhoneAfterPhoneAndLogsEveryOneUntilCtrlC) {
  const std::string log = (tmp_ / "results.jsonl").string();
  Process station({Bin(), "station", "--package", package_, "--port", Port(40), "--port", Port(41), "--log", log,
                   "--time-scale", "100"},
                  Env());
  auto plug = [&](int com, bool cut_second) {
    for (size_t k = 0; k < 3; ++k) {
      std::vector<std::string> faults;
      if (cut_second && k == 1) faults = {"--hangup-at", "agent:packet#10"};
      PlugOne(com, faults, k, log);
    }
  };
  std::thread a(plug, 40, true), b(plug, 41, false);
  a.join();
  b.join();

  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 6u) << station.err();
  std::map<std::string, std::vector<std::string>> results;
  for (const auto& r : records) {
    results[r["port"]].push_back(r["result"]);
    EXPECT_EQ(r["package_sha256"].get<std::string>().size(), 64u);
    ASSERT_GE(r["steps"].size(), 2u) << r.dump();
    EXPECT_EQ(r["steps"][0]["step"], "boot ROM stage") << r.dump();
    EXPECT_EQ(r["steps"][1]["step"], "agent connection") << r.dump();
    EXPECT_EQ(r["phone"]["chip_type"], 0x14) << r.dump();
    EXPECT_EQ(r["phone"]["target_report_sha256"].get<std::string>().size(), 64u) << r.dump();
    if (r["result"] == "failed") {
      EXPECT_EQ(r["class"], "connection-lost") << r.dump();
      EXPECT_EQ(r["cause"], "port-gone") << r.dump();
    }
  }
  EXPECT_EQ(results[Port(40)], (std::vector<std::string>{"ok", "failed", "ok"}));
  EXPECT_EQ(results[Port(41)], (std::vector<std::string>{"ok", "ok", "ok"}));

  station.Signal(SIGINT);
  EXPECT_EQ(station.Wait(milliseconds(20000)), 130) << "ran until Ctrl-C\n" << station.err();
  EXPECT_NE(station.err().find("6 phones: 5 passed, 1 failed, yield 83 %"), std::string::npos)
      << "the counts on screen\n" << station.err();
  EXPECT_NE(station.out().find("vantrel station: 6 phones: 5 passed, 1 failed, yield 83 %"), std::string::npos)
      << "the summary\n" << station.out();
  EXPECT_TRUE(fs::is_empty(tmp_ / "tmp")) << "temporary files left";
}

// --max-phones counts phones, not ports: both may come on one port while
// the other stays empty, and the run then ends without waiting there.
TEST_F(Unattended, MaxPhonesTakesThePhonesOnWhicheverPortTheyCome) {
  const std::string log = (tmp_ / "results.jsonl").string();
  Process station({Bin(), "station", "--package", package_, "--port", Port(40), "--port", Port(41), "--log", log,
                   "--max-phones", "2", "--time-scale", "100"},
                  Env());
  PlugOne(40, {}, 0, log);
  PlugOne(40, {}, 1, log);
  EXPECT_EQ(station.Wait(milliseconds(20000)), 0) << station.err();
  EXPECT_EQ(RecordsOf(log, Port(40)), 2u) << station.err();
}

// The package is read once, at the start: replacing the file while the
// station runs (here by one for the other flash geometry) changes nothing.
TEST_F(Unattended, ThePackageIsTheOneCheckedAtTheStart) {
  const std::string log = (tmp_ / "results.jsonl").string();
  Process station({Bin(), "station", "--package", package_, "--port", Port(40), "--log", log, "--time-scale", "100"},
                  Env());
  for (int i = 0; i < 2000 && station.err().find("plug phones in") == std::string::npos; ++i)
    std::this_thread::sleep_for(milliseconds(10));
  Process other({Bin(), "pkg", "sample", "--page-size", "512", "-o", package_});
  ASSERT_EQ(other.Wait(milliseconds(20000)), 0) << other.err();
  PlugOne(40, {}, 0, log);
  station.Signal(SIGINT);
  station.Wait(milliseconds(20000));
  const auto records = LogRecords(log);
  ASSERT_EQ(records.size(), 1u) << station.err();
  EXPECT_EQ(records[0]["result"], "ok") << records[0].dump();
}

TEST_F(Unattended, ALogThatCannotBeAppendedToIsRefusedBeforeAnyPort) {
  Process station({Bin(), "station", "--package", package_, "--port", Port(40), "--log",
                   (tmp_ / "missing" / "log.jsonl").string()});
  EXPECT_EQ(station.Wait(milliseconds(20000)), 2);
  EXPECT_NE(station.err().find("--log " + (tmp_ / "missing" / "log.jsonl").string() + ": the folder"), std::string::npos)
      << station.err();
}

}  // namespace
}  // namespace vantrel::testing
