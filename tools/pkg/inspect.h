#pragma once
// What `vantrel pkg info` shows about a package: geometry, section table,
// the images a load yields with their sizes and placement, the FS images with
// their blocks and regions, and whether the package passes every limit.
#include <ostream>
#include <string>

#include "images/package_format.h"

namespace vantrel::pkg {

// True when the file starts as a firmware package does: a header whose page
// and block sizes are powers of two a flash has, and room for the section
// table's three fixed records. A file that does not is no package at all,
// rather than a broken one.
bool LooksLikePackage(ByteSpan file);
// What the tools say of such a file.
inline constexpr char kNotAPackage[] =
    "not a firmware package (it does not start with a package's header: a page size and a block size that a "
    "flash has)";

// Prints the description to `out`. True when the package loads and nothing
// in it stops or spoils a download (DownloadBlockers); otherwise *reason
// (when given) holds the loader's reason or the first such problem, which
// are printed too.
bool DescribePackage(ByteSpan file, std::ostream& out, std::string* reason = nullptr);

}  // namespace vantrel::pkg
