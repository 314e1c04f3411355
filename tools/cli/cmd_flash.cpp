// `vantrel flash`: a station run. One session per port on its own thread,
// each driven exactly as the closed host drives it, against phones on tty
// paths or against the built-in simulated phones (--simulate). Everything
// that can be checked is checked before any port is touched or waited for.
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "images/package.h"
#include "images/package_file.h"
#include "images/records.h"
#include "images/rom_info.h"
#include "ports/port_scan.h"
#include "sim/check/flash_check.h"
#include "sim/phone.h"
#include "tools/cli/commands.h"
#include "tools/cli/display.h"
#include "tools/cli/flash_run.h"
#include "tools/cli/interrupt.h"
#include "tools/cli/json_out.h"
#include "tools/cli/outcome.h"
#include "tools/cli/output_file.h"
#include "tools/cli/plan_command.h"
#include "tools/cli/plugin_host.h"
#include "tools/cli/port_check.h"
#include "tools/cli/sim_state.h"
#include "tools/cli/station.h"
#include "tools/cli/usage.h"
#include "tools/pkg/blockers.h"
#include "tools/pkg/inspect.h"
#include "tools/pkg/paths.h"
#include "tools/pkg/sample.h"

namespace vantrel::cli {

namespace {
// The command running: flash, or a command on its machinery.
std::string g_command = "flash";

// A text as the screen shows it (a port path, a message naming one): a
// control character (a newline would split a one-line message, an escape
// would drive the terminal) is shown as \xHH, as --json carries stray bytes.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
  }
  return out;
}
}  // namespace

void SetCommandName(const std::string& name) { g_command = name; }

[[noreturn]] void FailFlash(ExitCode code, const std::string& message) {
  interrupt::Uninstall();
  interrupt::ClearCleanupPaths();
  std::fprintf(stderr, "vantrel %s: %s\n", g_command.c_str(), Printable(message).c_str());
  if (json_out::Enabled()) json_out::WriteResult(code, "vantrel " + g_command + ": " + message);
  throw CLI::RuntimeError(code);
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(ExitCode code, const std::string& message) { FailFlash(code, message); }

// The port scan, behind one function so the station does not depend on how
// it classifies ports.
std::vector<SSerInfo> ScanPhonePorts() {
  std::vector<SSerInfo> found;
  try {
    EnumeratePorts(found, false, false, true);
  } catch (...) {
    found.clear();
  }
  return found;
}

}  // namespace

std::vector<Target> CheckTargets(const std::vector<std::string>& ports, bool autodetect, int32_t port_index) {
  std::vector<Target> targets;
  if (autodetect) {
    auto found = ScanPhonePorts();
    if (found.size() != 1) {
      std::string list;
      for (const auto& p : found) list += "\n  " + p.devicePath + "  " + p.portName + "  " + p.friendlyName;
      Fail(kExitPort, found.empty()
                          ? "--auto found no phone port; connect the phone in download mode, or give --port"
                          : "--auto found " + std::to_string(found.size()) + " phone ports; give --port for each:" + list);
    }
    // On Linux the scan gives the device node itself; elsewhere a COM name.
    std::string path = found[0].devicePath, err;
    if (path.empty() && !ResolvePortArgument(found[0].portName, &path, &err)) Fail(kExitPort, err);
    targets.push_back({path, path});
  }
  std::vector<std::string> labels;
  for (const auto& t : targets) labels.push_back(t.label);
  labels.insert(labels.end(), ports.begin(), ports.end());
  const std::vector<unsigned> coms = AssignComNumbers(labels, 40 + port_index);
  for (const auto& arg : ports) {
    std::string path, err;
    if (!ResolvePortArgument(arg, &path, &err)) Fail(kExitUsage, err);
    for (const auto& t : targets) {
      if (t.label == arg || SamePort(t.device, path))
        Fail(kExitUsage, "the port " + arg + " is given twice; give each phone's port once");
    }
    targets.push_back({Printable(arg), fs::absolute(path).lexically_normal().string(), coms[targets.size()]});
  }
  if (!targets.empty()) targets[0].com = coms[0];  // --auto's, when there is one
  for (const auto& t : targets) {
    PortCheck c = CheckPort(t.device);
    if (c.problem != PortProblem::kNone && c.problem != PortProblem::kMissing) Fail(kExitPort, c.message);
  }
  return targets;
}

