// Every failure leaves through one exit code per class (exit_codes.h); the
// option parser's own codes become the usage code.
#include "tools/cli/app.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/serial_port.h"
#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "unknown"
#endif

namespace vantrel::cli {

int RunCli(int argc, char** argv) {
  // The COM<n> directory of `ports`, `doctor` and `--port COMn`; each
  // session of `flash` and `station` is given its own.
  if (const char* dir = std::getenv("VANTREL_PORT_DIR")) platform::SetPortDirectory(dir);
  CLI::App app{"vantrel: firmware download host, simulated phone and package tools"};
  app.set_version_flag("--version", "vantrel " VANTREL_VERSION);
  app.require_subcommand(1);
  app.footer(std::string("\n") + ExitCodeHelp());
  RegisterFlashCommand(app);
  RegisterStationCommand(app);
  RegisterSimCommand(app);
  RegisterPkgCommand(app);
  RegisterPortsCommand(app);
  RegisterCodesCommand(app);
  RegisterDoctorCommand(app);
  // CLI11 calls a stray word "A subcommand is required"; name it instead.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const auto* sub : app.get_subcommands([](const CLI::App*) { return true; })) known |= sub->get_name() == argv[1];
    if (!known) {
      std::fprintf(stderr, "vantrel: unknown command \"%s\"; the commands are flash, station, sim, pkg, ports, codes and doctor "
                   "(see `vantrel --help`)\n", argv[1]);
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {  // a command's own failure, already explained
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "vantrel: %s; see `vantrel --help` (or `vantrel COMMAND --help`)\n", e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel: internal error: %s\n", e.what());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace vantrel::cli
