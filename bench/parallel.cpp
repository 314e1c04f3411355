// Several simulated phones on emulated USB links, flashed at once by this
// process, one host thread per phone.
#include <cstdio>
#include <thread>

#include "bench/bench.h"
#include "platform/clock.h"

namespace vantrel::bench {
namespace {

struct Batch {
  bool ok = false;
  std::string error;
  double seconds = 0;     // first port opened to last download ended
  bool routed = true;     // every host got exactly the reports of one download
  size_t reports = 0;     // of the first host
};

Batch FlashAtOnce(const Options& o, unsigned phones, size_t expectReports) {
  sim::PhoneConfig cfg;
  cfg.linkBytesPerSecond = 1e6;
  cfg.turnaroundUs = 1000;
  std::vector<testing::RecordingHost> hosts(phones);
  std::vector<DownloadRun> runs(phones);
  std::vector<double> starts(phones);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < phones; ++i) {
    threads.emplace_back([&, i] {
      const double t0 = NowSeconds();
      runs[i] = RunDownload(o, 40 + i, cfg, &hosts[i]);
      starts[i] = t0;
    });
  }
  for (auto& t : threads) t.join();
  Batch b;
  double first = 1e300, last = 0;
  for (unsigned i = 0; i < phones; ++i) {
    if (!runs[i].ok) {
      b.error = Fmt("phone %u: ", i) + runs[i].error;
      return b;
    }
    // A download's own window ends `seconds` after its port opened, which is
    // close to its thread's start; the batch spans them all.
    first = std::min(first, starts[i]);
    last = std::max(last, starts[i] + runs[i].seconds);
    const size_t n = hosts[i].reports().size();
    if (i == 0) b.reports = n;
    if (n == 0 || (expectReports && n != expectReports) || n != b.reports) b.routed = false;
  }
  b.ok = true;
  b.seconds = last - first;
  return b;
}

}  // namespace

std::vector<Row> BenchParallel(const Options& o) {
  std::vector<Row> rows;
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);
  const std::string path = o.workDir + "/parallel.bin";
  const uint32_t blocks = o.quick ? 1 : 4;  // 2 MiB of payload per phone
  if (!MakePackage(path, blocks, o.quick ? 8 : 16)) return {Failed("Parallel phones", "the package could not be built")};
  UsePackage(path);
  const std::vector<unsigned> counts = o.quick ? std::vector<unsigned>{1, 2} : std::vector<unsigned>{1, 2, 4, 8};
  const int repeats = o.quick ? 1 : o.repeats;
  std::vector<std::vector<double>> ratios(counts.size()), times(counts.size());
  std::vector<bool> routed(counts.size(), true);
  std::string error;
  size_t expect = 0;
  // Rounds of 1, 2, 4, 8 phones; each ratio compares with the round's own
  // single phone.
  for (int rep = 0; rep < repeats && error.empty(); ++rep) {
    double one = 0;
    for (size_t k = 0; k < counts.size() && error.empty(); ++k) {
      std::fprintf(stderr, "  %u phones at once, round %d\n", counts[k], rep + 1);
      Batch b = FlashAtOnce(o, counts[k], expect);
      if (!b.ok) {
        error = Fmt("%u phones: ", counts[k]) + b.error;
        break;
      }
      if (counts[k] == 1) {
        one = b.seconds;
        expect = b.reports;
      }
      routed[k] = routed[k] && b.routed;
      times[k].push_back(b.seconds);
      ratios[k].push_back(b.seconds / one);
    }
  }
  std::remove(path.c_str());
  if (!error.empty()) return {Failed("Parallel phones on emulated USB", error)};
  for (size_t k = 1; k < counts.size(); ++k) {
    Row r = AtMost(Fmt("Parallel phones on emulated USB: %u at once vs one", counts[k]),
                   Fmt("%.2f s, reports %s", Median(times[k]), routed[k] ? "each to its own session" : "MISROUTED"),
                   Fmt("%.2f s one phone", Median(times[0])), Median(ratios[k]), 1.1);
    if (!routed[k]) r.met = false;
    rows.push_back(r);
  }
  return rows;
}

}  // namespace vantrel::bench
