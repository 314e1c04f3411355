// Every failure leaves through one exit code per class (exit_codes.h); the
// option parser's own codes become the usage code.
#include "tools/cli/app.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/serial_port.h"
#include "tools/cli/commands.h"
#include "tools/cli/completion.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/json_out.h"
#include "tools/cli/usage.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "unknown"
#endif

namespace vantrel::cli {

namespace {

// --json anywhere before "--": the run's end is a JSON object too, even
// when the arguments around it do not parse.
// "--json=1" switches it on as the parser does ("--json=false" leaves it off).
// A file, directory or port given as "" (an unset shell variable) would
// silently count as not given: every such option refuses it.
void RefuseEmptyPaths(CLI::App& app) {
  const CLI::Validator not_empty(
      [](std::string& value) -> std::string { return value.empty() ? "takes a path, not an empty string" : ""; }, "");
  for (CLI::Option* opt : app.get_options()) {
    const std::string type = opt->get_type_name();
    if (type == "FILE" || type == "DIR" || type == "PORT") opt->check(not_empty);
  }
  for (CLI::App* sub : app.get_subcommands({})) RefuseEmptyPaths(*sub);
}

bool AsksForJson(int argc, char** argv) {
  bool on = false;
  for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") on = true;
    if (arg.rfind("--json=", 0) == 0) {
      const std::string v = arg.substr(7);
      on = !(v == "0" || v == "false" || v == "no" || v == "off" || v == "-1");
    }
  }
  return on;
}

}  // namespace

void BuildApp(CLI::App& app) {
  app.set_version_flag("--version", "vantrel " VANTREL_VERSION);
  app.require_subcommand(1);
  RegisterFlashCommand(app);
  RegisterStationCommand(app);
  RegisterInfoCommand(app);
  RegisterReadbackCommand(app);
  RegisterSimCommand(app);
  RegisterPkgCommand(app);
  RegisterPortsCommand(app);
  RegisterCodesCommand(app);
  RegisterDoctorCommand(app);
  RegisterCompletionCommand(app);
  // After the commands, which would inherit it: each has its own.
  app.footer(std::string("\n") + ExitCodeHelp());
  RefuseEmptyPaths(app);
}

namespace {

// A usage error: one line on standard error, and the result object with --json.
int Usage(const std::string& message) {
  std::fprintf(stderr, "vantrel: %s\n", message.c_str());
  if (json_out::Enabled()) json_out::WriteResult(kExitUsage, "vantrel: " + message);
  return kExitUsage;
}

int Parse(CLI::App& app, int argc, char** argv) {
  // The parser would say "A subcommand is required" for `vantrel --verison`
  // and "arguments were not expected: x --pakage" for `flash --pakage x`.
  if (const std::string unknown = UnknownArgument(app, std::vector<std::string>(argv + 1, argv + argc));
      !unknown.empty())
    return Usage(unknown);
  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {  // a command's own failure, already explained
    return e.get_exit_code();
  } catch (const CLI::ValidationError& e) {  // a value out of range, said in words
    return Usage(PlainParseMessage(e.what()));
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    // The parser's words, with the command they concern named.
    const CLI::App* cmd = &app;
    for (auto subs = cmd->get_subcommands(); !subs.empty(); subs = cmd->get_subcommands()) cmd = subs.front();
    std::string path = "vantrel";
    std::vector<std::string> names;
    for (const CLI::App* c = cmd; c->get_parent(); c = c->get_parent()) names.insert(names.begin(), c->get_name());
    for (const auto& n : names) path += " " + n;
    if (dynamic_cast<const CLI::RequiredError*>(&e) && !cmd->get_subcommands({}).empty()) {
      std::string list;
      for (const CLI::App* sub : cmd->get_subcommands({})) list += (list.empty() ? "" : ", ") + sub->get_name();
      return Usage("`" + path + "` needs a command: " + list + "; see `" + path + " --help`");
    }
    return Usage("`" + path + "`: " + e.what() + "; see `" + path + " --help`");
  }
  return kExitOk;
}

}  // namespace

int RunCli(int argc, char** argv) {
  // The COM<n> directory of `ports`, `doctor` and `--port COMn`; each
  // session of `flash` and `station` is given its own.
  if (const char* dir = std::getenv("VANTREL_PORT_DIR")) platform::SetPortDirectory(dir);
  if (AsksForJson(argc, argv)) {
    json_out::Enable();
    std::signal(SIGPIPE, SIG_IGN);  // a closed output is a failed write, not a killed process
  }
  int rc;
  try {
    CLI::App app{"vantrel: firmware download host, simulated phone and package tools"};
    BuildApp(app);
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
