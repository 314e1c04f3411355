// Placeholder until the subcommand lands.
#include "tools/cli/commands.h"

namespace vantrel::cli {
void RegisterPkgCommand(CLI::App& app) { app.add_subcommand("pkg", "(not yet available)"); }
}  // namespace vantrel::cli
