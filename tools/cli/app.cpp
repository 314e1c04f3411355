// Every failure leaves through one exit code per class (exit_codes.h); the
// option parser's own codes become the usage code.
#include "tools/cli/app.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "tools/cli/commands.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/json_out.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "unknown"
#endif

namespace vantrel::cli {

namespace {

// --json anywhere before "--": the run's end is a JSON object too, even
// when the arguments around it do not parse.
bool AsksForJson(int argc, char** argv) {
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i)
    if (std::string(argv[i]) == "--json") return true;
  return false;
}

void Register(CLI::App& app) {
  app.set_version_flag("--version", "vantrel " VANTREL_VERSION);
  app.require_subcommand(1);
  app.footer(std::string("\n") + ExitCodeHelp());
  RegisterFlashCommand(app);
  RegisterSimCommand(app);
  RegisterPkgCommand(app);
  RegisterPortsCommand(app);
  RegisterCodesCommand(app);
  RegisterDoctorCommand(app);
}

// A usage error: one line on standard error, and the result object with --json.
int Usage(const std::string& message) {
  std::fprintf(stderr, "vantrel: %s\n", message.c_str());
  if (json_out::Enabled()) json_out::WriteResult(kExitUsage, "vantrel: " + message);
  return kExitUsage;
}

bool IsCommand(const CLI::App& app, const std::string& word) {
  for (const auto* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (sub->get_name() == word) return true;
  return false;
}

int Parse(CLI::App& app, int argc, char** argv) {
  // CLI11 calls a stray word "A subcommand is required"; name it instead.
  if (argc > 1 && argv[1][0] != '-' && !IsCommand(app, argv[1]))
    return Usage(std::string("unknown command \"") + argv[1] +
                 "\"; the commands are flash, sim, pkg, ports, codes and doctor (see `vantrel --help`)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {  // a command's own failure, already explained
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    return Usage(std::string(e.what()) + "; see `vantrel --help` (or `vantrel COMMAND --help`)");
  }
  return kExitOk;
}

}  // namespace

int RunCli(int argc, char** argv) {
  if (AsksForJson(argc, argv)) {
    json_out::Enable();
    std::signal(SIGPIPE, SIG_IGN);  // a closed output is a failed write, not a killed process
  }
  int rc;
  try {
    CLI::App app{"vantrel: firmware download host, simulated phone and package tools"};
    Register(app);
    rc = Parse(app, argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel: internal error: %s\n", e.what());
    rc = kExitFailure;
  }
  if (json_out::Enabled() && !json_out::ResultWritten())
    json_out::WriteResult(rc, rc == kExitOk ? "vantrel: ok" : "vantrel: failed; standard error says why");
  return rc;
}

}  // namespace vantrel::cli
