#pragma once
// Files a run writes besides its results: a wire transcript, the station's
// log, a simulated phone's saved state. Checked before any port is opened,
// so a run never ends with nowhere to write, and never writes over the
// firmware package it was given (or another one) by a slip of the keyboard.
#include <string>

namespace vantrel::cli {

// "" when `path` can be written; else why not, starting with the path. Its
// folder must exist and take files; it must not be a directory, nor (with
// `guard_packages`) the file `package` names or any firmware package.
std::string OutputFileProblem(const std::string& path, const std::string& package, bool guard_packages = true);

}  // namespace vantrel::cli
