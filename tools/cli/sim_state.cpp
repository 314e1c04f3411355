#include "tools/cli/sim_state.h"

#include <sys/stat.h>

#include <exception>

#include "images/package_file.h"
#include "tools/pkg/inspect.h"

namespace vantrel::cli {

namespace {

bool IsFirmwarePackage(const std::string& path) {
  PackageFile file;
  std::string why;
  return file.Open(path, &why) && pkg::LooksLikePackage(file.bytes());
}

}  // namespace

std::shared_ptr<sim::Flash> OpenStateFile(const std::string& path, uint32_t page_size, bool page_size_given,
                                          uint64_t new_bytes, std::string* error, ExitCode* cls) {
  auto fresh = [&] {
    const uint64_t bytes = new_bytes ? new_bytes : 256ull << 20;
    return std::make_shared<sim::Flash>(page_size == 512 ? sim::Geometry::SmallPage(bytes)
                                                         : sim::Geometry::LargePage(bytes));
  };
  if (path.empty()) return fresh();
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return fresh();  // created when the run ends
  *cls = kExitPackage;
  if (S_ISDIR(st.st_mode)) {
    *error = "state file " + path + ": is a directory; give a file name (it is created when missing)";
    return nullptr;
  }
  std::shared_ptr<sim::Flash> flash;
  std::string why;
  try {
    flash = sim::Flash::FromFile(path, &why);
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (!flash) {
    if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
    // Never advise removing it: the file is the user's, maybe a package
    // given to the wrong option.
    *error = IsFirmwarePackage(path)
                 ? "state file " + path + ": is a firmware package, not a flash state file; give it with --package, "
                   "and --state the name of a new file (it is created when the run ends)"
                 : "state file " + path + ": " + (why.empty() ? "unreadable" : why) +
                       " (a state file is the flash the simulator saved); give --state the name of a new file "
                       "(it is created when the run ends)";
    return nullptr;
  }
  if (page_size_given && flash->geometry().pageSize != page_size) {
    *cls = kExitUsage;
    *error = "state file " + path + " holds a flash with " + std::to_string(flash->geometry().pageSize) +
             "-byte pages, but --page-size asks for " + std::to_string(page_size) +
             "; drop --page-size or use another state file";
    return nullptr;
  }
  return flash;
}

std::string BlocksOutside(const char* option, const std::vector<uint32_t>& blocks, uint32_t count) {
  for (uint32_t b : blocks)
    if (b >= count)
      return std::string(option) + " " + std::to_string(b) + ": the simulated flash has blocks 0 to " +
             std::to_string(count - 1);
  return "";
}

}  // namespace vantrel::cli
