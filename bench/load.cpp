// Package load against reading the same file into memory. Both run in fresh
// child processes, so each has its own peak resident memory, alternately,
// with the file in the page cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "bench/bench.h"
#include "engine/engine.h"

namespace vantrel::bench {
namespace {

struct ChildResult {
  bool ok = false;
  double seconds = 0;
  double peakMiB = 0;    // resident high-water mark above what the process held before
  double imagesMiB = 0;  // the images the load produced
};

constexpr double kMiB = 1024.0 * 1024.0;

void PrintResult(double seconds, uint64_t rssBeforeKiB, uint64_t images) {
  std::printf("RESULT %.6f %.3f %.3f\n", seconds, double(StatusKiB("VmHWM") - rssBeforeKiB) / 1024,
              double(images) / kMiB);
  std::fflush(stdout);
}

ChildResult RunChild(const char* what, const std::string& path) {
  ChildResult r;
  std::string out;
  if (!RunSelf({"--child", what, path}, &out)) return r;
  size_t at = out.rfind("RESULT ");
  if (at == std::string::npos) return r;
  std::istringstream in(out.substr(at + 7));
  r.ok = static_cast<bool>(in >> r.seconds >> r.peakMiB >> r.imagesMiB);
  return r;
}

}  // namespace

int ChildLoad(const std::string& path) {
  const uint64_t before = StatusKiB("VmRSS");
  const double t0 = NowSeconds();
  SetPackagePath(path);
  Channel log;
  LoadPackageOnce(log);
  const double t = NowSeconds() - t0;
  const FirmwareBundle& p = Package();
  if (p.bootloader.length == 0) return 1;
  uint64_t images = uint64_t(p.bootloader.length) + p.extBootloader.length + p.rom.length + p.rom2.length;
  for (const ImageDesc& fs : p.fs) images += fs.length;
  PrintResult(t, before, images);
  return 0;
}

int ChildRead(const std::string& path) {
  const uint64_t before = StatusKiB("VmRSS");
  const double t0 = NowSeconds();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  const size_t size = size_t(st.st_size);
  std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, buf.get() + done, size - done);
    if (n <= 0) return 1;
    done += size_t(n);
  }
  ::close(fd);
  const double t = NowSeconds() - t0;
  PrintResult(t, before, 0);
  return 0;
}

std::vector<Row> BenchPackageLoad(const Options& o) {
  std::vector<Row> rows;
  const std::vector<uint32_t> sizes = o.quick ? std::vector<uint32_t>{4} : std::vector<uint32_t>{16, 64, 256};
  const int repeats = o.quick ? 1 : 5;
  double perMiBFirst = 0;
  uint32_t first = 0;
  for (uint32_t mib : sizes) {
    const std::string name = Fmt("Package load, %u MiB", mib);
    std::fprintf(stderr, "  %s\n", name.c_str());
    const std::string path = o.workDir + Fmt("/load-%u.bin", mib);
    // Four images of n blocks of 135168 file bytes each, with a little room
    // for the header, boot and ROM sections.
    const uint32_t blocks = std::max<uint32_t>(1, uint32_t(mib * kMiB / (4 * 135168.0)) - 1);
    if (!MakePackage(path, blocks)) {
      rows.push_back(Failed(name, "the package could not be built"));
      continue;
    }
    struct stat st {};
    stat(path.c_str(), &st);
    const double fileMiB = double(st.st_size) / kMiB;
    RunChild("read", path);  // into the page cache
    std::vector<double> ratios, loads, reads, peaks, readPeaks;
    double images = 0;
    bool ok = true;
    for (int i = 0; i < repeats && ok; ++i) {
      ChildResult rd = RunChild("read", path);
      ChildResult ld = RunChild("load", path);
      ok = rd.ok && ld.ok;
      if (!ok) break;
      ratios.push_back(ld.seconds / rd.seconds);
      loads.push_back(ld.seconds);
      reads.push_back(rd.seconds);
      peaks.push_back(ld.peakMiB);
      readPeaks.push_back(rd.peakMiB);
      images = ld.imagesMiB;
    }
    ::unlink(path.c_str());
    if (!ok) {
      rows.push_back(Failed(name, "the load or the read failed in its child process"));
      continue;
    }
    // The memory limits are measured too: what a process holds that has read
    // the file into memory (the file and what any process adds while
    // working), plus the images.
    const double load = Median(loads), peak = Median(peaks), readPeak = Median(readPeaks);
    const double process = std::max(0.0, readPeak - fileMiB);
    rows.push_back(AtMost(name + Fmt(" (file %.1f MiB): time vs reading the file", fileMiB),
                          Fmt("%.1f ms", load * 1e3), Fmt("%.1f ms read", Median(reads) * 1e3),
                          Median(ratios), 1.5));
    rows.push_back(AtMost(name + ": peak memory vs file + images", Fmt("%.1f MiB", peak),
                          Fmt("%.1f MiB (read: %.1f MiB)", readPeak + images, readPeak),
                          peak / (readPeak + images), 1.0));
    rows.push_back(AtMost(name + ": peak memory vs images + 16 MiB (moonshot)", Fmt("%.1f MiB", peak),
                          Fmt("%.1f MiB", images + 16 + process), peak / (images + 16 + process), 1.0));
    const double perMiB = load / fileMiB;
    if (!first) {
      first = mib;
      perMiBFirst = perMiB;
    } else {
      rows.push_back(AtMost(Fmt("Package load: time per MiB, %u vs %u MiB (linear growth)", mib, first),
                            Fmt("%.2f ms/MiB", perMiB * 1e3), Fmt("%.2f ms/MiB", perMiBFirst * 1e3),
                            perMiB / perMiBFirst, 1.25));
    }
  }
  return rows;
}

}  // namespace vantrel::bench
