// Whole downloads over a pseudo-terminal: at full speed against a minimal
// sender doing the same wire work, at three sizes, and on the emulated USB
// link against that link's ideal time.
#include <sys/resource.h>

#include <cstdio>

#include "bench/bench.h"
#include "platform/clock.h"

namespace vantrel::bench {
namespace {

constexpr double kMB = 1e6;

// Processor time and voluntary context switches of the whole process.
struct Usage {
  double cpu = 0;
  long switches = 0;
  static Usage Now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec),
            u.ru_nvcsw};
  }
  Usage operator-(const Usage& o) const { return {cpu - o.cpu, switches - o.switches}; }
};

struct SizeResult {
  bool ok = false;
  std::string error;
  double lib = 0, ref = 0, ratio = 0;  // medians: seconds, seconds, ref/lib
  double wireBytes = 0;
};

// Alternates a download and the minimal sender on the wire script that very
// download produced, so both sides see the same machine load.
SizeResult FullSpeed(const Options& o, int repeats) {
  SizeResult r;
  std::vector<double> lib, ref, ratios;
  for (int i = 0; i < repeats; ++i) {
    sim::PhoneConfig cfg;
    cfg.recordWireScript = true;
    testing::RecordingHost host;
    const Usage u0 = Usage::Now();
    DownloadRun d = RunDownload(o, 40, cfg, &host);
    const Usage u1 = Usage::Now();
    if (!d.ok) {
      r.error = d.error;
      return r;
    }
    const double m = RunMinimalSender(d.record.wireScript);
    const Usage u2 = Usage::Now();
    const Usage ul = u1 - u0, um = u2 - u1;
    std::fprintf(stderr, "    cpu %.3f s vs %.3f s, voluntary switches %ld vs %ld, script %zu steps\n", ul.cpu, um.cpu,
                 ul.switches, um.switches, d.record.wireScript.size());
    if (m <= 0) {
      r.error = "the minimal sender failed";
      return r;
    }
    const sim::PhoneRecord& pr = d.record;
    uint64_t readBytes = 0;
    for (const auto& rd : pr.reads) readBytes += rd.total;
    std::fprintf(stderr, "    %.2f s vs %.2f s: %.1f MB to the phone, %.1f MB from it (%.1f MB flash reads), %llu answers, %u block and %u page writes\n",
                 d.seconds, m, pr.wireBytesIn / kMB, pr.wireBytesOut / kMB, readBytes / kMB,
                 (unsigned long long)pr.answers, pr.blockWrites, pr.pageWrites);
    lib.push_back(d.seconds);
    ref.push_back(m);
    ratios.push_back(m / d.seconds);
    r.wireBytes = double(d.record.wireBytesIn + d.record.wireBytesOut);
  }
  r.ok = true;
  r.lib = Median(lib);
  r.ref = Median(ref);
  r.ratio = Median(ratios);
  return r;
}

}  // namespace

std::vector<Row> BenchTransfer(const Options& o) {
  std::vector<Row> rows;
  platform::ManualClock clock;  // the fixed pauses and the countdown take no time
  platform::ScopedClock scope(&clock);
  const std::vector<uint32_t> sizes = o.quick ? std::vector<uint32_t>{1} : std::vector<uint32_t>{8, 32, 128};
  const int repeats = o.quick ? 1 : o.repeats;
  double firstLib = 0, firstRef = 0;
  uint32_t first = 0;
  for (uint32_t mib : sizes) {
    const std::string name = Fmt("Transfer at full speed (pty), %u MiB payload", mib);
    std::fprintf(stderr, "  %s\n", name.c_str());
    const std::string path = o.workDir + Fmt("/transfer-%u.bin", mib);
    const uint64_t images = MakePackage(path, mib * 2, o.quick ? 8 : 16);  // 4 images x 2 blocks of 128 KiB per MiB
    if (!images) {
      rows.push_back(Failed(name, "the package could not be built"));
      continue;
    }
    UsePackage(path);
    SizeResult s = FullSpeed(o, repeats);
    if (!s.ok) {
      rows.push_back(Failed(name, s.error));
      continue;
    }
    rows.push_back(AtLeast(name + ": wire rate vs minimal sender",
                           Fmt("%.1f MB/s (%.2f s)", s.wireBytes / s.lib / kMB, s.lib),
                           Fmt("%.1f MB/s (%.2f s)", s.wireBytes / s.ref / kMB, s.ref), s.ratio, 0.9));
    const double perLib = s.lib / mib, perRef = s.ref / mib;
    if (!first) {
      first = mib;
      firstLib = perLib;
      firstRef = perRef;
    } else {
      rows.push_back(AtMost(Fmt("Transfer: time per MiB, %u vs %u MiB (linear growth)", mib, first),
                            Fmt("%.1f ms/MiB", perLib * 1e3), Fmt("%.1f ms/MiB", firstLib * 1e3),
                            perLib / firstLib, 1.15));
      rows.push_back(AtMost(Fmt("  minimal sender, the same: %u vs %u MiB", mib, first),
                            Fmt("%.1f ms/MiB", perRef * 1e3), Fmt("%.1f ms/MiB", firstRef * 1e3),
                            perRef / firstRef, 1.15));
    }
    if (mib == sizes.front()) {
      // The emulated USB link: 1 MB/s and 1 ms turnaround.
      const std::string usb = Fmt("Transfer on emulated USB (1 MB/s, 1 ms turnaround), %u MiB", mib);
      std::fprintf(stderr, "  %s\n", usb.c_str());
      std::vector<double> ratios, times, ideals;
      std::string error;
      for (int i = 0; i < repeats && error.empty(); ++i) {
        sim::PhoneConfig cfg;
        cfg.linkBytesPerSecond = 1e6;
        cfg.turnaroundUs = 1000;
        testing::RecordingHost host;
        DownloadRun d = RunDownload(o, 40, cfg, &host);
        if (!d.ok) error = d.error;
        const double ideal = d.record.IdealLinkSeconds(cfg);
        ratios.push_back(ideal / d.seconds);
        times.push_back(d.seconds);
        ideals.push_back(ideal);
      }
      if (!error.empty()) rows.push_back(Failed(usb, error));
      else
        rows.push_back(AtLeast(usb + ": ideal link time vs total time", Fmt("%.2f s", Median(times)),
                               Fmt("%.2f s ideal", Median(ideals)), Median(ratios), 0.97));
    }
    std::remove(path.c_str());
  }
  return rows;
}

}  // namespace vantrel::bench
