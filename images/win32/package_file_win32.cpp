// Reads the whole file through the C runtime, which opens with sharing
// allowed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "images/package_file.h"

namespace vantrel {

PackageFile::~PackageFile() { Close(); }

void PackageFile::Close() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  data_ = nullptr;
  size_ = 0;
}

// The file is read into a buffer that the load reads to the end.
void PackageFile::Release(uint64_t, uint64_t) {}

bool PackageFile::Open(const std::string& path, std::string* why) {
  Close();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return Fail(why, "cannot open %s: %s", path.c_str(), std::strerror(errno));
  uint8_t chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) buffer_.insert(buffer_.end(), chunk, chunk + got);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    Close();
    return Fail(why, "cannot read %s", path.c_str());
  }
  data_ = buffer_.data();
  size_ = buffer_.size();
  return true;
}

}  // namespace vantrel
