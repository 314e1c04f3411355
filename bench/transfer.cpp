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
  double fair = 0, fairRatio = 0;      // the replay against the phone: seconds, fair/lib
  uint64_t sent = 0, received = 0;     // wire bytes to and from the phone
};

std::string Wire(const sim::PhoneRecord& r) {
  return Fmt("%.1f MB sent, %.1f MB read back", double(r.wireBytesIn) / kMB, double(r.wireBytesOut) / kMB);
}

// The host's side of one download, recorded for the replay; the recording
// run itself is not timed.
std::string RecordTranscript(const Options& o, const flashcheck::ExpectedFirmware& expected,
                             std::string* error) {
  const std::string path = o.workDir + "/transfer-wire.txt";
  std::remove(path.c_str());
  testing::RecordingHost host;
  DownloadRun d = RunDownload(o, 40, {}, &host, &expected, path);
  if (!d.ok) *error = d.error;
  return d.ok ? path : "";
}

// Alternates a download, the minimal sender on the wire script that very
// download produced, and the replay of a recorded download against the
// simulated phone, so all see the same machine load. Each download is
// followed by the flash check, so the bytes counted are the ones it had to
// send.
SizeResult FullSpeed(const Options& o, int repeats, const flashcheck::ExpectedFirmware& expected) {
  SizeResult r;
  const std::string transcript = RecordTranscript(o, expected, &r.error);
  if (transcript.empty()) return r;
  std::vector<double> lib, ref, ratios, fair, fairRatios;
  for (int i = 0; i < repeats; ++i) {
    sim::PhoneConfig cfg;
    cfg.recordWireScript = true;
    testing::RecordingHost host;
    const Usage u0 = Usage::Now();
    DownloadRun d = RunDownload(o, 40, cfg, &host, &expected);
    const Usage u1 = Usage::Now();
    if (!d.ok) {
      r.error = d.error;
      return r;
    }
    SenderCpu sc;
    const double m = RunMinimalSender(d.record.wireScript, &sc);
    const Usage u2 = Usage::Now();
    if (m <= 0) {
      r.error = "the minimal sender failed";
      return r;
    }
    const double f = RunReplaySender(o, transcript, expected, &r.error);
    if (f <= 0) return r;
    fair.push_back(f);
    fairRatios.push_back(f / d.seconds);
    // Progress on stderr: what each side cost the process (both ends of the
    // pty run in it), for reading the figure.
    const Usage ul = u1 - u0, um = u2 - u1;
    std::fprintf(stderr, "    %.3f s vs %.3f s (replay against the phone %.3f s); processor %.3f s vs %.3f s (host %.3f vs %.3f, phone %.3f vs peer %.3f); %ld vs %ld context switches; %s, %llu answers\n",
                 d.seconds, m, f, ul.cpu, um.cpu, d.cpuSeconds, sc.sender, d.record.cpuSeconds, sc.peer,
                 ul.switches, um.switches, Wire(d.record).c_str(),
                 static_cast<unsigned long long>(d.record.answers));
    lib.push_back(d.seconds);
    ref.push_back(m);
    ratios.push_back(m / d.seconds);
    r.sent = d.record.wireBytesIn;
    r.received = d.record.wireBytesOut;
  }
  r.ok = true;
  r.lib = Median(lib);
  r.ref = Median(ref);
  r.ratio = Median(ratios);
  r.fair = Median(fair);
  r.fairRatio = Median(fairRatios);
  std::remove(transcript.c_str());
  return r;
}

}  // namespace

