#include "fake_nand.h"

#include <algorithm>

#include "nand/fs_format.h"

namespace vantrel::testing {

FakeNand::FakeNand(uint32_t page_size, uint32_t spare_size, uint32_t pages)
    : page_(page_size), spare_(spare_size), pages_(pages) {}

int FakeNand::Begin(const Command& c) {
  log.push_back(c);
  return fail ? fail(c) : 0;
}

int FakeNand::WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size,
                         uint32_t page_count, const uint8_t* main_data, const uint8_t* spare_data,
                         uint16_t checksum) {
  if (int rc = Begin({kWriteBlock, block})) return rc;
  if (page_size != page_ || spare_size != spare_ || page_count != pages_) return 4007;
  if (bad.count(block)) return 3041;
  if (XorChecksum16({main_data, MainSize()}) != checksum) return 12;
  std::vector<uint8_t>& raw = blocks_[block] = std::vector<uint8_t>(RawSize(), 0xFF);
  for (uint32_t p = 0; p < pages_; ++p) {
    std::copy_n(main_data + p * page_, page_, raw.begin() + p * (page_ + spare_));
    std::copy_n(spare_data + p * spare_, spare_, raw.begin() + p * (page_ + spare_) + page_);
  }
  return 0;
}

int FakeNand::WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages,
                         uint32_t page_size, uint32_t spare_size, uint32_t pages_per_block,
                         const uint8_t* main_data, const uint8_t* spare_data) {
  Command c{kWritePages, block};
  c.pages.assign(pages, pages + list_length);
  if (int rc = Begin(c)) return rc;
  if (page_size != page_ || spare_size != spare_ || pages_per_block != pages_) return 4007;
  if (!std::is_sorted(c.pages.begin(), c.pages.end())) return 4007;
  if (!c.pages.empty() && c.pages.back() >= pages_) return 4007;
  if (bad.count(block)) return 3041;
  std::vector<uint8_t> raw(RawSize(), 0xFF);
  for (uint32_t p : c.pages) {
    std::copy_n(main_data + p * page_, page_, raw.begin() + p * (page_ + spare_));
    std::copy_n(spare_data + p * spare_, spare_, raw.begin() + p * (page_ + spare_) + page_);
  }
  if (std::all_of(raw.begin(), raw.end(), [](uint8_t b) { return b == 0xFF; }))
    blocks_.erase(block);
  else
    blocks_[block] = std::move(raw);
  return 0;
}

int FakeNand::ReadFlash(uint32_t address, uint32_t length, uint8_t mode, uint8_t* destination,
                        uint32_t capacity) {
  Command c{kRead};
  c.address = address, c.length = length, c.mode = mode;
  if (int rc = Begin(c)) return rc;
  if (address % 2048) return 4017;
  if (length % 2048) return 4018;
  // Whole blocks only: that is all the writer asks for.
  if (address % MainSize() || length % MainSize()) return 3100;
  const uint32_t first = address / MainSize(), count = length / MainSize();
  const uint64_t unit = mode == 0 ? RawSize() : MainSize();
  if (uint64_t(count) * unit > capacity) return 3100;
  for (uint32_t b = 0; b < count; ++b) {
    const std::vector<uint8_t> raw = Raw(first + b);
    uint8_t* out = destination + b * unit;
    if (mode == 0) {
      std::copy(raw.begin(), raw.end(), out);
      continue;
    }
    for (uint32_t p = 0; p < pages_; ++p)
      std::copy_n(raw.begin() + p * (page_ + spare_), page_, out + p * page_);
  }
  return 0;
}

int FakeNand::FormatRange(uint8_t o1, uint8_t o2, uint8_t o3, uint32_t address, uint32_t length) {
  Command c{kFormat};
  c.options = {o1, o2, o3}, c.address = address, c.length = length;
  if (int rc = Begin(c)) return rc;
  const uint64_t end = uint64_t(address) + length;
  for (uint64_t b = address / MainSize(); b * MainSize() < end; ++b) blocks_.erase(uint32_t(b));
  return 0;
}

std::vector<uint8_t> FakeNand::Raw(uint32_t block) const {
  auto it = blocks_.find(block);
  return it == blocks_.end() ? std::vector<uint8_t>(RawSize(), 0xFF) : it->second;
}

void FakeNand::PutRaw(uint32_t block, std::span<const uint8_t> raw) {
  blocks_[block].assign(raw.begin(), raw.end());
}

void FakeNand::PutMain(uint32_t block, uint32_t offset, std::span<const uint8_t> bytes) {
  std::vector<uint8_t> raw = Raw(block);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const size_t at = offset + i;
    raw[(at / page_) * (page_ + spare_) + at % page_] = bytes[i];
  }
  blocks_[block] = std::move(raw);
}

size_t FakeNand::Count(Kind kind) const {
  return std::count_if(log.begin(), log.end(), [kind](const Command& c) { return c.kind == kind; });
}

std::vector<FakeNand::Command> FakeNand::Of(Kind kind) const {
  std::vector<Command> out;
  std::copy_if(log.begin(), log.end(), std::back_inserter(out),
               [kind](const Command& c) { return c.kind == kind; });
  return out;
}

}  // namespace vantrel::testing
