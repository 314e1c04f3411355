#pragma once
// Content digests a user can compare with what a package's publisher states.
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::pkg {

// Lower-case hex SHA-256 of bytes, or of a file read in bounded chunks
// (false with *error naming the cause).
std::string Sha256(const uint8_t* data, size_t size);
bool FileSha256(const std::string& path, std::string* hex, std::string* error);

}  // namespace vantrel::pkg
