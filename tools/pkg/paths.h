#pragma once
// The files the package tools read and write, checked before a byte moves:
// a device, a FIFO or a socket is never read as a package nor replaced by
// one, and a package is never written over a file it is built from.
#include <filesystem>
#include <string>
#include <vector>

namespace vantrel::pkg {

// False, with *why the reason without the path ("is a FIFO (named pipe), not
// a package file"), when `path` leads to something other than a regular file:
// reading a FIFO waits for a writer, a device such as /dev/zero never ends.
// True when it is a regular file or cannot be looked at (the open then says
// why). No size is refused: the loader's format has no largest package, and
// a file is mapped rather than read into memory.
bool CheckPackageFileKind(const std::string& path, std::string* why);

// A file a package is built from, and what the description calls it.
struct InputFile {
  std::filesystem::path path;
  std::string what;  // "the description", "the image file of sections[1]"
};

// Where a package named `path` is written: `path` itself, or the file a
// symbolic link there leads to, so that the link stays. False, with a
// one-line reason naming `path`, when that exists and is not a regular file,
// or is one of `inputs` (same device and inode).
bool OutputTarget(const std::filesystem::path& path, const std::vector<InputFile>& inputs,
                  std::filesystem::path* target, std::string* why);

}  // namespace vantrel::pkg