namespace {

void Validate(FlashOptions& o) {
  if (o.simulate && (!o.ports.empty() || o.autodetect))
    Fail(kExitUsage, "--simulate flashes built-in phones; drop --port/--auto, or drop --simulate");
  if (!o.simulate && o.ports.empty() && !o.autodetect)
    Fail(kExitUsage, "give the phone's port with --port (or --auto), or use --simulate");
  if (!o.simulate && o.package.empty() && !o.plan)
    Fail(kExitUsage, "give the firmware package with --package FILE");
  if (o.quiet + o.json + o.verbose > 1 && !(o.json && o.verbose))
    Fail(kExitUsage, "-q cannot be combined with -v or --json");
  if (!o.simulate) {
    for (auto* opt : o.sim_only)
      if (opt->count()) Fail(kExitUsage, opt->get_name() + " only applies to --simulate; drop it for a real port");
  }
  // Before the sample package is written; a state file's flash may have
  // another size, and is checked once it is open.
  if (o.simulate && o.state.empty()) {
    const uint32_t blocks = (o.page_size == 512 ? sim::Geometry::SmallPage() : sim::Geometry::LargePage()).blockCount;
    for (const auto& [option, list] : {std::pair{"--bad-blocks", &o.bad_blocks}, {"--failing-blocks", &o.failing_blocks},
                                       {"--weak-blocks", &o.weak_blocks}})
      if (const std::string why = BlocksOutside(option, *list, blocks); !why.empty()) Fail(kExitUsage, why);
  }
  if (o.simulate && o.phones > 1 && !o.state.empty())
    Fail(kExitUsage, "--state keeps one simulated phone's flash; drop it or use --phones 1");
  if (o.time_scale_opt->count() && !o.simulate) {
    for (const auto& p : o.ports) {
      std::string path = p, err;
      if (ResolvePortArgument(p, &path, &err) && !IsPseudoTerminal(path))
        Fail(kExitUsage, "--time-scale shortens the protocol's pauses, which a real phone needs: only with "
                         "--simulate or pseudo-terminal ports (" + p + " is not one)");
    }
    if (o.autodetect) Fail(kExitUsage, "--time-scale cannot be used with --auto (a real phone)");
  }
  if (!o.package.empty()) CheckPackagePath(o.package);
  CheckRunFiles(o.transcript, o.state, o.package);
}

}  // namespace

void CheckRunFiles(const std::string& transcript, const std::string& state, const std::string& package) {
  if (!transcript.empty())
    if (const std::string p = OutputFileProblem(transcript, package); !p.empty()) Fail(kExitUsage, "--transcript " + p);
  // A state file that is there is read first, and told as what it is if it
  // is no state; one that is not must be creatable when the run ends.
  std::error_code ec;
  if (!state.empty() && !std::filesystem::exists(state, ec))
    if (const std::string p = OutputFileProblem(state, "", false); !p.empty()) Fail(kExitUsage, "--state " + p);
}

void CheckPackagePath(const std::string& package) {
  struct stat st{};
  if (::stat(package.c_str(), &st) != 0) Fail(kExitPackage, "package " + package + ": does not exist; check the path");
  if (S_ISDIR(st.st_mode)) Fail(kExitPackage, "package " + package + ": is a directory; give the package file");
  // A FIFO would wait for a writer, a device such as /dev/zero never ends.
  if (std::string why; !pkg::CheckPackageFileKind(package, &why)) Fail(kExitPackage, "package " + package + ": " + why);
}

