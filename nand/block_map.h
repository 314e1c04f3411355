#pragma once
// Where each block of a file-system image goes on the NAND flash, and which
// spare ("reserved") blocks may stand in for blocks that go bad while the
// image is written. Pure bookkeeping: no I/O.
#include <cstdint>
#include <exception>
#include <span>
#include <vector>

#include "images/fs_layout.h"

namespace vantrel {

// One entry word of an FS image header: (block << 8) | tag.
struct BlockMapEntry {
  uint32_t tag = 0;    // 0..255; a reserved entry only replaces blocks of its tag
  uint32_t block = 0;  // 0..16777215
  uint32_t used = 0;   // 1 once a reserved entry has been handed out

  static BlockMapEntry FromWord(uint32_t word) { return {FsEntryTag(word), FsEntryBlock(word), 0}; }
};

// Two lists addressed by one combined index: [0, n) is the normal list (entry
// i is the home block of data block i), [n, n + r) the reserved list. Copies
// are independent (the FS write always works on a copy of the header's table).
class BlockMappingTable {
 public:
  class RunOutOfReservedBlocks : public std::exception {
   public:
    const char* what() const noexcept override { return "Run out of reserved blocks"; }
  };

  // Replaces both lists: words[0, n) become the normal list, words[n, n + r)
  // the reserved list. Throws std::out_of_range when `words` is too short.
  void LoadEntries(std::span<const uint32_t> words, uint32_t normal_count, uint32_t reserved_count);

  // Combined-index access. An index at or past size() throws std::out_of_range;
  // callers never form one, but a bad index must not read outside the lists.
  uint32_t BlockAt(uint32_t index) const { return At(index).block; }
  uint32_t TagAt(uint32_t index) const { return At(index).tag; }
  void SetBlock(uint32_t index, uint32_t block) { At(index).block = block; }

  // The first free reserved entry of `tag`, front to back; changes nothing.
  uint32_t PeekReserved(uint32_t tag) const;
  // As PeekReserved, and the entry is marked used.
  uint32_t TakeReserved(uint32_t tag);
  // As TakeReserved, searching back to front.
  uint32_t TakeReservedFromEnd(uint32_t tag);
  // Marks every free reserved entry (any tag) that names `block` as used, so
  // that no search hands it out; returns how many were marked. The FS write
  // uses it to keep the block holding the phone's current info block out of
  // the replacements.
  uint32_t MarkReservedBlockTaken(uint32_t block);

  uint32_t NormalCount() const { return static_cast<uint32_t>(normal_.size()); }
  uint32_t ReservedCount() const { return static_cast<uint32_t>(reserved_.size()); }
  uint64_t size() const { return uint64_t(normal_.size()) + reserved_.size(); }
  const std::vector<BlockMapEntry>& Normal() const { return normal_; }
  const std::vector<BlockMapEntry>& Reserved() const { return reserved_; }

 private:
  const BlockMapEntry& At(uint32_t index) const;
  BlockMapEntry& At(uint32_t index);
  // Index into reserved_ of the first free entry with `tag` (searched from the
  // back when `from_end`); throws RunOutOfReservedBlocks when there is none.
  size_t FindFree(uint32_t tag, bool from_end) const;

  std::vector<BlockMapEntry> normal_;
  std::vector<BlockMapEntry> reserved_;
};

}  // namespace vantrel
