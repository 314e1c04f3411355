// A whole download of the sample package to the simulated phone over a
// pseudo-terminal, in-process. At full link speed this measures the
// plug-in's own costs; with the link emulated at about 1 MB/s and 1 ms
// turnaround it shows what a real USB link would take.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "boundary/session.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "sim/phone.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_host.h"
#include "tools/pkg/sample.h"

namespace {

using namespace vantrel;

void BM_WholeDownload(benchmark::State& state) {
  const uint32_t page_size = static_cast<uint32_t>(state.range(0));
  const bool emulate_usb = state.range(1) != 0;
  testing::PortDir ports;
  pkg::SampleOptions o;
  o.pageSize = page_size;
  o.blockKiB = page_size == 512 ? 16 : 128;
  const pkg::BuiltPackage p = pkg::BuildSamplePackage(o);
  const std::string path = ports.path() + "/sample.bin";
  pkg::WriteFile(path, p.bytes);
  ResetPackageForTest();
  SetPackagePath(path);
  platform::ManualClock clock;  // the fixed pauses and the countdown take no time
  platform::ScopedClock scope(&clock);

  for (auto _ : state) {
    state.PauseTiming();
    sim::PhoneConfig cfg;
    if (emulate_usb) {
      cfg.linkBytesPerSecond = 1e6;
      cfg.turnaroundUs = 1000;
    }
    auto flash = std::make_shared<sim::Flash>(page_size == 512 ? sim::Geometry::SmallPage()
                                                               : sim::Geometry::LargePage());
    sim::Phone phone(cfg, flash);
    std::string err;
    if (!phone.Open(&err) || !phone.LinkPort(ports.path(), 40, 0, &err)) {
      state.SkipWithError(err.c_str());
      break;
    }
    testing::RecordingHost host;
    CBizDownload* s = new CBizDownload(0);
    s->SetHostCallback(&host);
    s->Prepare(0);
    phone.Start();
    state.ResumeTiming();
    // The port is there from the start, so take it directly as Connect would
    // once it appeared.
    bool ok = s->engine().OpenLink(19200, 40) == 0 && s->engine().Connect() == 1 &&
              s->Download() == 1;
    state.PauseTiming();
    s->DeletingDestructor(1);
    phone.Stop();
    if (!ok) {
      state.SkipWithError("download failed");
      break;
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.bytes.size()));
}
BENCHMARK(BM_WholeDownload)
    ->Args({512, 0})
    ->Args({2048, 0})
    ->Args({2048, 1})
    ->ArgNames({"page", "usb"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
