#pragma once
// The simulated flash's state file, shared by `flash --simulate` and `sim`:
// a bad file is a one-line error, never an exception, and a file whose
// geometry disagrees with an explicit page size is refused rather than
// silently winning.
#include <memory>
#include <string>

#include "sim/flash.h"
#include "tools/cli/exit_codes.h"

namespace vantrel::cli {

// Null with *error and *cls set when the file cannot be used. A path that
// does not exist yet gives a new flash of `page_size` (it is written later).
// `page_size_given`: the user asked for that page size explicitly.
std::shared_ptr<sim::Flash> OpenStateFile(const std::string& path, uint32_t page_size, bool page_size_given,
                                          uint64_t new_bytes, std::string* error, ExitCode* cls);

}  // namespace vantrel::cli
