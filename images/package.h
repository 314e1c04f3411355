#pragma once
// The firmware package file and the process-wide image store it fills.
#include <cstdint>
#include <string>

#include "images/firmware.h"
#include "images/image_desc.h"
#include "images/package_format.h"

namespace vantrel {

inline constexpr uint32_t kFsImageAddresses[kFsSlotCount] = {0x01800000, 0x05600000, 0x09600000,
                                                               0x0E600000};

// Reads the package at `path` into the image store and, only when that
// succeeded, fills the outputs. On failure the store and the outputs are
// untouched and `reason` (when given) holds a short text naming the section
// and the limit. Outputs that a successful load does not set again are
// cleared when they pointed into the images of an earlier load.
bool LoadFirmwarePackage(const std::string& path, ImageDesc* bootloader, ImageDesc* ext_bootloader,
                         ImageDesc* rom, ImageDesc* rom2, ImageDesc fs_slots[4],
                         std::string* reason = nullptr);

// The same load from bytes already in memory (tests, fuzzing, tools);
// `release` hears which bytes were copied into images.
bool LoadFirmwarePackageFromBytes(ByteSpan file, ImageDesc* bootloader, ImageDesc* ext_bootloader,
                                  ImageDesc* rom, ImageDesc* rom2, ImageDesc fs_slots[4],
                                  std::string* reason = nullptr, const ReleaseCopied& release = {});

// The same load into one bundle (all four FS slots walked).
bool LoadFirmwarePackage(const std::string& path, FirmwareBundle* out, std::string* reason = nullptr);

// The reason of the last failed load in this process ("" after a success).
std::string LastPackageError();

// The images of the last successful load, type 8 included. Read-only, and
// not to be read while a load runs on another thread.
const ImageStore& PackageImageStore();

}  // namespace vantrel
