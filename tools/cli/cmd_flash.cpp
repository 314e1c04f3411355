// Placeholder until the subcommand lands.
#include "tools/cli/commands.h"

namespace vantrel::cli {
void RegisterFlashCommand(CLI::App& app) { app.add_subcommand("flash", "(not yet available)"); }
}  // namespace vantrel::cli
