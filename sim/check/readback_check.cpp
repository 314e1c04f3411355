// A read-back file against the simulated flash it was read from.
#include <cstdio>
#include <fstream>

#include "sim/check/flash_check.h"

namespace vantrel::flashcheck {

namespace {

std::string Hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

CheckReport Failed(const std::string& why) {
  CheckReport r;
  r.problems.push_back(why);
  r.summary = "read-back check FAILED: " + why + "\n";
  return r;
}

}  // namespace

CheckReport CompareReadBack(const sim::Flash& flash, uint64_t start, uint64_t length, int mode, std::istream& in) {
  const sim::Geometry& g = flash.geometry();
  if ((mode != 0 && mode != 1) || start % g.pageSize || length % g.pageSize || start + length > g.mainBytes())
    return Failed("the range " + Hex(start) + " + " + Hex(length) + " in mode " + std::to_string(mode) +
                  " is not a read of this flash");
  const uint32_t step = mode == 0 ? g.pageRawBytes() : g.pageSize;
  Bytes got(step);
  const uint64_t first = start / g.pageSize, pages = length / g.pageSize;
  for (uint64_t k = 0; k < pages; ++k) {
    const uint64_t page = first + k;
    const Bytes want = flash.ReadPage(static_cast<uint32_t>(page / g.pagesPerBlock),
                                      static_cast<uint32_t>(page % g.pagesPerBlock));
    if (!in.read(reinterpret_cast<char*>(got.data()), step))
      return Failed("the file ends at byte " + std::to_string(k * step + in.gcount()) + " of " +
                    std::to_string(pages * step));
    for (uint32_t i = 0; i < step; ++i) {
      if (got[i] == want[i]) continue;
      const bool spare = i >= g.pageSize;
      return Failed("byte " + std::to_string(k * step + i) + " (page " + std::to_string(page) + ", " +
                    (spare ? "spare byte " + std::to_string(i - g.pageSize) : "main byte " + std::to_string(i)) +
                    ") reads " + Hex(got[i]) + " where the flash holds " + Hex(want[i]));
    }
  }
  if (in.peek() != std::char_traits<char>::eof()) return Failed("the file is longer than the read");
  CheckReport r;
  r.ok = true;
  r.summary = "read-back of " + Hex(length) + " bytes from " + Hex(start) + " in mode " + std::to_string(mode) +
              ": identical to the flash\n";
  return r;
}

CheckReport CompareReadBackFile(const sim::Flash& flash, uint64_t start, uint64_t length, int mode,
                                const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Failed("cannot open " + path);
  return CompareReadBack(flash, start, length, mode, in);
}

}  // namespace vantrel::flashcheck
