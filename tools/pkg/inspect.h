#pragma once
// What `vantrel pkg info` shows about a package: geometry, section table,
// the images a load yields with their sizes and placement, the FS images with
// their blocks and regions, and whether the package passes every limit.
#include <ostream>
#include <string>

#include "images/package_format.h"

namespace vantrel::pkg {

// Prints the description to `out`. True when the package loads; otherwise
// *reason (when given) holds the loader's reason, which is printed too.
bool DescribePackage(ByteSpan file, std::ostream& out, std::string* reason = nullptr);

}  // namespace vantrel::pkg
