// libFuzzer target: the FS image header and info-block parsers, and the FS
// writer driven over them against a flash that accepts everything. Any input
// must end in a documented code, never a crash or an out-of-bounds read.
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "link/byte_order.h"
#include "nand/block_device.h"
#include "nand/fs_format.h"
#include "nand/fs_write.h"

namespace {

using namespace vantrel;

// Erased flash, except a ROM information record at the start of every block
// read as main data. Its FS region spans the whole address space, so images
// get past the ROM check and into the block writers.
class AcceptingFlash : public BlockDevice {
 public:
  int WriteBlock(uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*, const uint8_t*,
                 uint16_t) override {
    return ++writes_ % 5 == 0 ? 3041 : 0;  // some blocks go bad
  }
  int WritePages(uint32_t, uint32_t, const uint32_t*, uint32_t, uint32_t, uint32_t,
                 const uint8_t*, const uint8_t*) override {
    return ++writes_ % 7 == 0 ? 3041 : 0;
  }
  int ReadFlash(uint32_t, uint32_t length, uint8_t mode, uint8_t* out, uint32_t capacity) override {
    // Bounds a scan over a huge info area.
    if (++reads_ > 64) return 3100;
    std::memset(out, 0xFF, capacity);
    if (mode == 1 && length >= 352 && capacity >= 352) {
      std::memset(out, 0, 352);
      std::memcpy(out, "MTK_ROMINFO_v6", 14);
      PutLe16(out + 210, 2);
      PutLe32(out + 240, 0xFFFFFFFF);
      std::memcpy(out + 332, "05200001", 8);
    }
    return 0;
  }
  int FormatRange(uint8_t, uint8_t, uint8_t, uint32_t, uint32_t) override { return 0; }

 private:
  uint32_t writes_ = 0, reads_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> image(data, size);
  FsImageHeader h;
  if (ParseFsImageHeader(image, &h) != FsHeaderStatus::kOk) return 0;

  const auto info_raw = image.subspan(h.InfoBlockOffset(), h.blockBytes);
  const SplitBlock s = SplitBlockData(info_raw, h.pageSize, h.spareSize, h.pagesPerBlock);
  FsInfoRecord record{};
  if (FindInfoRecord(s, h, &record)) {
    (void)IsSameLayout(record, record);
    (void)IsSameVersion(record, record);
    (void)InfoAreaStart(record);
  }
  (void)IsBadBlock(info_raw, h.pageSize, h.spareSize);
  (void)UsedPages(s.Spare(), h.spareSize, h.pagesPerBlock);
  (void)XorChecksum16(s.Main());
  InfoBlockTables tables(s.Main(), h.countersEnd);
  for (uint32_t k = 0; k < kTagCount; ++k) (void)tables.Counter(k);

  std::set<uint32_t> pool;
  for (uint32_t i = 0; i < h.reservedCount && i < 4096; ++i)
    pool.insert(h.table.BlockAt(h.poolFirstIndex + i));
  const std::vector<uint32_t> blocks(pool.begin(), pool.end());
  (void)CoalesceRuns(blocks);

  AcceptingFlash flash;
  const ImageDesc desc{data, static_cast<uint32_t>(size), 0};
  (void)WriteFsImageOn(flash, desc, 0, 0x100000, 40);
  return 0;
}
