#pragma once
// The whole command line of `vantrel`: parses argv, runs the subcommand and
// returns the process's exit code (exit_codes.h). main() only calls it.
#include <CLI/CLI.hpp>

namespace vantrel::cli {

int RunCli(int argc, char** argv);

// Every command and option, as --help shows them.
void BuildApp(CLI::App& app);

}  // namespace vantrel::cli