std::vector<Row> BenchTransfer(const Options& o) {
  std::vector<Row> rows;
  platform::ManualClock clock;  // the fixed pauses and the countdown take no time
  platform::ScopedClock scope(&clock);
  const std::vector<uint32_t> sizes = o.quick ? std::vector<uint32_t>{1} : std::vector<uint32_t>{8, 32, 128};
  // Full-speed downloads take a fraction of a second: more pairs steady the
  // median on a shared machine.
  const int repeats = o.quick ? 1 : 2 * o.repeats + 1;
  double firstLib = 0, firstRef = 0;
  uint32_t first = 0;
  for (uint32_t mib : sizes) {
    // The package's FS data; the download sends only the pages that carry
    // data (about four in ten here), and reads back the info areas.
    const std::string data = Fmt("%u MiB of FS data", mib);
    std::fprintf(stderr, "  Transfer at full speed (pty), %s\n", data.c_str());
    const std::string path = o.workDir + Fmt("/transfer-%u.bin", mib);
    flashcheck::ExpectedFirmware expected;
    // 4 images x 2 blocks of 128 KiB per MiB.
    const uint64_t images = MakePackage(path, mib * 2, o.quick ? 8 : 16, &expected);
    if (!images) {
      rows.push_back(Failed("Transfer at full speed (pty), " + data, "the package could not be built"));
      continue;
    }
    UsePackage(path);
    SizeResult s = FullSpeed(o, repeats, expected);
    if (!s.ok) {
      rows.push_back(Failed("Transfer at full speed (pty), " + data, s.error));
      continue;
    }
    const double wire = double(s.sent + s.received);
    const std::string name = Fmt("Transfer at full speed (pty), %s (%.1f MB sent, %.1f MB read back)",
                                 data.c_str(), double(s.sent) / kMB, double(s.received) / kMB);
    rows.push_back(AtLeast(name + ": wire rate vs minimal sender",
                           Fmt("%.1f MB/s (%.3f s)", wire / s.lib / kMB, s.lib),
                           Fmt("%.1f MB/s (%.3f s)", wire / s.ref / kMB, s.ref), s.ratio, 0.9));
    // The limit a user meets: the same phone, driven by a host that does
    // nothing but the port's calls (both sides pay the phone's own work).
    rows.push_back(AtLeast(name + ": wire rate vs the same phone driven by a minimal host",
                           Fmt("%.1f MB/s (%.3f s)", wire / s.lib / kMB, s.lib),
                           Fmt("%.1f MB/s (%.3f s)", wire / s.fair / kMB, s.fair), s.fairRatio, 0.95));
    // Growth per wire byte: the FS data's share that is sent differs a little
    // between sizes.
    const double perLib = s.lib / (wire / kMB), perRef = s.ref / (wire / kMB);
    if (!first) {
      first = mib;
      firstLib = perLib;
      firstRef = perRef;
    } else {
      rows.push_back(AtMost(Fmt("Transfer: time per MB on the wire, %u vs %u MiB (linear growth)", mib, first),
                            Fmt("%.2f ms/MB", perLib * 1e3), Fmt("%.2f ms/MB", firstLib * 1e3),
                            perLib / firstLib, 1.15));
      rows.push_back(AtMost(Fmt("  minimal sender, the same: %u vs %u MiB", mib, first),
                            Fmt("%.2f ms/MB", perRef * 1e3), Fmt("%.2f ms/MB", firstRef * 1e3),
                            perRef / firstRef, 1.15));
    }
    if (mib == sizes.front()) {
      // The emulated USB link: 1 MB/s and 1 ms turnaround.
      const std::string usb = "Transfer on emulated USB (1 MB/s, 1 ms turnaround), " + data;
      std::fprintf(stderr, "  %s\n", usb.c_str());
      std::vector<double> ratios, times, ideals;
      std::string error, wireText;
      for (int i = 0; i < (o.quick ? 1 : o.repeats) && error.empty(); ++i) {
        sim::PhoneConfig cfg;
        cfg.linkBytesPerSecond = 1e6;
        cfg.turnaroundUs = 1000;
        testing::RecordingHost host;
        DownloadRun d = RunDownload(o, 40, cfg, &host, &expected);
        if (!d.ok) error = d.error;
        const double ideal = d.record.IdealLinkSeconds(cfg);
        ratios.push_back(ideal / d.seconds);
        times.push_back(d.seconds);
        ideals.push_back(ideal);
        wireText = Fmt("%s, %llu answers", Wire(d.record).c_str(), static_cast<unsigned long long>(d.record.answers));
      }
      if (!error.empty()) rows.push_back(Failed(usb, error));
      else
        rows.push_back(AtLeast(usb + " (" + wireText + "): ideal link time vs total time",
                               Fmt("%.2f s", Median(times)), Fmt("%.2f s ideal", Median(ideals)),
                               Median(ratios), 0.97));
    }
    std::remove(path.c_str());
  }
  return rows;
}

}  // namespace vantrel::bench
