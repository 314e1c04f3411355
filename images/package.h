#pragma once
// The firmware package file and the process-wide image store it fills.
#include <cstdint>
#include <string>

#include "images/image_desc.h"

namespace vantrel {

inline constexpr uint32_t kFsImageAddresses[4] = {0x01800000, 0x05600000, 0x09600000, 0x0E600000};

// Reads the package at `path` into the image store and, only when that
// succeeded, fills the outputs. On failure the outputs are untouched and
// `reason` (when given) holds a short text naming the section and the limit.
bool LoadFirmwarePackage(const std::string& path, ImageDesc* bootloader, ImageDesc* ext_bootloader,
                         ImageDesc* rom, ImageDesc* rom2, ImageDesc fs_slots[4],
                         std::string* reason = nullptr);

// The reason of the last failed load in this process ("" after a success).
std::string LastPackageError();

}  // namespace vantrel
