#pragma once
// The whole command line of `vantrel`: parses argv, runs the subcommand and
// returns the process's exit code (exit_codes.h). main() only calls it.
namespace vantrel::cli {

int RunCli(int argc, char** argv);

}  // namespace vantrel::cli
