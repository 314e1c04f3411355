#include "platform/text.h"

namespace vantrel::platform {

std::string NormalisePackagePath(const std::string& path) { return path; }

}  // namespace vantrel::platform
