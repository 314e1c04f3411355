#pragma once
// The simulated phone's NAND flash: a sparse array of blocks, each block its
// pages in order with every page's main data followed by its spare bytes.
// Blocks that are erased cost no memory. Thread-safe: one Flash may be shared
// (std::shared_ptr) by several Phone instances in turn and read by tests
// while a phone runs.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vantrel::sim {

using Bytes = std::vector<uint8_t>;

struct Geometry {
  uint32_t pageSize = 2048;     // main bytes per page: 512 or 2048
  uint32_t spareSize = 64;      // 16 for 512-byte pages, 64 for 2048-byte pages
  uint32_t pagesPerBlock = 64;  // 32 (16 KiB blocks) or 64 (128 KiB blocks)
  uint32_t blockCount = 2048;

  uint32_t pageRawBytes() const { return pageSize + spareSize; }
  uint32_t blockMainBytes() const { return pageSize * pagesPerBlock; }
  uint32_t blockRawBytes() const { return pageRawBytes() * pagesPerBlock; }
  uint64_t mainBytes() const { return uint64_t{blockMainBytes()} * blockCount; }
  bool Valid() const;

  // 512 + 16 byte pages, 32 pages per 16 KiB block.
  static Geometry SmallPage(uint64_t mainBytes = 256ull << 20);
  // 2048 + 64 byte pages, 64 pages per 128 KiB block.
  static Geometry LargePage(uint64_t mainBytes = 256ull << 20);
};

// Where the agent stored a whole image (bootloader, ROM image, ...), in bytes
// of main data. Kept with the flash and in its state file so that a checker
// can find the images again.
struct Placement {
  std::string name;
  uint64_t address = 0;
  uint64_t length = 0;
};

class Flash {
 public:
  explicit Flash(Geometry g = Geometry::LargePage());

  const Geometry& geometry() const { return geo_; }

  // Erase sets every byte of the block, spare included, to 0xFF. A factory-bad
  // block keeps its marks and the call returns false; so does a block number
  // beyond the flash. Every call on a valid block counts as one operation.
  bool EraseBlock(uint32_t block);
  // Programming clears bits only (new = old AND data), as NAND does; `raw` is
  // main data followed by spare, at most pageRawBytes() (missing bytes stay).
  // Refused (false, no operation counted) for factory-bad blocks and bad
  // numbers.
  bool ProgramPage(uint32_t block, uint32_t page, const uint8_t* raw, size_t n);

  Bytes ReadPage(uint32_t block, uint32_t page) const;  // main + spare
  Bytes ReadBlock(uint32_t block) const;                // raw pages with spare
  // Main data only, `len` bytes from a main-data byte address; bytes beyond
  // the flash read as 0xFF.
  Bytes ReadMain(uint64_t address, uint64_t len) const;
  bool IsErased(uint32_t block) const;  // holds no programmed byte at all
  std::vector<uint32_t> UsedBlocks() const;  // blocks holding anything, ascending

  // Factory-bad blocks carry the marks the host's bad-block test reads: with
  // 512-byte pages spare byte 5 of pages 0 and 1 is 0x00; with 2048-byte pages
  // spare bytes 0 and 1 of pages 0 and 1 are 0x00.
  void MarkFactoryBad(uint32_t block);
  bool IsFactoryBad(uint32_t block) const;
  std::set<uint32_t> FactoryBadBlocks() const;
  // A failing block erases and reads normally, but the agent refuses to write
  // it (the host then replaces it).
  void SetFailing(uint32_t block, bool failing = true);
  bool IsFailing(uint32_t block) const;
  std::set<uint32_t> FailingBlocks() const;

  uint64_t OpCount() const;  // erase and program operations since creation

  void SetPlacement(const Placement& p);  // replaces one of the same name
  std::vector<Placement> Placements() const;
  bool FindPlacement(const std::string& name, Placement* out) const;

  // State file: geometry, bad and failing blocks, placements, operation count
  // and every non-erased block. Load replaces this flash's whole state.
  bool Save(const std::string& path, std::string* error = nullptr) const;
  bool Load(const std::string& path, std::string* error = nullptr);
  // A flash built from a state file, or nullptr (error says why).
  static std::shared_ptr<Flash> FromFile(const std::string& path, std::string* error = nullptr);

 private:
  Bytes& BlockLocked(uint32_t block);  // materialises an erased block
  void WriteBadMarksLocked(uint32_t block);

  mutable std::mutex mu_;
  Geometry geo_;
  std::map<uint32_t, Bytes> blocks_;
  std::set<uint32_t> factoryBad_;
  std::set<uint32_t> failing_;
  std::vector<Placement> placements_;
  uint64_t ops_ = 0;
};

}  // namespace vantrel::sim
