// `vantrel ports`: the COM port numbers the plug-in can see on this machine,
// where each one leads, and whether it can be opened now.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>

#include "platform/serial_port.h"
#include "tools/cli/commands.h"

namespace vantrel::cli {

void RegisterPortsCommand(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "ports", "List the COM port numbers in the port directory ($VANTREL_PORT_DIR, default /dev/vantrel)");
  cmd->callback([] {
    namespace fs = std::filesystem;
    const std::string dir = platform::PortDirectory();
    std::error_code ec;
    std::map<unsigned, std::string> ports;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("COM", 0) != 0) continue;
      char* end = nullptr;
      unsigned long n = std::strtoul(name.c_str() + 3, &end, 10);
      if (end && *end == '\0' && n > 0 && n < 256) ports[static_cast<unsigned>(n)] = e.path().string();
    }
    if (ec) {
      std::printf("%s: %s (no port directory: every COM port is absent)\n", dir.c_str(),
                  ec.message().c_str());
      return;
    }
    std::printf("port directory %s: %zu port(s)\n", dir.c_str(), ports.size());
    for (const auto& [n, path] : ports) {
      char target[PATH_MAX] = {};
      ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
      platform::OpenError err = platform::OpenError::kNone;
      auto port = platform::OpenComPort(n, false, &err);
      const char* state = port                                ? "free"
                          : err == platform::OpenError::kAbsent ? "absent"
                          : err == platform::OpenError::kBusy   ? "in use"
                                                                : "cannot be opened";
      std::printf("  COM%-3u -> %-40s %s (session port index %d)\n", n,
                  len > 0 ? target : "(not a link)", state, static_cast<int>(n) - 40);
    }
  });
}

}  // namespace vantrel::cli
