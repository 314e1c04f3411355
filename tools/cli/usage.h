#pragma once
// What the command line says about arguments it cannot use, before the
// option parser's own words: an unknown option or command is named with the
// nearest valid one ("did you mean --package?"), and a number out of range
// states the valid range in words ("--wait takes a number of seconds, 0 or
// more (not -3)").
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace vantrel::cli {

// The first argument of `args` (argv without the program) that no command
// on its way knows, as a one-line message naming it and, when one is close,
// the nearest valid name; "" when every option and command is known.
std::string UnknownArgument(const CLI::App& app, const std::vector<std::string>& args);

// The nearest of `names` to `word` within a few typos, or "".
std::string Nearest(const std::string& word, const std::vector<std::string>& names);

// Checks for number options and arguments. `what` names the value
// ("a number of seconds"); the refusal reads "takes WHAT, RANGE (not VALUE)".
CLI::Validator Number(const std::string& what, double min, double max = 1e300);
CLI::Validator WholeNumber(const std::string& what, long long min, long long max = 4294967295);
CLI::Validator OneOf(const std::vector<long long>& values);

// The parser's message made plain: "--wait: takes ..." becomes "--wait
// takes ...".
std::string PlainParseMessage(const std::string& what);

}  // namespace vantrel::cli
