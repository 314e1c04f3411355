// vantrel station: an unattended station. Each port flashes every phone
// plugged into it until Ctrl-C (or --max-phones), and every phone's result is
// appended to a log as one JSON line the moment it is known.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "tools/cli/commands.h"
#include "tools/cli/display.h"
#include "tools/cli/flash_run.h"
#include "tools/cli/interrupt.h"
#include "tools/cli/json_out.h"
#include "tools/cli/output_file.h"
#include "tools/cli/plugin_host.h"
#include "tools/cli/port_check.h"
#include "tools/cli/port_loop.h"
#include "tools/cli/usage.h"
#include "tools/pkg/digest.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;

struct StationCommandOptions {
  std::string package;
  std::vector<std::string> ports;
  std::string log;
  unsigned max_phones = 0;
  double answer_limit = 0;
  double time_scale = 1;
  int32_t port_index = 0;
  std::string library;
  bool quiet = false, verbose = false, json = false, verify = false;
  CLI::Option* time_scale_opt = nullptr;
};

[[noreturn]] void Fail(ExitCode code, const std::string& message) { FailFlash(code, message); }

// Every refusal comes before a port is touched: the same rules as `flash`,
// and --time-scale only for ports that are pseudo-terminals (simulated
// phones); a port not there yet is waited for.
std::vector<Target> CheckPorts(const StationCommandOptions& o) {
  const std::vector<Target> ports = CheckTargets(o.ports, false, o.port_index);
  for (const auto& p : ports)
    if (o.time_scale_opt->count() && fs::exists(p.device) && !IsPseudoTerminal(p.device))
      Fail(kExitUsage, "--time-scale shortens the protocol's pauses, which a real phone needs: only with "
                       "pseudo-terminal ports (" + p.label + " is not one)");
  return ports;
}

void AddCleanupPaths(const TempPortDir& dir, const std::vector<Target>& ports) {
  if (dir.path.empty()) Fail(kExitFailure, "cannot create a temporary directory (in $TMPDIR or /tmp)");
  for (const auto& p : ports) interrupt::AddCleanupPath(dir.path + "/COM" + std::to_string(p.com));
  interrupt::AddCleanupPath(dir.path, true);
}

StationOptions SessionOptions(const StationCommandOptions& o) {
  StationOptions so;
  so.wait_seconds = -1;
  so.answer_limit_seconds = o.answer_limit;
  so.time_scale = static_cast<int32_t>(std::lround(std::min(o.time_scale, 1e6)));
  so.verify = o.verify;
  return so;
}

// Waits for Ctrl-C or for every port to have ended (--max-phones reached).
void WaitForEnd(std::vector<std::unique_ptr<PortLoop>>& loops) {
  auto all_ended = [&loops] {
    for (const auto& l : loops)
      if (!l->Ended()) return false;
    return true;
  };
  while (!all_ended()) {
    interrupt::CheckOutputs();
    pollfd p{interrupt::Fd(), POLLIN, 0};
    if (::poll(&p, 1, 200) > 0) {
      for (auto& l : loops) l->Interrupt();
      return;
    }
  }
}

