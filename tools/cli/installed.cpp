#include "tools/cli/installed.h"

#include <unistd.h>

#include <climits>

namespace vantrel::cli {

namespace {

// PREFIX of PREFIX/bin/vantrel, or "" when the program cannot tell.
std::string Prefix() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string exe(buf, static_cast<size_t>(n));
  exe.erase(exe.rfind('/'));          // PREFIX/bin
  return exe.substr(0, exe.rfind('/'));
}

}  // namespace

std::string InstalledRule(const std::string& name) {
  // udev's own folders first: a rule there is the one that applies.
  for (const std::string& dir : {std::string("/etc/udev/rules.d"), std::string("/usr/lib/udev/rules.d"),
                                 std::string("/lib/udev/rules.d"), Prefix() + "/lib/udev/rules.d"}) {
    const std::string path = dir + "/" + name;
    if (::access(path.c_str(), R_OK) == 0) return path;
  }
  return "";
}

std::string RuleHint(const std::string& name) {
  const std::string path = InstalledRule(name);
  if (!path.empty()) return path;
  return name + " (in lib/udev/rules.d of vantrel's install)";
}

}  // namespace vantrel::cli
