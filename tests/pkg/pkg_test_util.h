#pragma once
// Helpers shared by the package tests: the loader's outputs and positions of
// main-data bytes inside built packages.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "images/package.h"
#include "tools/pkg/builder.h"

namespace vantrel::testing {

struct Outputs {
  ImageDesc boot, ext, rom, rom2, fs[4];

  bool Load(const std::vector<uint8_t>& bytes, std::string* why = nullptr) {
    return LoadFirmwarePackageFromBytes(bytes, &boot, &ext, &rom, &rom2, fs, why);
  }
};

inline bool Same(const ImageDesc& a, const ImageDesc& b) {
  return a.data == b.data && a.length == b.length && a.address == b.address;
}

inline std::vector<uint8_t> Bytes(const ImageDesc& d) {
  return d.data ? std::vector<uint8_t>(d.data, d.data + d.length) : std::vector<uint8_t>{};
}

// File position of main-data byte m of the section at `section_pos`.
inline uint64_t MainPos(const pkg::Geometry& g, uint64_t section_pos, uint64_t m) {
  return section_pos + m / g.pageSize * (g.pageSize + g.spareSize) + m % g.pageSize;
}

}  // namespace vantrel::testing
