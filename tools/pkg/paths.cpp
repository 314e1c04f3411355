// Checks of the package tools' file arguments (paths.h).
#include "tools/pkg/paths.h"

#include <system_error>

namespace vantrel::pkg {
namespace fs = std::filesystem;
namespace {

// What a path that is no regular file is, in words; "" for a regular file.
const char* KindName(fs::file_type type) {
  switch (type) {
    case fs::file_type::regular: return "";
    case fs::file_type::directory: return "is a directory";
    case fs::file_type::fifo: return "is a FIFO (named pipe)";
    case fs::file_type::character: return "is a character device";
    case fs::file_type::block: return "is a block device";
    case fs::file_type::socket: return "is a socket";
    default: return "is not a regular file";
  }
}

// `path` with every symbolic link at its end followed; false on a loop.
bool FollowLinks(fs::path path, fs::path* out) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) {
      *out = path;
      return true;
    }
    const fs::path to = fs::read_symlink(path, ec);
    if (ec) return false;
    path = to.is_absolute() ? to : path.parent_path() / to;
  }
  return false;
}

}  // namespace

bool CheckPackageFileKind(const std::string& path, std::string* why) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || st.type() == fs::file_type::not_found || st.type() == fs::file_type::regular) return true;
  *why = std::string(KindName(st.type())) + ", not a package file; give the package file";
  return false;
}

bool OutputTarget(const fs::path& path, const std::vector<InputFile>& inputs, fs::path* target, std::string* why) {
  if (!FollowLinks(path, target)) {
    *why = path.string() + ": a symbolic link that leads nowhere (a loop); give another output file";
    return false;
  }
  std::error_code ec;
  const fs::file_status st = fs::status(*target, ec);
  if (ec || st.type() == fs::file_type::not_found) return true;  // a new file; the write tells what fails
  if (st.type() != fs::file_type::regular) {
    *why = path.string() + ": " + KindName(st.type()) + ", not a file a package can replace; give a file name";
    return false;
  }
  for (const InputFile& in : inputs)
    if (fs::equivalent(*target, in.path, ec)) {
      *why = path.string() + ": is " + in.what + ", which the package is built from; give another output file";
      return false;
    }
  return true;
}

}  // namespace vantrel::pkg
