// vantrel: the command-line host. It loads the plug-in through its six
// exports, as the real host does, and bundles the simulated phone and the
// package tools.
#include <cstdio>

#include "tools/cli/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"vantrel: firmware download host, simulated phone and package tools"};
  app.require_subcommand(1);
  vantrel::cli::RegisterFlashCommand(app);
  vantrel::cli::RegisterSimCommand(app);
  vantrel::cli::RegisterPkgCommand(app);
  vantrel::cli::RegisterPortsCommand(app);
  vantrel::cli::RegisterCodesCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return 0;
}
