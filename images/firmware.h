#pragma once
// The firmware a download writes, in one value: every image the package
// gave. Descriptors only; the bytes belong to the process-wide image store.
#include <array>
#include <cstdint>

#include "images/image_desc.h"

namespace vantrel {

inline constexpr uint32_t kFsSlotCount = 4;

struct FirmwareBundle {
  ImageDesc bootloader, extBootloader, rom, rom2;
  std::array<ImageDesc, kFsSlotCount> fs{};
  uint32_t fsCount = kFsSlotCount;  // slots the plan walks; empty ones are skipped
};

}  // namespace vantrel
