#pragma once
// A ready sample package: small (a few MiB), loadable, with every kind of
// section, for the simulated download and the end-to-end tests.
#include <array>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "tools/pkg/builder.h"

namespace vantrel::pkg {

struct SampleOptions {
  uint32_t pageSize = 2048;  // 512 (16 KiB blocks) or 2048 (128 KiB blocks)
  uint32_t blockKiB = 128;
  bool multiRegion = true;   // one FS section split into regions, or verbatim FS sections
  uint32_t fsImages = 2;     // regions, or verbatim sections; 1 to 4
  uint32_t dataBlocks = 6;   // per FS image
  uint32_t tagModulus = 4;
  uint32_t reservedCount = 16;
  std::array<uint16_t, kTagCount> counters{};  // tag counters in the info block
  uint32_t seed = 1;
  bool extraSections = true;  // a type-8 image and a type-9 section as well
};

// The FS data lies from this flash address on, clear of where the ROM images
// go (from device block 2 for a few MiB), inside a 256 MiB flash.
inline constexpr uint32_t kSampleFsStart = 0x01800000;

// The JSON description of the sample, for `vantrel pkg build` or for editing.
nlohmann::json SampleDescription(const SampleOptions& options = {});
// Options from the "sample" object of a description; absent keys keep their
// defaults. Throws BuildError on a wrong value.
SampleOptions SampleOptionsFromJson(const nlohmann::json& j);
BuiltPackage BuildSamplePackage(const SampleOptions& options = {});
// The smallest whole download: 512-byte pages, one FS image of 3 data
// blocks, kilobyte-sized bootloaders and ROM images; for the fuzzer and the
// matrices that run it hundreds of times.
BuiltPackage BuildTinyPackage();

}  // namespace vantrel::pkg
