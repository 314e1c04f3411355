#include "images/fs_write_layout.h"

#include <cstdio>

#include "images/fs_layout.h"

namespace vantrel {
namespace {

bool Refuse(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

}  // namespace

bool InfoAreaScansBlock(uint32_t area_start, uint32_t area_length, uint32_t block_main_size,
                        uint32_t block) {
  const uint64_t l = block_main_size;
  if (l == 0) return false;
  const uint64_t end = uint64_t(area_start) + area_length;
  const uint64_t address = uint64_t(block) * l;
  // The scan reads A + N - L, A + N - 2L, ... down to A, and only addresses
  // whose block fits the 32-bit flash address space.
  return address >= area_start && address + l <= end && (end - address) % l == 0 &&
         address + l <= (uint64_t(1) << 32);
}

bool CheckFsWriteLayout(std::span<const uint8_t> image, uint32_t block_main_size,
                        const uint8_t* record, std::string* why) {
  const FsHeaderView v(image.data());
  const uint64_t n = v.DataBlockCount();
  const uint64_t r = v.ReservedCount();
  const uint8_t* words = image.data() + kFsHeaderFixedBytes;
  char text[200];
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t tag = FsEntryTag(GetLe32(words + kFsEntryBytes * i));
    if (tag >= kTagCount) {
      std::snprintf(text, sizeof text,
                    "data block %llu has tag %u; only tags 0 to 7 have a counter to record a "
                    "replacement",
                    static_cast<unsigned long long>(i), tag);
      return Refuse(why, text);
    }
  }
  const FsInfoRecordView rec(record);
  bool any = false;
  for (uint64_t k = 0; k < r; ++k) {
    const uint32_t word = GetLe32(words + kFsEntryBytes * (n + k));
    if (FsEntryTag(word) != 0) continue;
    any = true;
    const uint32_t block = FsEntryBlock(word);
    if (!InfoAreaScansBlock(rec.AreaStart(), rec.AreaLength(), block_main_size, block)) {
      std::snprintf(text, sizeof text,
                    "reserved block %u (tag 0) may receive the info block but lies outside the "
                    "info area 0x%08X + 0x%X that the next download searches",
                    block, rec.AreaStart(), rec.AreaLength());
      return Refuse(why, text);
    }
  }
  if (!any) return Refuse(why, "no reserved block of tag 0 to write the info block to");
  return true;
}

}  // namespace vantrel
