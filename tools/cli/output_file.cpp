#include "tools/cli/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "images/package_file.h"
#include "tools/pkg/inspect.h"

namespace vantrel::cli {

namespace fs = std::filesystem;

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa{}, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool IsFirmwarePackage(const std::string& path) {
  PackageFile file;
  return file.Open(path, nullptr) && pkg::LooksLikePackage(file.bytes());
}

}  // namespace

std::string OutputFileProblem(const std::string& path, const std::string& package, bool guard_packages) {
  const fs::path p(path);
  const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return path + ": the folder " + folder.string() + " does not exist";
  if (::access(folder.c_str(), W_OK) != 0)
    return path + ": cannot write in " + folder.string() + ": " + std::strerror(errno);
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return "";  // the run makes it
  if (S_ISDIR(st.st_mode)) return path + ": is a directory; give a file";
  if (!guard_packages) return "";
  if (!package.empty() && SameFile(path, package))
    return path + ": is the firmware package of this run, which writing would destroy; give another file";
  if (S_ISREG(st.st_mode) && IsFirmwarePackage(path))
    return path + ": is a firmware package, which writing would destroy; give another file";
  return "";
}

}  // namespace vantrel::cli
