#pragma once
// Verify after an FS download: what the FS writes put on the flash is kept,
// block by block, as it went out (a digest of each page's main and spare
// bytes, never the data itself), and read back at the end to be compared.
// A block write erases the block first, so a page the write did not send
// must read back erased (all 0xFF); a block the writer erased later (the old
// info block, the FS range) is no longer expected to hold anything.
#include <cstdint>
#include <map>
#include <vector>

#include "nand/block_device.h"

namespace vantrel {

// What one block must read back as.
struct WrittenBlock {
  uint32_t fsImage = 0;  // from 1
  bool infoBlock = false;
  uint32_t pageSize = 0, spareSize = 0;
  // Two digests per page: main data, spare bytes.
  std::vector<uint64_t> mainDigest, spareDigest;
  uint64_t MainBytes() const { return uint64_t(pageSize) * mainDigest.size(); }
};

// A block device in front of another that records every write it accepted.
class WriteLog final : public BlockDevice {
 public:
  explicit WriteLog(BlockDevice& inner) : BlockDevice(&inner.channel()), inner_(inner) {}

  // The FS image whose writes follow (from 1).
  void BeginImage(uint32_t fs_image) { image_ = fs_image; }
  // The image has been committed: its last write was its info block (the
  // writer commits the info block last, and only erases after it).
  void EndImage();
  const std::map<uint32_t, WrittenBlock>& blocks() const { return blocks_; }

  int WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size, uint32_t page_count,
                 const uint8_t* main_data, const uint8_t* spare_data, uint16_t checksum) override;
  int WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages, uint32_t page_size,
                 uint32_t spare_size, uint32_t pages_per_block, const uint8_t* main_data,
                 const uint8_t* spare_data) override;
  int ReadFlash(uint32_t address, uint32_t length, uint8_t mode, uint8_t* destination,
                uint32_t capacity) override {
    return inner_.ReadFlash(address, length, mode, destination, capacity);
  }
  int FormatRange(uint8_t option1, uint8_t option2, uint8_t option3, uint32_t address,
                  uint32_t length) override;

 private:
  BlockDevice& inner_;
  uint32_t image_ = 0;
  uint32_t last_ = UINT32_MAX;  // the block of the last write accepted
  std::map<uint32_t, WrittenBlock> blocks_;
};

// Reads every block of the log back (main and spare, mode 0) in block order
// and compares it page by page. Events: kStageVerify, `done` of `total`
// blocks; cancellable between blocks. 0, 1034 with the image, block and
// first differing page in the detail, 1031, or a read's code.
int VerifyWrittenBlocks(BlockDevice& device, const WriteLog& log);

}  // namespace vantrel
