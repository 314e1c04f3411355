// File names ignore case on Windows, and the package path is kept lower-cased
// the way the runtime's multibyte functions lower it in the current code
// page: single-byte letters through the code page's case table, double-byte
// characters through the locale's lower-case mapping.
#include <mbstring.h>

#include <vector>

#include "platform/text.h"

namespace vantrel::platform {

std::string NormalisePackagePath(const std::string& path) {
  std::vector<unsigned char> buf(path.begin(), path.end());
  buf.push_back(0);
  _mbslwr(buf.data());
  // An embedded NUL ends the path, as it does for the file functions.
  return std::string(reinterpret_cast<const char*>(buf.data()));
}

}  // namespace vantrel::platform
