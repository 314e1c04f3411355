// `vantrel ports`: the phone ports the plug-in's port scan finds, as its
// presence queries see them; with --all, every serial port of the machine
// before classification and the port directory's COM numbers, for finding
// out why a phone is not found.
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "platform/device_db.h"
#include "platform/serial_port.h"
#include "ports/port_scan.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/installed.h"

namespace vantrel::cli {
namespace {

void PrintEntry(const SSerInfo& e) {
  std::printf("  %-7s %-24s %s\n", e.portName.empty() ? "(none)" : e.portName.c_str(), e.devicePath.c_str(),
              e.usb ? "USB" : "not USB");
  std::printf("          friendly \"%s\"", e.friendlyName.c_str());
  if (!e.displayName.empty()) std::printf(", display \"%s\"", e.displayName.c_str());
  if (e.portNumber) std::printf(", port number %u (session port index %d)", e.portNumber, e.portNumber - 40);
  std::printf("\n");
}

void PrintPortDirectory() {
  const std::string dir = platform::PortDirectory();
  const std::vector<platform::ComLink> links = platform::ListPortDirectory();
  std::printf("port directory %s: %zu linked port(s)\n", dir.c_str(), links.size());
  for (const auto& l : links) {
    platform::OpenError err = platform::OpenError::kNone;
    auto port = platform::OpenPortPath(l.target, &err);
    const char* state = port                                ? "free"
                        : err == platform::OpenError::kBusy ? "in use"
                                                            : "cannot be opened";
    std::printf("  %-7s -> %-32s %s\n", l.name.c_str(), l.target.c_str(), state);
  }
}

}  // namespace

void RegisterPortsCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand("ports", "List the phone ports the plug-in's port scan finds");
  cmd->footer("\n" + ExitCodeHelp({{kExitOk, "the ports were listed (none found included)"},
                                    {kExitFailure, "the port scan failed"},
                                    {kExitUsage, "a bad argument"}}));
  auto all = std::make_shared<bool>(false);
  cmd->add_flag("--all", *all, "Also list every serial port before classification, and the port directory");
  cmd->callback([all] {
    std::vector<SSerInfo> raw;
    try {
      ScanPorts(platform::SystemDeviceDatabase(), raw, false);
    } catch (const PortScanError& e) {
      std::fprintf(stderr, "vantrel ports: %s\n", e.what());
      throw CLI::RuntimeError(kExitFailure);
    }
    if (*all) {
      std::printf("%zu serial port(s) on this machine:\n", raw.size());
      for (const auto& e : raw) PrintEntry(e);
      PrintPortDirectory();
    }
    std::vector<SSerInfo> phones = raw;
    ClassifyPorts(phones, false);
    std::printf("%zu phone port(s):\n", phones.size());
    for (const auto& e : phones) PrintEntry(e);
    if (phones.empty())
      std::printf(
          "no phone port: a phone's port gets its name from the udev rule %s (add the phone's USB IDs) and "
          "its number from a COM<n> link in %s; see FILES in `man vantrel`\n",
          RuleHint("70-vantrel.rules").c_str(), platform::PortDirectory().c_str());
  });
}

}  // namespace vantrel::cli
