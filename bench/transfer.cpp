// Whole downloads over a pseudo-terminal: at full speed against a minimal
// sender doing the same wire work, at three sizes, and on the emulated USB
// link against that link's ideal time.
#include <cstdio>

#include "bench/bench.h"
#include "platform/clock.h"

namespace vantrel::bench {
namespace {

constexpr double kMB = 1e6;

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
    DownloadRun d = RunDownload(o, 40, cfg, &host);
    if (!d.ok) {
      r.error = d.error;
      return r;
    }
    const double m = RunMinimalSender(d.record.wireScript);
    if (m <= 0) {
      r.error = "the minimal sender failed";
      return r;
    }
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
