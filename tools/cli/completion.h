#pragma once
// Bash completion, generated from the same option table as --help, so the
// two cannot drift: `vantrel completion bash` prints it, the build installs
// what it prints. An option's type name says what its value completes to:
// FILE, DIR, PORT (device paths, the /dev/serial links and the port
// directory's COMn), or the values themselves ("512|2048").
#include <CLI/CLI.hpp>

#include <string>

namespace vantrel::cli {

std::string BashCompletion(const CLI::App& app);

void RegisterCompletionCommand(CLI::App& app);  // `vantrel completion bash`

}  // namespace vantrel::cli
