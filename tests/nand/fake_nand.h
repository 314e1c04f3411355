#pragma once
// An in-memory NAND behind the block-command interface: it keeps written
// blocks (so a second download finds the first one's info block), answers
// 3041 for blocks marked bad, erases a block before writing it (as the agent
// does), checks what a real agent would check, and records every command.
#include <array>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "nand/block_device.h"

namespace vantrel::testing {

class FakeNand : public BlockDevice {
 public:
  enum Kind { kWriteBlock, kWritePages, kRead, kFormat };
  struct Command {
    Command(Kind k, uint32_t b = 0) : kind(k), block(b) {}
    Kind kind;
    uint32_t block;  // writes
    uint32_t address = 0, length = 0;
    uint8_t mode = 0;                  // reads
    std::array<uint8_t, 3> options{};  // format
    std::vector<uint32_t> pages;       // page writes
  };

  FakeNand(uint32_t page_size, uint32_t spare_size, uint32_t pages);

  int WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size, uint32_t page_count,
                 const uint8_t* main_data, const uint8_t* spare_data, uint16_t checksum) override;
  int WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages, uint32_t page_size,
                 uint32_t spare_size, uint32_t pages_per_block, const uint8_t* main_data,
                 const uint8_t* spare_data) override;
  int ReadFlash(uint32_t address, uint32_t length, uint8_t mode, uint8_t* destination,
                uint32_t capacity) override;
  int FormatRange(uint8_t o1, uint8_t o2, uint8_t o3, uint32_t address, uint32_t length) override;

  // The block as stored: pages of main + spare; all 0xFF when erased.
  std::vector<uint8_t> Raw(uint32_t block) const;
  void PutRaw(uint32_t block, std::span<const uint8_t> raw);
  // Places bytes into a block's main data (the ROM image's record).
  void PutMain(uint32_t block, uint32_t offset, std::span<const uint8_t> bytes);
  bool Erased(uint32_t block) const { return blocks_.count(block) == 0; }
  size_t Count(Kind kind) const;
  std::vector<Command> Of(Kind kind) const;

  uint32_t MainSize() const { return page_ * pages_; }
  uint32_t RawSize() const { return (page_ + spare_) * pages_; }

  std::vector<Command> log;
  std::set<uint32_t> bad;  // every write to these answers 3041
  // Called for each command after it is logged; a non-zero answer is
  // returned instead of carrying the command out.
  std::function<int(const Command&)> fail;

 private:
  int Begin(const Command& c);
  uint32_t page_, spare_, pages_;
  std::map<uint32_t, std::vector<uint8_t>> blocks_;
};

}  // namespace vantrel::testing
