// Maps regular files read-only; reads anything else (a pipe, an empty file)
// into a buffer.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "images/package_file.h"

namespace vantrel {

PackageFile::~PackageFile() { Close(); }

void PackageFile::Close() {
  if (mapping_) munmap(mapping_, mapped_);
  mapping_ = nullptr;
  mapped_ = 0;
  buffer_.clear();
  buffer_.shrink_to_fit();
  data_ = nullptr;
  size_ = 0;
}

void PackageFile::Release(uint64_t pos, uint64_t length) {
  if (!mapping_ || pos >= mapped_) return;
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t end = std::min<uint64_t>(pos + length, mapped_);
  // Only pages that lie wholly inside the range: a neighbour's bytes may
  // still be read. A private read-only mapping reads dropped pages back from
  // the file if they are touched again.
  const uint64_t first = (pos + page - 1) / page * page;
  const uint64_t last = end == mapped_ ? end : end / page * page;
  if (last > first)
    madvise(static_cast<uint8_t*>(mapping_) + first, static_cast<std::size_t>(last - first),
            MADV_DONTNEED);
}

bool PackageFile::Open(const std::string& path, std::string* why) {
  Close();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(why, "cannot open %s: %s", path.c_str(), std::strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      ::close(fd);
      mapping_ = p;
      mapped_ = static_cast<std::size_t>(st.st_size);
      data_ = static_cast<const uint8_t*>(p);
      size_ = mapped_;
      return true;
    }
  }
  uint8_t chunk[65536];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int err = errno;
      ::close(fd);
      Close();
      return Fail(why, "cannot read %s: %s", path.c_str(), std::strerror(err));
    }
    if (got == 0) break;
    buffer_.insert(buffer_.end(), chunk, chunk + got);
  }
  ::close(fd);
  data_ = buffer_.data();
  size_ = buffer_.size();
  return true;
}

}  // namespace vantrel
