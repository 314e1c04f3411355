// Placeholder until the subcommand lands.
#include "tools/cli/commands.h"

namespace vantrel::cli {
void RegisterSimCommand(CLI::App& app) { app.add_subcommand("sim", "(not yet available)"); }
}  // namespace vantrel::cli
