#pragma once
// The simulated flash's state file, shared by `flash --simulate` and `sim`:
// a bad file is a one-line error, never an exception, and a file whose
// geometry disagrees with an explicit page size is refused rather than
// silently winning.
#include <memory>
#include <string>
#include <vector>

#include "sim/flash.h"
#include "tools/cli/exit_codes.h"

namespace vantrel::cli {

// Null with *error and *cls set when the file cannot be used. A path that
// does not exist yet gives a new flash of `page_size` (it is written later).
// `page_size_given`: the user asked for that page size explicitly.
std::shared_ptr<sim::Flash> OpenStateFile(const std::string& path, uint32_t page_size, bool page_size_given,
                                          uint64_t new_bytes, std::string* error, ExitCode* cls);

// "" when every block number lies on a flash of `block_count` blocks; else a one-line refusal naming
// `option`, the first block outside and the valid range (a fault set on a
// block the flash does not have would silently do nothing).
std::string BlocksOutside(const char* option, const std::vector<uint32_t>& blocks, uint32_t block_count);

}  // namespace vantrel::cli
