#pragma once
#include <string>

namespace vantrel::platform {

// Lower-cases text in the process's current multibyte code page: single-byte
// letters through the locale's case table, multibyte characters through the
// wide-character mapping. Bytes that do not decode are kept as they are.
std::string LowerMultibyte(const std::string& text);

// What PreviousLoad does to the package path. Where file names ignore case
// (Windows) the path is lower-cased; on POSIX it is kept as given, because
// lower-casing /home/Ana/FW.bin would name a different, missing file.
std::string NormalisePackagePath(const std::string& path);

// Sets the process locale, all categories, to the user's default (done once
// before the package file is read, so that names decode as the user expects).
void UseUserLocale();

}  // namespace vantrel::platform
