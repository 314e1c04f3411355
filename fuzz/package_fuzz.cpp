// Any bytes as a package file: the load fails with a reason, or succeeds with
// images that lie in memory it owns and that the FS writer can take.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "images/package.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  const ByteSpan file(data, size);
  ImageStore store;
  std::string why;
  PackageLayout layout;
  if (!BuildImageStore(file, &store, &why, &layout)) {
    Require(!why.empty());
    return 0;
  }
  ImageDesc boot, ext, rom, rom2, fs[kFsSlotCount] = {};
  DistributeImages(store, {&boot, &ext, &rom, &rom2, fs});
  // The extended bootloader may be empty (its write then sends no packets);
  // the bootloader may not.
  Require(!boot.empty());
  std::size_t fs_images = 0;
  for (const ImageRecord& r : store) {
    Require(!r.bytes.empty() || r.type == kImageExtBootloader);
    if (r.type == kImageFs) {
      ++fs_images;
      Require(CheckFsImage(layout.geometry, r.bytes, &why));
    }
  }
  Require(fs_images <= kFsSlotCount);
  // Touch every byte an output names, so a descriptor past its image shows.
  unsigned sum = 0;
  for (const ImageDesc* d : {&boot, &ext, &rom, &rom2, &fs[0], &fs[1], &fs[2], &fs[3]})
    for (uint32_t i = 0; d->data && i < d->length; i += 509) sum += d->data[i];
  // The process-wide path as well: same result, outputs filled.
  ImageDesc g_boot, g_ext, g_rom, g_rom2, g_fs[kFsSlotCount] = {};
  Require(LoadFirmwarePackageFromBytes(file, &g_boot, &g_ext, &g_rom, &g_rom2, g_fs));
  Require(g_boot.length == boot.length && g_fs[0].length == fs[0].length);
  static volatile unsigned sink;
  sink = sink + sum;
  return 0;
}
