// vantrel_bench: one run that measures every performance figure against its
// limit on this machine and prints one table.
//   vantrel_bench            the full run (a few minutes)
//   vantrel_bench --quick    small sizes, one repetition: proves it all runs
//   vantrel_bench --only P   one part: load, transfer, waiting, parallel, soak or plans
// Benchmarks report; the exit status is 0 unless a measurement could not be
// made at all.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench.h"
#include "tests/support/pty_pair.h"

#ifndef VANTREL_BUILD_TYPE
#define VANTREL_BUILD_TYPE "unknown"
#endif

namespace vantrel::bench {
namespace {

std::string FirstLine(const char* file, const char* key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, std::strlen(key), key) == 0) {
      size_t colon = line.find(':');
      std::string v = colon == std::string::npos ? line : line.substr(colon + 1);
      v.erase(0, v.find_first_not_of(" \t"));
      return v;
    }
  }
  return "?";
}

std::string Machine() {
  utsname u{};
  uname(&u);
  std::string load;
  std::ifstream("/proc/loadavg") >> load;
  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
  return Fmt("%s; %u cores; %s memory; %s %s; g++ %s, %s; %s; load average %s at the start",
             FirstLine("/proc/cpuinfo", "model name").c_str(), std::thread::hardware_concurrency(),
             FirstLine("/proc/meminfo", "MemTotal").c_str(), u.sysname, u.release, __VERSION__,
             VANTREL_BUILD_TYPE, date, load.c_str());
}

void Print(FILE* out, const std::string& machine, const Options& o, const std::vector<Row>& rows) {
  std::fprintf(out, "Vantrel benchmark%s\n", o.quick ? " (--quick: small sizes, one repetition; figures not meaningful)" : "");
  std::fprintf(out, "Machine: %s\n\n", machine.c_str());
  std::fprintf(out, "| Figure | Measured | Limit, measured in this run | Ratio | Target | |\n");
  std::fprintf(out, "|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    if (r.failed) {
      std::fprintf(out, "| %s | %s | | | | FAILED |\n", r.figure.c_str(), r.measured.c_str());
      continue;
    }
    std::fprintf(out, "| %s | %s | %s | %.3f | %s | %s |\n", r.figure.c_str(), r.measured.c_str(),
                 r.against.c_str(), r.ratio, r.target.c_str(), r.met ? "met" : "NOT MET");
  }
  std::fprintf(out,
               "\nEach ratio's two sides were measured in this run, one after the other, repeated %d times "
               "and the median taken (package load: 5 alternating pairs in fresh processes; full-speed transfer: "
               "%d pairs), so machine load shared by both sides cancels out; the growth rows compare sizes "
               "measured at different moments.\n"
               "The plug-in's fixed pauses (3000 ms waits, 200 ms checksum pause, reset countdown) run on a "
               "manual clock in the transfer and parallel figures: left out, as the references have none.\n"
               "The two waits run in real time (CPU per second of waiting), system calls counted with strace "
               "over a shorter window.\n",
               o.quick ? 1 : o.repeats, o.quick ? 1 : 2 * o.repeats + 1);
}

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  using namespace vantrel::bench;
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
    if (std::strcmp(argv[2], "load") == 0) return ChildLoad(argv[3]);
    if (std::strcmp(argv[2], "read") == 0) return ChildRead(argv[3]);
    return 2;
  }
  Options o;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      o.quick = true;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      o.only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--only load|transfer|waiting|parallel|soak|plans]\n", argv[0]);
      return 2;
    }
  }
  // The plug-in's protocol trace goes to standard output; the table goes to
  // what standard output was, the trace to /dev/null.
  FILE* out = fdopen(dup(1), "w");
  int null = open("/dev/null", O_WRONLY);
  std::fflush(stdout);
  dup2(null, 1);
  close(null);

  const std::string machine = Machine();
  char dir[] = "/tmp/vantrel-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    std::fprintf(stderr, "cannot create a work directory in /tmp: %s\n", std::strerror(errno));
    return 1;
  }
  o.workDir = dir;
  vantrel::testing::PortDir ports;  // the default port directory for the whole run
  o.portDir = ports.path();

  std::vector<Row> rows;
  const double t0 = NowSeconds();
  auto part = [&](const char* key, const char* title, std::vector<Row> (*run)(const Options&)) {
    if (!o.only.empty() && o.only != key) return;
    std::fprintf(stderr, "%s\n", title);
    std::vector<Row> r = run(o);
    rows.insert(rows.end(), r.begin(), r.end());
  };
  part("load", "Package load", BenchPackageLoad);
  part("transfer", "Transfer", BenchTransfer);
  part("waiting", "Waiting", BenchWaiting);
  part("parallel", "Parallel phones", BenchParallel);
  part("soak", "Soak", BenchSoak);
  part("plans", "Read-back and verify", BenchPlans);
  std::fprintf(stderr, "Done in %.0f s\n", NowSeconds() - t0);

  Print(out, machine, o, rows);
  std::fclose(out);
  bool failed = false;
  for (const Row& r : rows) failed = failed || r.failed;
  // The packages, logs and station output stay only where a measurement
  // failed, for a look at what went wrong.
  if (failed) std::fprintf(stderr, "the work files are kept in %s\n", dir);
  else std::filesystem::remove_all(dir);
  return failed ? 1 : 0;
}