// The package is loaded and checked before any port is touched; what the
// download then writes, and in which order, the sessions' events tell.
std::string CheckPackage(const std::string& package, bool for_download) {
  ImageDesc bl, ebl, rom, rom2, fsi[kFsSlotCount];
  std::string reason;
  if (!LoadFirmwarePackage(package, &bl, &ebl, &rom, &rom2, fsi, &reason)) {
    PackageFile file;  // a file that is no package at all is not told as a broken one
    if (file.Open(package, nullptr) && !pkg::LooksLikePackage(file.bytes()))
      Fail(kExitPackage, "package " + package + ": " + pkg::kNotAPackage);
    Fail(kExitPackage, "package " + package + ": " + reason + "; check it with `vantrel pkg info " + package + "`");
  }
  // What the loader accepts but the download would stop at (after writing
  // the bootloader and ROM images) or write wrong: refused before any port.
  if (for_download) {
    const auto blockers = pkg::DownloadBlockers(PackageImageStore());
    if (!blockers.empty())
      Fail(kExitPackage, "package " + package + ": " + blockers.front().text +
                             "; nothing was written; check it with `vantrel pkg info " + package + "`");
  }
  uint32_t offset = 0, size = 0;
  if (!FindRomInfoRecord(rom, &offset, &size)) return "";
  const uint64_t at = uint64_t(offset) + kRomInfoText1Offset;
  std::string id;
  const uint64_t end = std::min<uint64_t>(rom.length, at + (kRomInfoText2Offset - kRomInfoText1Offset));
  for (uint64_t i = at; i < end && rom.data[i]; ++i) id += static_cast<char>(rom.data[i]);
  return id;
}

