#pragma once
// Writes firmware packages from a JSON description (see README.md beside this
// file), and returns with every package the images a correct loader must cut
// out of it. The expected images are computed from the description, not by
// reading the package back, so a round trip compares two independent paths.
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "images/package_format.h"
#include "tools/pkg/paths.h"

namespace vantrel::pkg {

// A description the builder cannot turn into a package.
struct BuildError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Geometry {
  uint32_t pageSize = 0;
  uint32_t spareSize = 0;
  uint32_t blockKiB = 0;
  uint32_t blockMainBytes = 0;
  uint32_t pages = 0;
  uint32_t blockBytes = 0;  // pages × (pageSize + spareSize)

  // Throws BuildError for a geometry the loader refuses or whose blocks do
  // not hold whole pages.
  static Geometry Make(uint32_t page_size, uint32_t block_kib);
  // The same geometry as the loader computes it, for its offset functions.
  NandGeometry Nand() const;
};

// Where the builder put one section of the table.
struct PlacedSection {
  uint8_t type = 0;
  uint32_t startBlock = 0;
  uint32_t blockCount = 0;
  uint64_t filePos = 0;         // startBlock × blockBytes
  uint64_t infoRecordPos = 0;   // FS sections: file position of the info record
  uint32_t regions = 0;         // FS sections: regions in the info record
};

// One image as the loader's store must hold it, in store order.
struct ExpectedImage {
  int32_t type = 0;
  std::vector<uint8_t> bytes;
};

struct BuiltPackage {
  Geometry geometry;
  std::vector<uint8_t> bytes;  // the package file
  std::vector<InputFile> inputs;  // the files read: the description and the image files it names
  std::vector<PlacedSection> sections;
  uint64_t imageListPos = 0;   // file position of the 324-byte image list

  std::vector<ExpectedImage> store;  // bootloader, ext bootloader, listed and FS images
  std::vector<uint8_t> bootloader, extBootloader, rom, rom2;
  std::vector<std::vector<uint8_t>> fsImages;

  // ROM information record placed by the builder (0 when the ROM came from a
  // file), and the FS region it names.
  uint32_t romInfoOffset = 0;
  uint32_t fsRegionStart = 0;
  uint32_t fsRegionLength = 0;
};

// Builds from a description; file names are taken relative to `base_dir`.
// Throws BuildError naming the offending key.
BuiltPackage BuildPackage(const nlohmann::json& description,
                          const std::filesystem::path& base_dir = {});

// Reads a JSON description from a file and builds it.
BuiltPackage BuildPackageFromFile(const std::filesystem::path& json_path);

// Writes bytes to a file; throws BuildError on failure.
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

}  // namespace vantrel::pkg
