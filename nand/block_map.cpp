#include "nand/block_map.h"

#include <stdexcept>

namespace vantrel {

void BlockMappingTable::LoadEntries(std::span<const uint32_t> words, uint32_t normal_count,
                                    uint32_t reserved_count) {
  if (uint64_t(normal_count) + reserved_count > words.size())
    throw std::out_of_range("BlockMappingTable: fewer entry words than entries");
  std::vector<BlockMapEntry> normal, reserved;
  normal.reserve(normal_count);
  reserved.reserve(reserved_count);
  for (uint32_t i = 0; i < normal_count; ++i) normal.push_back(BlockMapEntry::FromWord(words[i]));
  for (uint32_t k = 0; k < reserved_count; ++k)
    reserved.push_back(BlockMapEntry::FromWord(words[size_t(normal_count) + k]));
  // Built aside first, so a failed load leaves the table as it was.
  normal_ = std::move(normal);
  reserved_ = std::move(reserved);
}

const BlockMapEntry& BlockMappingTable::At(uint32_t index) const {
  if (index < normal_.size()) return normal_[index];
  const uint64_t k = uint64_t(index) - normal_.size();
  if (k < reserved_.size()) return reserved_[k];
  throw std::out_of_range("BlockMappingTable: combined index outside the table");
}

BlockMapEntry& BlockMappingTable::At(uint32_t index) {
  return const_cast<BlockMapEntry&>(static_cast<const BlockMappingTable*>(this)->At(index));
}

size_t BlockMappingTable::FindFree(uint32_t tag, bool from_end) const {
  const size_t n = reserved_.size();
  for (size_t step = 0; step < n; ++step) {
    const size_t k = from_end ? n - 1 - step : step;
    if (reserved_[k].tag == tag && reserved_[k].used == 0) return k;
  }
  throw RunOutOfReservedBlocks();
}

uint32_t BlockMappingTable::PeekReserved(uint32_t tag) const {
  return reserved_[FindFree(tag, false)].block;
}

uint32_t BlockMappingTable::TakeReserved(uint32_t tag) {
  BlockMapEntry& e = reserved_[FindFree(tag, false)];
  e.used = 1;
  return e.block;
}

uint32_t BlockMappingTable::TakeReservedFromEnd(uint32_t tag) {
  BlockMapEntry& e = reserved_[FindFree(tag, true)];
  e.used = 1;
  return e.block;
}

uint32_t BlockMappingTable::MarkReservedBlockTaken(uint32_t block) {
  uint32_t marked = 0;
  for (BlockMapEntry& e : reserved_) {
    if (e.block == block && e.used == 0) {
      e.used = 1;
      ++marked;
    }
  }
  return marked;
}

}  // namespace vantrel
