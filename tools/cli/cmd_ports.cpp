// Placeholder until the subcommand lands.
#include "tools/cli/commands.h"

namespace vantrel::cli {
void RegisterPortsCommand(CLI::App& app) { app.add_subcommand("ports", "(not yet available)"); }
}  // namespace vantrel::cli
