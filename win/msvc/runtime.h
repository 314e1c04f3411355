#pragma once
// The little the C++ host stand-in needs in place of a C runtime: it is built
// by clang-cl for the host compiler's ABI without that compiler's SDK, so it
// links only kernel32 (import library made from kernel32.def) and Vantrel.dll.
#include <stdint.h>

namespace host {

// A line of text built in a fixed buffer; what does not fit is cut.
class Line {
 public:
  Line& Add(const char* text);
  Line& Add(int32_t number);
  const char* Text() const { return text_; }

 private:
  char text_[256] = {};
  uint32_t size_ = 0;
};

// Writes the line and a newline to standard output at once, so the stand-in's
// lines do not split the plug-in's trace lines.
void Print(const Line& line);

bool Equal(const char* a, const char* b);
bool StartsWith(const char* text, const char* prefix);
bool FileExists(const char* path);

// The command line's arguments after the program name (quotes removed, at
// most a few); null when there are fewer.
const char* Argument(int index);

[[noreturn]] void Exit(uint32_t code);

}  // namespace host
