// `vantrel flash`: a whole download as the real host runs it (PreviousLoad,
// NewDll, Prepare, Connect, Download, DeleteDll), against the built-in
// simulated phone (--simulate) or against a phone on any tty path.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "sim/check/flash_check.h"
#include "sim/phone.h"
#include "tools/cli/commands.h"
#include "tools/cli/plugin_host.h"
#include "tools/pkg/sample.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;

struct FlashOptions {
  std::string package;
  std::string port_path;
  bool simulate = false;
  int32_t port_index = 0;
  std::string library;
  double time_scale = 0;  // 0: 100 when simulating, real time otherwise
  uint32_t page_size = 2048;
  bool verbatim = false;
  std::vector<uint32_t> bad_blocks;
  std::vector<uint32_t> failing_blocks;
  std::string state;
  double link_rate = 0;
  unsigned latency_us = 0;
  bool quiet = false;
};

// A temporary port directory that the plug-in resolves COM numbers through.
struct TempPortDir {
  TempPortDir() {
    char tmpl[] = "/tmp/vantrel-flash-XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
    setenv("VANTREL_PORT_DIR", path.c_str(), 1);
  }
  ~TempPortDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string path;
};

// Mirrors a tty path into the port directory: the link exists while the
// device does. It starts after the session began waiting, so a port that is
// already there shows up to the session as a phone being plugged in.
class PortMirror {
 public:
  PortMirror(std::string device, std::string link) : device_(std::move(device)), link_(std::move(link)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~PortMirror() {
    stop_ = true;
    thread_.join();
    unlink(link_.c_str());
  }

 private:
  void Run() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    while (!stop_) {
      struct stat st{};
      bool present = stat(device_.c_str(), &st) == 0;
      struct stat lst{};
      bool linked = lstat(link_.c_str(), &lst) == 0;
      if (present && !linked) (void)!symlink(device_.c_str(), link_.c_str());
      if (!present && linked) unlink(link_.c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::string device_, link_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int Run(const FlashOptions& o) {
  if (!o.simulate && (o.package.empty() || o.port_path.empty())) {
    std::fprintf(stderr, "flash: give --package and --port, or --simulate\n");
    return 2;
  }
  double scale = o.time_scale > 0 ? o.time_scale : (o.simulate ? 100 : 1);
  if (scale > 1) setenv("VANTREL_TIME_SCALE", std::to_string(scale).c_str(), 1);
  TempPortDir dir;
  const unsigned com = static_cast<unsigned>(o.port_index) + 40;

  std::string package = o.package;
  std::optional<pkg::BuiltPackage> sample;
  std::string temp_package;
  if (o.simulate && package.empty()) {
    pkg::SampleOptions so;
    so.pageSize = o.page_size;
    so.blockKiB = o.page_size == 512 ? 16 : 128;
    so.multiRegion = !o.verbatim;
    sample = pkg::BuildSamplePackage(so);
    temp_package = dir.path + "/sample.bin";
    pkg::WriteFile(temp_package, sample->bytes);
    package = temp_package;
    std::fprintf(stderr, "sample package: %zu bytes, %u-byte pages, %zu FS image(s)\n",
                 sample->bytes.size(), o.page_size, sample->fsImages.size());
  }

  std::unique_ptr<sim::Phone> phone;
  std::unique_ptr<PortMirror> mirror;
  if (o.simulate) {
    std::shared_ptr<sim::Flash> flash;
    std::string err;
    if (!o.state.empty() && fs::exists(o.state)) {
      flash = sim::Flash::FromFile(o.state, &err);
      if (!flash) {
        std::fprintf(stderr, "flash: state file %s: %s\n", o.state.c_str(), err.c_str());
        return 1;
      }
    } else {
      flash = std::make_shared<sim::Flash>(o.page_size == 512 ? sim::Geometry::SmallPage()
                                                              : sim::Geometry::LargePage());
    }
    for (uint32_t b : o.bad_blocks) flash->MarkFactoryBad(b);
    for (uint32_t b : o.failing_blocks) flash->SetFailing(b);
    sim::PhoneConfig pc;
    pc.linkBytesPerSecond = o.link_rate;
    pc.turnaroundUs = o.latency_us;
    phone = std::make_unique<sim::Phone>(pc, flash);
    if (!phone->Open(&err) || !phone->LinkPort(dir.path, com, 300, &err)) {
      std::fprintf(stderr, "flash: cannot start the simulated phone: %s\n", err.c_str());
      return 1;
    }
    phone->Start();
    std::fprintf(stderr, "simulated phone on %s, appearing as COM%u\n", phone->SlavePath().c_str(), com);
  } else {
    mirror = std::make_unique<PortMirror>(o.port_path, dir.path + "/COM" + std::to_string(com));
  }

  PluginHost host;
  std::string err;
  if (!host.Load(o.library.empty() ? PluginHost::DefaultLibraryPath() : o.library, &err)) {
    std::fprintf(stderr, "flash: %s\n", err.c_str());
    return 1;
  }
  ConsoleCallback cb(o.quiet);
  auto t0 = std::chrono::steady_clock::now();
  PluginHost::Result r = host.RunDownload(package, o.port_index, &cb);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  int rc = r.downloaded ? 0 : 1;
  if (!r.prepared) std::fprintf(stderr, "flash: Prepare failed: the package did not load\n");
  std::fprintf(stderr, "\nDownload %s in %.1f s\n", r.downloaded ? "succeeded" : "FAILED", secs);
  if (phone) {
    phone->WaitFinished(std::chrono::milliseconds(r.downloaded ? 2000 : 0));
    phone->Stop();
    if (!o.state.empty()) {
      if (!phone->flash().Save(o.state, &err))
        std::fprintf(stderr, "flash: cannot save %s: %s\n", o.state.c_str(), err.c_str());
    }
    std::fprintf(stderr, "\nWhat the simulated flash now holds:\n%s\n",
                 flashcheck::SummariseFlash(phone->flash()).c_str());
    if (sample && r.downloaded) {
      flashcheck::ExpectedFirmware fw{sample->bootloader, sample->extBootloader, sample->rom,
                                      sample->rom2, sample->fsImages};
      flashcheck::CheckReport check = flashcheck::CheckFlash(phone->flash(), fw);
      std::fprintf(stderr, "Flash check: %s\n", check.ok ? "every image is where it belongs" : "PROBLEMS");
      for (const auto& p : check.problems) std::fprintf(stderr, "  - %s\n", p.c_str());
      if (!check.ok) rc = 1;
    }
  }
  return rc;
}

}  // namespace

void RegisterFlashCommand(CLI::App& app) {
  auto o = std::make_shared<FlashOptions>();
  auto* cmd = app.add_subcommand("flash", "Download a firmware package to a phone, as the host does");
  cmd->add_option("--package", o->package, "Firmware package file (default with --simulate: a sample)");
  cmd->add_option("--port", o->port_path, "The phone's tty (any path, pseudo-terminals included)");
  cmd->add_flag("--simulate", o->simulate, "Flash the built-in simulated phone");
  cmd->add_option("--port-index", o->port_index, "Session port index (COM number - 40)")->capture_default_str();
  cmd->add_option("--library", o->library, "Plug-in library (default: libvantrel.so beside vantrel)");
  cmd->add_option("--time-scale", o->time_scale,
                  "Run the plug-in's fixed pauses this many times faster (default 100 when simulating)");
  cmd->add_option("--page-size", o->page_size, "Simulated flash: 512 or 2048-byte pages")
      ->check(CLI::IsMember({512u, 2048u}))->capture_default_str();
  cmd->add_flag("--verbatim", o->verbatim, "Sample package: verbatim FS sections instead of one split by region");
  cmd->add_option("--bad-blocks", o->bad_blocks, "Simulated flash: factory-bad block numbers")->delimiter(',');
  cmd->add_option("--failing-blocks", o->failing_blocks, "Simulated flash: blocks that refuse writes")->delimiter(',');
  cmd->add_option("--state", o->state, "Simulated flash state file (loaded when present, saved after)");
  cmd->add_option("--link-rate", o->link_rate, "Simulated link rate in bytes/s (0: full speed)");
  cmd->add_option("--latency-us", o->latency_us, "Simulated turnaround latency in microseconds");
  cmd->add_flag("--quiet", o->quiet, "Do not print the reports as they arrive");
  cmd->callback([o] {
    int rc = Run(*o);
    if (rc != 0) throw CLI::RuntimeError(rc);
  });
}

}  // namespace vantrel::cli
