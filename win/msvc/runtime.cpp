// The stand-in's replacement for the C runtime it does without: output,
// heap, the command line, and the memory functions the compiler may call.
#include "runtime.h"

using size_t = __SIZE_TYPE__;

extern "C" {
__declspec(dllimport) void __stdcall ExitProcess(uint32_t code);
__declspec(dllimport) const char* __stdcall GetCommandLineA();
__declspec(dllimport) uint32_t __stdcall GetFileAttributesA(const char* path);
__declspec(dllimport) void* __stdcall GetProcessHeap();
__declspec(dllimport) void* __stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, uint32_t flags, size_t size);
__declspec(dllimport) int __stdcall HeapFree(void* heap, uint32_t flags, void* block);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, uint32_t size,
                                              uint32_t* written, void* overlapped);

// The compiler turns zero-filled arrays and object copies into these calls.
void* memset(void* to, int value, size_t size) {
  auto* p = static_cast<unsigned char*>(to);
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<unsigned char>(value);
  return to;
}
void* memcpy(void* to, const void* from, size_t size) {
  auto* d = static_cast<unsigned char*>(to);
  const auto* s = static_cast<const unsigned char*>(from);
  for (size_t i = 0; i < size; ++i) d[i] = s[i];
  return to;
}
}  // extern "C"

constexpr uint32_t kHeapZeroMemory = 0x8;
constexpr uint32_t kStdOutput = static_cast<uint32_t>(-11);
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

void* operator new(size_t size) {
  void* p = HeapAlloc(GetProcessHeap(), kHeapZeroMemory, size ? size : 1);
  if (!p) {
    host::Line line;
    host::Print(line.Add("host: FAILED: out of memory"));
    host::Exit(3);
  }
  return p;
}
void operator delete(void* p) noexcept {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace host {

Line& Line::Add(const char* text) {
  for (; text && *text && size_ + 1 < sizeof text_; ++text) text_[size_++] = *text;
  text_[size_] = 0;
  return *this;
}

Line& Line::Add(int32_t number) {
  char digits[12];
  int n = 0;
  // Negate into an unsigned value so the most negative number prints too.
  uint32_t v = number < 0 ? 0u - static_cast<uint32_t>(number) : static_cast<uint32_t>(number);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  if (number < 0) Add("-");
  char text[12];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = 0;
  return Add(text);
}

void Print(const Line& line) {
  char out[sizeof(Line) + 2];
  uint32_t size = 0;
  for (const char* t = line.Text(); *t; ++t) out[size++] = *t;
  out[size++] = '\n';
  uint32_t written = 0;
  WriteFile(GetStdHandle(kStdOutput), out, size, &written, nullptr);
}

bool Equal(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

bool StartsWith(const char* text, const char* prefix) {
  while (*prefix && *text == *prefix) ++text, ++prefix;
  return *prefix == 0;
}

bool FileExists(const char* path) { return GetFileAttributesA(path) != kInvalidAttributes; }

const char* Argument(int index) {
  // Splits a copy of the command line once: words end at blanks outside
  // double quotes; the quotes themselves are dropped.
  static char copy[1024];
  static const char* words[8];
  static int count = -1;
  if (count < 0) {
    count = 0;
    const char* in = GetCommandLineA();
    uint32_t size = 0;
    while (*in && count < 8) {
      while (*in == ' ' || *in == '\t') ++in;
      if (!*in || size + 2 >= sizeof copy) break;
      words[count++] = copy + size;
      bool quoted = false;
      for (; *in && (quoted || (*in != ' ' && *in != '\t')); ++in) {
        if (*in == '"') {
          quoted = !quoted;
        } else if (size + 2 < sizeof copy) {
          copy[size++] = *in;
        }
      }
      copy[size++] = 0;
    }
  }
  int at = index + 1;  // word 0 is the program
  return at < count ? words[at] : nullptr;
}

void Exit(uint32_t code) {
  ExitProcess(code);
  __builtin_unreachable();
}

}  // namespace host