int Run(const StationCommandOptions& o) {
  SetCommandName("station");
  if (o.ports.empty()) Fail(kExitUsage, "give each station port with --port");
  if (o.quiet + o.json + o.verbose > 1 && !(o.json && o.verbose))
    Fail(kExitUsage, "-q cannot be combined with -v or --json");
  CheckPackagePath(o.package);
  const std::string rom_id = CheckPackage(o.package);
  const std::vector<Target> ports = CheckPorts(o);
  std::string err, sha256;
  if (!pkg::FileSha256(o.package, &sha256, &err)) Fail(kExitPackage, "package " + o.package + ": " + err);
  StationTally tally(o.max_phones, sha256, rom_id);
  if (!o.log.empty())
    if (const std::string p = OutputFileProblem(o.log, o.package); !p.empty()) Fail(kExitUsage, "--log " + p);
  if (!o.log.empty() && !tally.OpenLog(o.log, &err)) Fail(kExitUsage, err);

  TempPortDir dir("station");
  AddCleanupPaths(dir, ports);
  interrupt::Install();
  PluginHost host;
  if (!host.Load(o.library.empty() ? PluginHost::DefaultLibraryPath() : o.library, &err))
    Fail(kExitFailure, "cannot load the plug-in: " + err);
  host.PreviousLoad(o.package);
  // Loaded now, just after its digest was taken: every phone of the run gets
  // these bytes, even if the file is replaced while the station runs.
  if (!host.LoadPackageNow(&err)) Fail(kExitPackage, "package " + o.package + ": " + err);

  Display display(o.json ? DisplayMode::kJson : o.quiet ? DisplayMode::kQuiet
                  : ::isatty(2)                ? DisplayMode::kLive
                                               : DisplayMode::kLines,
                  o.verbose);
  display.Message("station for model " + host.Model() + ", " + std::to_string(ports.size()) +
                  " port(s); plug phones in, Ctrl-C ends the run");
  std::vector<std::unique_ptr<PortLoop>> loops;
  for (size_t i = 0; i < ports.size(); ++i)
    loops.push_back(std::make_unique<PortLoop>(host, display, tally, ports[i].label, ports[i].device,
                                               static_cast<int32_t>(ports[i].com) - 40, dir.path,
                                               SessionOptions(o)));
  display.SetHeader([&tally] { return tally.Header(); });
  display.StartLive([&loops] {
    std::vector<PhoneState> v;
    for (const auto& l : loops) v.push_back(l->State());
    return v;
  });
  for (auto& l : loops) l->Start();
  WaitForEnd(loops);
  for (auto& l : loops) l->Join();
  display.StopLive();
  dir.Remove();
  interrupt::Uninstall();
  interrupt::ClearCleanupPaths();
  const bool interrupted = interrupt::Requested();
  const int rc = interrupted ? kExitInterrupted : tally.passed() == tally.flashed() ? kExitOk : kExitMixed;
  // The outcome on standard output, as flash gives its summary.
  const std::string last = "vantrel station: " + tally.Header() +
                           (interrupted ? "; ended by " + interrupt::Reason() : "") + " (exit " + std::to_string(rc) +
                           ")";
  if (json_out::Enabled())
    json_out::WriteResult(rc, last, {{"flashed", tally.flashed()}, {"passed", tally.passed()}});
  else
    std::printf("%s\n", last.c_str());
  std::fflush(stdout);
  return rc;
}

}  // namespace

void RegisterStationCommand(CLI::App& app) {
  auto o = std::make_shared<StationCommandOptions>();
  auto* cmd = app.add_subcommand("station", "Flash every phone plugged into the given ports, one after another, "
                                            "until Ctrl-C");
  cmd->footer("\n" + ExitCodeHelp({{kExitOk, "every phone flashed passed (--max-phones reached)"},
                                    {kExitFailure, "the plug-in library did not load"},
                                    {kExitUsage, "a bad argument, a port given twice, a log that cannot be appended to"},
                                    {kExitPackage, "the package is missing or invalid"},
                                    {kExitPort, "a port that can never be a phone's"},
                                    {kExitMixed, "some phones failed (the log and the screen say which)"},
                                    {kExitInterrupted, "ended by Ctrl-C, SIGTERM or SIGHUP (the usual end)"}}));
  cmd->add_option("--package", o->package, "Firmware package file")->required()->type_name("FILE");
  cmd->add_option("--port", o->ports, "A station port: a tty path or COMn of the port directory; repeat for each")
      ->allow_extra_args(false)
      ->type_name("PORT");
  cmd->add_option("--log", o->log, "Append one JSON line per phone to FILE (see the manual page)")->type_name("FILE");
  cmd->add_flag("--verify", o->verify, "Read every FS block written back after each download and compare it");
  cmd->add_option("--max-phones", o->max_phones, "End after this many phones (0: until Ctrl-C)")
      ->transform(WholeNumber("a number of phones", 0));
  cmd->add_option("--answer-limit", o->answer_limit,
                  "Give a phone up as not answering when it sends no byte for this many seconds (default 30)")
      ->check(Number("a number of seconds", 1, 3600));
  o->time_scale_opt = cmd->add_option("--time-scale", o->time_scale,
                                      "Run the plug-in's fixed pauses this many times faster (pseudo-terminal "
                                      "ports only: simulated phones)")
                          ->check(Number("a factor", 1));
  cmd->add_option("--port-index", o->port_index, "Port index of the first port (COM number - 40)")
      ->transform(WholeNumber("a port index", 0, 215));
  cmd->add_option("--library", o->library, "Plug-in library (default: libvantrel.so beside vantrel)")
      ->type_name("FILE");
  cmd->add_flag("-q,--quiet", o->quiet, "Print only the final counts");
  cmd->add_flag("-v,--verbose", o->verbose, "Also show the plug-in's trace, each line prefixed with its port");
  cmd->add_flag("--json", o->json, "One JSON object per event on standard output, as flash prints them");
  cmd->callback([o] {
    int rc = Run(*o);
    if (rc != 0) throw CLI::RuntimeError(rc);
  });
}

}  // namespace vantrel::cli
