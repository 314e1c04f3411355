#pragma once
// Where the files installed beside `vantrel` are, so that a hint names the
// file a user has, never a path of the source tree.
#include <string>

namespace vantrel::cli {

// The udev rule `name` (70-vantrel.rules, 71-vantrel-access.rules) where
// udev reads it, or where this program's install put it; "" when neither.
std::string InstalledRule(const std::string& name);

// The rule for a hint: its installed path, or where the install puts it.
std::string RuleHint(const std::string& name);

}  // namespace vantrel::cli
