#include "tools/cli/usage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vantrel::cli {

namespace {

// Edits (insert, delete, replace, swap two neighbours) from a to b.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

bool IsNumber(const std::string& s) {
  char* end = nullptr;
  errno = 0;
  std::strtod(s.c_str(), &end);
  return !s.empty() && end && *end == '\0' && errno == 0;
}

std::string CommandPath(const CLI::App* app) {
  std::string path;
  for (; app && app->get_parent(); app = app->get_parent()) path = " " + app->get_name() + path;
  return "vantrel" + path;
}

std::vector<std::string> OptionNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::Option* o : app->get_options()) {
    for (const auto& l : o->get_lnames()) names.push_back("--" + l);
    for (const auto& s : o->get_snames()) names.push_back("-" + s);
  }
  return names;
}

std::vector<std::string> CommandNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
    names.push_back(sub->get_name());
  return names;
}

std::string DidYouMean(const std::string& word, const std::vector<std::string>& names, const CLI::App* app) {
  const std::string near = Nearest(word, names);
  const std::string help = "see `" + CommandPath(app) + " --help`";
  return near.empty() ? "; " + help : "; did you mean " + near + "? (" + help + ")";
}

// How many of the arguments after `opt` are its values.
size_t ValuesAfter(const CLI::Option* opt, const std::vector<std::string>& args, size_t at) {
  const int most = opt->get_items_expected_max();
  size_t n = 0;
  while (at + n < args.size() && static_cast<int>(n) < most) {
    const std::string& next = args[at + n];
    // A single value is taken whatever it looks like ("--wait -3"); a list
    // ends at the next option.
    if (n > 0 && next.size() > 1 && next[0] == '-' && !IsNumber(next)) break;
    if (n == 0 && most > 1 && next.size() > 1 && next[0] == '-' && !IsNumber(next)) break;
    ++n;
  }
  return n;
}

}  // namespace

std::string Nearest(const std::string& word, const std::vector<std::string>& names) {
  std::string best;
  if (word.size() < 3) return best;  // "-o" is as near "-h" as anything
  size_t best_d = std::max<size_t>(1, word.size() / 4) + 1;
  std::string lower = word;  // "FLASH" is flash
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& n : names) {
    const size_t d = Distance(lower, n);
    if (d < best_d) best_d = d, best = n;
  }
  return best;
}

std::string UnknownArgument(const CLI::App& app, const std::vector<std::string>& args) {
  const CLI::App* cur = &app;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (arg.size() > 1 && arg[0] == '-' && !IsNumber(arg)) {
      const bool long_name = arg[1] == '-';
      const std::string name = long_name ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
      const CLI::Option* opt = cur->get_option_no_throw(name);
      if (!opt)
        return "unknown option " + name + " for `" + CommandPath(cur) + "`" + DidYouMean(name, OptionNames(cur), cur);
      if (long_name ? arg.find('=') == std::string::npos : arg.size() == 2) i += ValuesAfter(opt, args, i + 1);
      continue;
    }
    const auto commands = CommandNames(cur);
    if (std::find(commands.begin(), commands.end(), arg) != commands.end()) {
      cur = cur->get_subcommand(arg);
    } else if (!commands.empty() && cur->get_options([](const CLI::Option* o) { return o->get_positional(); }).empty()) {
      return "unknown command \"" + arg + "\" for `" + CommandPath(cur) + "`" + DidYouMean(arg, commands, cur);
    }
  }
  return "";
}

namespace {

std::string RangeWords(double min, double max) {
  char buf[96];
  if (max >= 1e300) std::snprintf(buf, sizeof buf, "%.15g or more", min);
  else std::snprintf(buf, sizeof buf, "from %.15g to %.15g", min, max);
  return buf;
}

}  // namespace

CLI::Validator Number(const std::string& what, double min, double max) {
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (IsNumber(value) && std::isfinite(v) && v >= min && v <= max) return "";
        return "takes " + what + ", " + RangeWords(min, max) + " (not \"" + value + "\")";
      },
      "");
}

CLI::Validator WholeNumber(const std::string& what, long long min, long long max) {
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        char* end = nullptr;
        errno = 0;
        const bool hex = value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0;
        const long long v = std::strtoll(value.c_str(), &end, hex ? 16 : 10);
        const bool whole = !value.empty() && end && *end == '\0' && errno == 0;
        if (whole && v >= min && v <= max) {
          // Handed on in decimal: the parser would read "010" as octal 8.
          value = std::to_string(v);
          return "";
        }
        const bool too_big = (whole && v > max) || errno == ERANGE;
        const std::string range = max == 4294967295 && !too_big
                                      ? std::to_string(min) + " or more"
                                      : "from " + std::to_string(min) + " to " + std::to_string(max);
        return "takes " + what + ", a whole number " + range + " (not \"" + value + "\")";
      },
      "");
}

CLI::Validator OneOf(const std::vector<long long>& values) {
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        for (long long v : values)
          if (value == std::to_string(v)) return "";
        std::string list;
        for (size_t i = 0; i < values.size(); ++i)
          list += (i == 0 ? "" : i + 1 == values.size() ? " or " : ", ") + std::to_string(values[i]);
        return "takes " + list + " (not \"" + value + "\")";
      },
      "");
}

std::string PlainParseMessage(const std::string& what) {
  const size_t at = what.find(": takes ");
  if (at == std::string::npos || what.find(' ') < at) return what;
  return what.substr(0, at) + what.substr(at + 1);
}

}  // namespace vantrel::cli