namespace {

// Empty transcript files, one per session (FILE.COM40, FILE.COM41, ... when
// there are several): the plug-in's recorder appends to them. Returns the
// path pattern the plug-in takes.
std::string PrepareTranscripts(const std::string& transcript, const std::vector<unsigned>& coms) {
  const std::string path = coms.size() > 1 ? transcript + ".COM%u" : transcript;
  for (unsigned com : coms) {
    std::string name = path;
    if (size_t at = name.find("%u"); at != std::string::npos) name.replace(at, 2, std::to_string(com));
    std::FILE* f = std::fopen(name.c_str(), "w");
    if (!f) Fail(kExitUsage, "cannot write the transcript file " + name + ": " + std::strerror(errno));
    std::fclose(f);
  }
  return path;
}

// Waits for every phone, or for Ctrl-C and then for each phone's next safe
// point (a phone in its reset wait has nothing left to lose). Returns each
// phone's final state; *forced when some session is still inside the library.
std::vector<PhoneState> WaitForPhones(std::vector<std::unique_ptr<PhoneRun>>& runs, const PluginHost& host,
                                      bool writes, bool* forced) {
  std::optional<Clock::time_point> grace;
  for (;;) {
    bool all = true, settled = true;
    for (const auto& r : runs) {
      if (r->Finished()) continue;
      all = false;
      if (r->State().stage != Stage::kCountdown) settled = false;
    }
    if (all || (grace && (settled || Clock::now() >= *grace))) break;
    interrupt::CheckOutputs();
    pollfd p{interrupt::Fd(), POLLIN, 0};
    if (::poll(&p, 1, 50) > 0 && !grace) {
      char c;
      (void)!::read(interrupt::Fd(), &c, 1);
      grace = Clock::now() + std::chrono::milliseconds(host.CanCancel() ? 700 : 100);
      for (auto& r : runs) r->Interrupt();
    }
  }
  *forced = false;
  std::vector<PhoneState> final_states;
  for (const auto& r : runs) {
    PhoneState s = r->State();
    if (!r->Finished()) {
      const Ending e = Interrupted(s.stage, s.step, nullptr, writes);
      s.result = e.cls;
      s.message = e.message;
      *forced = true;
    }
    final_states.push_back(s);
  }
  return final_states;
}

DisplayMode ChooseDisplayMode(const FlashOptions& o) {
  return o.json ? DisplayMode::kJson : o.quiet ? DisplayMode::kQuiet : ::isatty(2) ? DisplayMode::kLive : DisplayMode::kLines;
}

// The run's temporary port directory, each session's COM link in it and the
// sample package removed even by a second Ctrl-C; returns the transcript
// pattern the sessions are given.
std::string PrepareRunDirectory(const FlashOptions& o, const TempPortDir& dir, const std::vector<unsigned>& coms) {
  if (dir.path.empty()) Fail(kExitFailure, "cannot create a temporary directory (in $TMPDIR or /tmp)");
  const std::string transcript = o.transcript.empty() ? "" : PrepareTranscripts(o.transcript, coms);
  interrupt::AddCleanupPath(dir.path + "/sample.bin");
  for (unsigned com : coms) interrupt::AddCleanupPath(dir.path + "/COM" + std::to_string(com));
  interrupt::AddCleanupPath(dir.path, true);
  return transcript;
}

std::vector<unsigned> SessionComNumbers(const FlashOptions& o, const std::vector<Target>& targets) {
  std::vector<unsigned> coms;
  for (const auto& t : targets) coms.push_back(t.com);
  for (unsigned i = 0; o.simulate && i < o.phones; ++i) coms.push_back(40 + o.port_index + i);
  return coms;
}

void LoadPlugin(const FlashOptions& o, PluginHost& host, const std::string& package, Display& display,
                size_t phones) {
  std::string err;
  if (!host.Load(o.library.empty() ? PluginHost::DefaultLibraryPath() : o.library, &err))
    Fail(kExitFailure, "cannot load the plug-in: " + err);
  if (!package.empty()) host.PreviousLoad(package);
  if (o.plan && !host.CanRunPlans()) Fail(kExitFailure, "this plug-in library cannot run `" + g_command + "`");
  display.Message("plug-in for model " + host.Model() + ", " + std::to_string(phones) + " phone(s)");
}

// Every phone at once, each on its own thread, until all have ended or the
// run is interrupted; then the summary. Returns the exit code.
// Each session's own settings: its pauses, transcript, verify, and the plan
// run in place of the download.
StationOptions SessionOptions(const FlashOptions& o, const std::string& transcript, bool without_package) {
  StationOptions so;
  so.wait_seconds = o.wait;
  so.answer_limit_seconds = o.answer_limit;
  const double scale = o.time_scale > 0 ? o.time_scale : (o.simulate ? 100 : 1);
  so.time_scale = static_cast<int32_t>(std::lround(std::min(scale, 1e6)));
  so.transcript = transcript;
  so.verify = o.verify;
  so.without_package = without_package;
  return so;
}

int RunStation(const FlashOptions& o, PluginHost& host, Display& display, const std::vector<Target>& targets,
               TempPortDir& dir, SimulatedRun& simulated, StationOptions so) {
  std::vector<std::unique_ptr<PhoneRun>> runs;
  for (size_t i = 0; i < targets.size(); ++i) {
    const Target& t = targets[i];
    if (o.plan)
      so.plan = [&host, plan = o.plan, i, label = t.label](CInterfaceTemplate* s, std::string* done) {
        return plan->run(host, i, label, s, done);
      };
    if (o.plan) so.plan_ending = o.plan->ending;
    runs.push_back(std::make_unique<PhoneRun>(host, display, t.label, t.device, static_cast<int32_t>(t.com) - 40,
                                              dir.path, so));
  }
  if (interrupt::Requested()) Fail(kExitInterrupted, "interrupted before any port was opened");
  display.StartLive([&runs] {
    std::vector<PhoneState> v;
    for (const auto& r : runs) v.push_back(r->State());
    return v;
  });
  for (auto& r : runs) r->Start();
  bool forced = false;
  std::vector<PhoneState> final_states = WaitForPhones(runs, host, !o.plan, &forced);
  display.StopLive();
  if (!forced) FinishSimulatedPhones(o, simulated.phones, simulated.sample, final_states, display);
  int rc = StationExit(final_states);
  if (o.plan && o.plan->finish && !forced) rc = o.plan->finish(final_states, rc);
  display.Summary(final_states, rc,
                  o.plan ? Verdict(final_states, rc, interrupt::Reason(), o.plan->name, o.plan->done)
                         : Verdict(final_states, rc, interrupt::Reason()));
  if (forced) {
    // Sessions still inside the library (its reset wait, or a transfer it
    // cannot cancel): ending the process releases their ports. What they
    // were writing (a read's FILE.partial) goes too.
    interrupt::RemoveCleanupPaths();
    dir.Remove();
    std::fflush(nullptr);
    ::_exit(rc);
  }
  for (auto& r : runs) r->Join();
  return rc;
}

int Run(FlashOptions& o) {
  interrupt::Install();  // Ctrl-C, SIGTERM, SIGHUP or a closed output end the run cleanly
  if (o.plan) SetCommandName(o.plan->name);
  Validate(o);
  std::vector<Target> targets;
  if (!o.simulate) targets = CheckTargets(o.ports, o.autodetect, o.port_index);
  if (o.plan && o.plan->check) o.plan->check(o.simulate ? o.phones : targets.size());
  SimulatedRun simulated;
  if (o.simulate) simulated.state_flash = OpenSimulatedState(o);
  Display display(ChooseDisplayMode(o), o.verbose);
  TempPortDir dir;
  const std::string transcript = PrepareRunDirectory(o, dir, SessionComNumbers(o, targets));

  std::string package = o.package;
  if (o.simulate && package.empty() && !o.plan) {
    package = dir.path + "/sample.bin";
    simulated.sample = WriteSample(o, package, display);
  }
  if (!package.empty()) CheckPackage(package, !o.plan);
  if (o.simulate) simulated.phones = StartSimulatedPhones(o, simulated.state_flash, &targets);
  PluginHost host;
  LoadPlugin(o, host, package, display, targets.size());
  const int rc = RunStation(o, host, display, targets, dir, simulated,
                            SessionOptions(o, transcript, package.empty()));
  interrupt::Uninstall();
  interrupt::ClearCleanupPaths();
  return rc;
}

// The options every command on a phone's session shares; the package's
// help text is the command's.
CLI::App* AddPhoneCommand(CLI::App& app, const std::string& name, const std::string& help,
                          const std::string& package_help, std::shared_ptr<FlashOptions> o) {
  auto* cmd = app.add_subcommand(name, help);
  cmd->footer(std::string("\n") + ExitCodeHelp());
  cmd->add_option("--package", o->package, package_help)->type_name("FILE");
  cmd->add_option("--port", o->ports,
                  "A phone's port: a tty path (by-id/by-path links included) or COMn of the port directory; "
                  "repeat for several phones")
      ->allow_extra_args(false)
      ->type_name("PORT");
  cmd->add_flag("--auto", o->autodetect, "Take the one phone port the port scan finds");
  cmd->add_option("--wait", o->wait, "Give up on a port that has not appeared after this many seconds")
      ->check(Number("a number of seconds", 0));
  cmd->add_option("--answer-limit", o->answer_limit,
                  "Give a phone up as not answering when it sends no byte for this many seconds (default 30)")
      ->check(Number("a number of seconds", 1, 3600));
  cmd->add_flag("--simulate", o->simulate, "Run against built-in simulated phones");
  cmd->add_option("--port-index", o->port_index,
                  "Port index of the first session given by path (COM number - 40); a COMn port keeps its number")
      ->transform(WholeNumber("a port index", 0, 215))
      ->capture_default_str();
  cmd->add_option("--library", o->library, "Plug-in library (default: libvantrel.so beside vantrel)")
      ->type_name("FILE");
  cmd->add_option("--transcript", o->transcript,
                  "Record every byte to and from the phone in FILE (hex, one chunk a line; "
                  "FILE.COMn for each phone when there are several), for a field report")
      ->type_name("FILE");
  o->time_scale_opt = cmd->add_option("--time-scale", o->time_scale,
                                      "Run the plug-in's fixed pauses this many times faster (--simulate, "
                                      "pseudo-terminals only; default 100 when simulating)")
                          ->check(Number("a factor", 1));
  o->page_size_opt = cmd->add_option("--page-size", o->page_size, "Simulated flash: 512 or 2048-byte pages")
                         ->check(OneOf({512, 2048}))
                         ->type_name("512|2048");
  o->sim_only.push_back(o->page_size_opt);
  o->sim_only.push_back(
      cmd->add_option("--phones", o->phones, "Simulated phones at once")->transform(WholeNumber("a number of phones", 1, 16)));
  o->sim_only.push_back(cmd->add_flag("--verbatim", o->verbatim, "Sample package: verbatim FS sections"));
  o->sim_only.push_back(
      cmd->add_option("--bad-blocks", o->bad_blocks, "Simulated flash: factory-bad block numbers")
          ->delimiter(',')
          ->transform(WholeNumber("block numbers", 0, 0xFFFFFFFF)));
  o->sim_only.push_back(
      cmd->add_option("--failing-blocks", o->failing_blocks, "Simulated flash: blocks that refuse writes")
          ->delimiter(',')
          ->transform(WholeNumber("block numbers", 0, 0xFFFFFFFF)));
  o->sim_only.push_back(
      cmd->add_option("--weak-blocks", o->weak_blocks,
                      "Simulated flash: blocks that take writes but read back with a bit flipped in each page")
          ->delimiter(',')
          ->transform(WholeNumber("block numbers", 0, 0xFFFFFFFF)));
  o->sim_only.push_back(cmd->add_option("--state", o->state, "Simulated flash state file (loaded when present, saved after)")
                            ->type_name("FILE"));
  o->sim_only.push_back(cmd->add_option("--link-rate", o->link_rate, "Simulated link rate in bytes/s (0: full speed)")
                            ->check(Number("bytes per second", 0)));
  o->sim_only.push_back(cmd->add_option("--latency-us", o->latency_us, "Simulated turnaround latency in microseconds")
                            ->transform(WholeNumber("microseconds", 0, 10'000'000)));
  o->sim_only.push_back(cmd->add_option("--power-cut-after", o->power_cut_after,
                                        "The first simulated phone loses power after this many flash operations")
                            ->transform(WholeNumber("a number of flash operations", 0)));
  cmd->add_flag("-q,--quiet", o->quiet, "Print only the summary and the result");
  cmd->add_flag("-v,--verbose", o->verbose, "Also show the plug-in's trace, each line prefixed with its phone");
  cmd->add_flag("--json", o->json, "One JSON object per line on standard output (see the manual page)");
  cmd->callback([o] {
    int rc = Run(*o);
    if (rc != 0) throw CLI::RuntimeError(rc);
  });
  return cmd;
}

}  // namespace

void RegisterFlashCommand(CLI::App& app) {
  auto o = std::make_shared<FlashOptions>();
  auto* cmd = AddPhoneCommand(app, "flash", "Download a firmware package to one or more phones, as the host does",
                              "Firmware package file (default with --simulate: a sample)", o);
  cmd->add_flag("--verify", o->verify,
                "After the last FS image, read every FS block written back and compare it (the bootloader and ROM "
                "images are checked by the agent's own checksums, as they are sent)");
}

CLI::App* AddPlanCommand(CLI::App& app, const std::string& help, std::shared_ptr<PlanCommand> plan) {
  auto o = std::make_shared<FlashOptions>();
  o->plan = plan;
  return AddPhoneCommand(app, plan->name, help, "Firmware package file to compare with the phone (optional)", o);
}

}  // namespace vantrel::cli
