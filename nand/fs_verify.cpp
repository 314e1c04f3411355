#include "nand/fs_verify.h"

#include <algorithm>

#include "vantrel/codes.h"

namespace vantrel {
namespace {

// A read may fill up to one packet past the length asked for.
constexpr uint32_t kReadSlack = 4224;
constexpr uint64_t kAddressLimit = uint64_t(UINT32_MAX) + 1;

// FNV-1a, 64 bits: a page that reads back different gets another digest
// with a chance of about 2^-64 of a miss.
uint64_t Digest(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

uint64_t ErasedDigest(uint32_t n) {
  const std::vector<uint8_t> erased(n, 0xFF);
  return Digest(erased.data(), erased.size());
}

// A block of `pages` pages that reads back erased.
WrittenBlock ErasedBlock(uint32_t fs_image, uint32_t page_size, uint32_t spare_size, uint32_t pages) {
  WrittenBlock w;
  w.fsImage = fs_image;
  w.pageSize = page_size;
  w.spareSize = spare_size;
  w.mainDigest.assign(pages, ErasedDigest(page_size));
  w.spareDigest.assign(pages, ErasedDigest(spare_size));
  return w;
}

void SetPage(WrittenBlock& w, uint32_t page, const uint8_t* main_data, const uint8_t* spare_data) {
  w.mainDigest[page] = Digest(main_data + uint64_t(page) * w.pageSize, w.pageSize);
  w.spareDigest[page] = Digest(spare_data + uint64_t(page) * w.spareSize, w.spareSize);
}

}  // namespace

void WriteLog::EndImage() {
  auto it = blocks_.find(last_);
  if (it != blocks_.end() && it->second.fsImage == image_) it->second.infoBlock = true;
}

int WriteLog::WriteBlock(uint32_t block, uint32_t page_size, uint32_t spare_size, uint32_t page_count,
                         const uint8_t* main_data, const uint8_t* spare_data, uint16_t checksum) {
  const int rc = inner_.WriteBlock(block, page_size, spare_size, page_count, main_data, spare_data, checksum);
  if (rc != 0) return rc;
  WrittenBlock w = ErasedBlock(image_, page_size, spare_size, page_count);
  for (uint32_t p = 0; p < page_count; ++p) SetPage(w, p, main_data, spare_data);
  blocks_[block] = std::move(w);
  last_ = block;
  return rc;
}

int WriteLog::WritePages(uint32_t block, uint32_t list_length, const uint32_t* pages, uint32_t page_size,
                         uint32_t spare_size, uint32_t pages_per_block, const uint8_t* main_data,
                         const uint8_t* spare_data) {
  const int rc = inner_.WritePages(block, list_length, pages, page_size, spare_size, pages_per_block, main_data,
                                   spare_data);
  if (rc != 0) return rc;
  // The agent erases the block before it programs the pages listed.
  WrittenBlock w = ErasedBlock(image_, page_size, spare_size, pages_per_block);
  for (uint32_t i = 0; i < list_length; ++i)
    if (pages[i] < pages_per_block) SetPage(w, pages[i], main_data, spare_data);
  blocks_[block] = std::move(w);
  last_ = block;
  return rc;
}

int WriteLog::FormatRange(uint8_t option1, uint8_t option2, uint8_t option3, uint32_t address,
                          uint32_t length) {
  const int rc = inner_.FormatRange(option1, option2, option3, address, length);
  // What the writer erased it no longer expects to find (even after a failed
  // erase, which fails the download anyway).
  const uint64_t end = uint64_t(address) + length;
  for (auto it = blocks_.begin(); it != blocks_.end();) {
    const uint64_t first = uint64_t(it->first) * it->second.MainBytes();
    const bool hit = first < end && first + it->second.MainBytes() > address;
    it = hit ? blocks_.erase(it) : std::next(it);
  }
  return rc;
}

namespace {

// The first page of a block read back with spare that differs from `w`, with
// which half differs; false when none does.
bool FirstDifference(const WrittenBlock& w, const uint8_t* raw, uint32_t* page, bool* in_spare) {
  const uint64_t step = uint64_t(w.pageSize) + w.spareSize;
  for (uint32_t p = 0; p < w.mainDigest.size(); ++p) {
    const uint8_t* at = raw + p * step;
    *page = p;
    *in_spare = false;
    if (Digest(at, w.pageSize) != w.mainDigest[p]) return true;
    *in_spare = true;
    if (Digest(at + w.pageSize, w.spareSize) != w.spareDigest[p]) return true;
  }
  return false;
}

}  // namespace

int VerifyWrittenBlocks(BlockDevice& device, const WriteLog& log) {
  Channel& ch = device.channel();
  StageEvent progress{kStageVerify, 0, static_cast<uint32_t>(log.blocks().size())};
  std::vector<uint8_t> buffer;
  for (const auto& [block, w] : log.blocks()) {
    const char* what = w.infoBlock ? "the info block" : "data";
    if (ch.cancelled())
      return ch.Fail(kCancelled, "verify: cancelled before block %u; every image was written", block);
    ch.Event(progress);
    const uint64_t address = uint64_t(block) * w.MainBytes();
    if (address + w.MainBytes() > kAddressLimit)
      return ch.Fail(kReadFlashFailed, "verify: FS image %u: block %u lies past 4 GiB", w.fsImage, block);
    buffer.resize(w.mainDigest.size() * (uint64_t(w.pageSize) + w.spareSize) + kReadSlack);
    if (int rc = device.ReadFlash(static_cast<uint32_t>(address), static_cast<uint32_t>(w.MainBytes()), 0,
                                  buffer.data(), static_cast<uint32_t>(buffer.size()))) {
      if (rc == kCancelled)
        return ch.Fail(kCancelled, "verify: cancelled in block %u; every image was written", block);
      return ch.Fail(rc, "verify: FS image %u: the read of %s in block %u failed (agent code %d)", w.fsImage, what,
                     block, rc);
    }
    uint32_t page = 0;
    bool in_spare = false;
    if (FirstDifference(w, buffer.data(), &page, &in_spare))
      return ch.Fail(kVerifyMismatch,
                     "verify: FS image %u: %s in block %u reads back different from what was written, first "
                     "at page %u (%s)",
                     w.fsImage, what, block, page, in_spare ? "spare bytes" : "main data");
    ++progress.done;
  }
  return kOk;
}

}  // namespace vantrel
