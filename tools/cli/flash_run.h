#pragma once
// `vantrel flash`'s options and what its run shares between the station
// (cmd_flash.cpp) and the built-in simulated phones (flash_sim.cpp).
#include <CLI/CLI.hpp>

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/phone.h"
#include "tools/cli/display.h"
#include "tools/cli/exit_codes.h"
#include "tools/pkg/builder.h"

namespace vantrel::cli {

struct PlanCommand;

struct FlashOptions {
  std::string package;
  std::vector<std::string> ports;
  bool autodetect = false;
  double wait = -1;
  double answer_limit = 0;  // 0: the plug-in's own (30 s)
  bool simulate = false;
  unsigned phones = 1;
  int32_t port_index = 0;
  std::string library;
  std::string transcript;
  double time_scale = 0;  // 0: 100 when simulating, real time otherwise
  uint32_t page_size = 2048;
  bool verbatim = false;
  std::vector<uint32_t> bad_blocks, failing_blocks, weak_blocks;
  std::string state;
  double link_rate = 0;
  unsigned latency_us = 0;
  long power_cut_after = -1;
  bool quiet = false, verbose = false, json = false;
  bool verify = false;  // the download reads every FS block it wrote back
  // Another plan than the download (info, readback); null: flash.
  std::shared_ptr<PlanCommand> plan;
  // Which of the simulator-only options the user gave.
  std::vector<CLI::Option*> sim_only;
  CLI::Option* page_size_opt = nullptr;
  CLI::Option* time_scale_opt = nullptr;
};

// A phone's port: as the user gave it, the device watched, and the COM
// number its session is shown it under.
struct Target {
  std::string label, device;
  unsigned com = 40;
};

// Ends the run before any phone started: one line on standard error (and
// the result object with --json, both naming the command), then the exit code.
[[noreturn]] void FailFlash(ExitCode code, const std::string& message);
// The command those lines name ("flash" unless set: "station", "info" ...).
void SetCommandName(const std::string& name);

// The ports as given (and --auto's), resolved, each with its COM number (a
// COMn keeps its own, the others count from 40 + port_index), and checked
// once: a port given twice or one that can never be a phone's ends the run
// (FailFlash); a missing one is left to be waited for.
std::vector<Target> CheckTargets(const std::vector<std::string>& ports, bool autodetect, int32_t port_index);

// A transcript or a state file to be made that the run could not write, or
// that would overwrite a firmware package, ends the run (FailFlash) first.
void CheckRunFiles(const std::string& transcript, const std::string& state, const std::string& package);
// A package path that names no file ends the run (FailFlash) before the
// ports are looked at.
void CheckPackagePath(const std::string& package);
// Loads and checks the package once, before any port is touched (FailFlash
// when it does not load, or `for_download` and the download could not use
// it: pkg::DownloadBlockers); returns the identifier text of its ROM record,
// which a download leaves on the phone ("" when there is none).
std::string CheckPackage(const std::string& package, bool for_download = true);

// The temporary port directory the plug-in resolves COM numbers through,
// removed with the object.
struct TempPortDir {
  explicit TempPortDir(const std::string& command = "flash") {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vantrel-" + command + "-XXXXXX";
    if (::mkdtemp(tmpl.data())) path = tmpl;
  }
  ~TempPortDir() { Remove(); }
  void Remove() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// What a --simulate run keeps: the first phone's flash (from --state), the
// sample package written for it, and the phones.
struct SimulatedRun {
  std::shared_ptr<sim::Flash> state_flash;
  std::optional<pkg::BuiltPackage> sample;
  std::vector<std::unique_ptr<sim::Phone>> phones;
};

// --simulate: the first phone's flash from --state (a new one without it).
std::shared_ptr<sim::Flash> OpenSimulatedState(FlashOptions& o);

// The sample package of a simulated run without --package, written into the
// run's temporary directory.
std::optional<pkg::BuiltPackage> WriteSample(const FlashOptions& o, const std::string& path, Display& display);

// The phones on pseudo-terminals, each a target "simN" at COM 40 +
// --port-index + N - 1.
std::vector<std::unique_ptr<sim::Phone>> StartSimulatedPhones(const FlashOptions& o,
                                                              const std::shared_ptr<sim::Flash>& state_flash,
                                                              std::vector<Target>* targets);

// After a simulated run: each phone stops, the first keeps its state file,
// and the flash of each flashed phone is checked against the sample.
void FinishSimulatedPhones(const FlashOptions& o, std::vector<std::unique_ptr<sim::Phone>>& phones,
                           const std::optional<pkg::BuiltPackage>& sample, std::vector<PhoneState>& states,
                           Display& display);

}  // namespace vantrel::cli
