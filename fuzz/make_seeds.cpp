// Writes the seed corpora: small packages from the builder for the loader,
// bootloaders and ROM images for the record parsers.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/pkg/builder.h"
#include "tools/pkg/sample.h"

namespace {

using nlohmann::json;
using namespace vantrel::pkg;
namespace fs = std::filesystem;

// 512-byte pages in 2 KiB blocks: every part of the format in a few dozen
// kilobytes, small enough for quick mutation.
json Tiny(bool multi, int fs_images, int version) {
  json sections = json::array();
  sections.push_back({{"type", 4}, {"size", 1024}, {"romInfo", {{"offset", 0x200}, {"version", version}}}});
  sections.push_back({{"type", 5}, {"size", 300}});
  sections.push_back({{"type", 8}, {"size", 100}});
  sections.push_back({{"type", 9}, {"blocks", 1}});
  json fsdesc = {{"verbatim", !multi}, {"tagModulus", 2}, {"reservedCount", 4}};
  if (multi) {
    json regions = json::array();
    for (int r = 0; r < fs_images; ++r) regions.push_back({{"blocks", 2}});
    fsdesc["regions"] = regions;
    sections.push_back({{"type", 10}, {"fs", fsdesc}});
  } else {
    fsdesc["regions"] = json::array({{{"blocks", 2}}});
    for (int r = 0; r < fs_images; ++r) sections.push_back({{"type", 10}, {"fs", fsdesc}});
  }
  return {{"pageSize", 512},
          {"blockKiB", 2},
          {"bootloader", {{"size", 300}, {"infoVersion", version % 4}}},
          {"extBootloader", {{"size", 200}}},
          {"sections", sections}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const fs::path dir = argv[1];
  fs::create_directories(dir / "package");
  fs::create_directories(dir / "records");
  fs::create_directories(dir / "fs_format");
  int n = 0;
  try {
    for (bool multi : {true, false})
      for (int images : {1, 2, 4}) {
        const BuiltPackage p = BuildPackage(Tiny(multi, images, 3 + images));
        WriteFile(dir / "package" / ("tiny-" + std::to_string(n++)), p.bytes);
        WriteFile(dir / "records" / ("boot-" + std::to_string(n)), p.bootloader);
        WriteFile(dir / "records" / ("rom-" + std::to_string(n)), p.rom);
        for (size_t i = 0; i < p.fsImages.size(); ++i)
          WriteFile(dir / "fs_format" / ("fs-" + std::to_string(n) + "-" + std::to_string(i)),
                    p.fsImages[i]);
      }
    // A package without an extended bootloader: a load that succeeds with
    // one image empty.
    json no_ext = Tiny(true, 1, 4);
    no_ext["extBootloader"]["size"] = 0;
    WriteFile(dir / "package" / "tiny-no-ext", BuildPackage(no_ext).bytes);
    SampleOptions small;
    small.pageSize = 512;
    small.blockKiB = 16;
    small.dataBlocks = 2;
    WriteFile(dir / "package" / "sample-512", BuildSamplePackage(small).bytes);
  } catch (const BuildError& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
