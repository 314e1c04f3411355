#pragma once
// What stops or spoils a download of a package that the loader accepts: the
// loader checks that every image can be cut out of the file, not that the
// records the download steers by are usable. Shared by `pkg info` and the
// commands that download, so both refuse the same packages.
#include <string>
#include <vector>

#include "images/package_format.h"

namespace vantrel::pkg {

// The part of the package a problem lies in.
enum class PackagePart {
  kBootloaderInfo,  // the bootloader's information block
  kRomInfo,         // the ROM information record, for the FS images
  kFsLayout,        // an FS image's info record
};

struct DownloadBlocker {
  PackagePart part;
  std::string text;  // one line: what is wrong and what the download would do
};

// The problems of the images a load gave (`store`, as BuildImageStore or
// PackageImageStore() hold them), in package order; empty when none.
std::vector<DownloadBlocker> DownloadBlockers(const ImageStore& store);

}  // namespace vantrel::pkg
