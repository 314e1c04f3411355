// Any bytes as a bootloader and as a ROM image: the parsers answer one of
// their codes and never read outside the image.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "images/records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  if (size > 0x200000) return 0;
  // An exactly sized copy: a read one past the end is caught.
  std::vector<uint8_t> bytes(data, data + size);
  const ImageDesc image{bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(size), 0};

  uint8_t record[136];
  std::memset(record, 0xA5, sizeof record);
  const int b = ParseBloaderInfo(image, record);
  if (b != 0 && b != 5028 && b != 1009) std::abort();
  if (b != 0 && record[0] != 0xA5) std::abort();  // failures leave the record alone

  uint8_t copy[352];
  const int r = ParseRomInfo(image, copy);
  if (r != 0 && r != 1 && r != 2) std::abort();
  uint32_t offset = 0, length = 0;
  const bool found = FindRomInfoRecord(image, &offset, &length);
  if (r == 0 && !found) std::abort();
  if (found && (offset >= 0x100000 || uint64_t{offset} + 13 > size)) std::abort();
  if (size) ParseDecimal(bytes.data(), static_cast<uint32_t>(size));
  return 0;
}
