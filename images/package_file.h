#pragma once
// The package file's bytes for the duration of one load. Where the OS allows
// it the file is mapped rather than copied, so a load holds the images it
// builds and not a second copy of the file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "images/package_format.h"

namespace vantrel {

class PackageFile {
 public:
  PackageFile() = default;
  ~PackageFile();
  PackageFile(const PackageFile&) = delete;
  PackageFile& operator=(const PackageFile&) = delete;

  // False with a reason when the file cannot be opened or read.
  bool Open(const std::string& path, std::string* why);
  ByteSpan bytes() const { return {data_, size_}; }
  // Gives back the memory behind bytes [pos, pos + length) that the load has
  // copied, where the OS allows it (whole pages of a mapping); the bytes stay
  // readable.
  void Release(uint64_t pos, uint64_t length);

 private:
  void Close();

  const uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  void* mapping_ = nullptr;  // set when the bytes are a mapping of mapped_ bytes
  std::size_t mapped_ = 0;
  std::vector<uint8_t> buffer_;  // used when the file cannot be mapped
};

}  // namespace vantrel
