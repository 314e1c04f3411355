// The flash checker: a flash laid out as a download leaves it passes, and
// each way of getting it wrong is named.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/check/flash_check.h"

namespace vantrel::testing {
using namespace vantrel::flashcheck;
using namespace vantrel::sim;
namespace {

using sim::Flash;
using sim::Geometry;

void PutLe16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool Mentions(const CheckReport& r, const std::string& text) {
  for (const auto& p : r.problems) {
    if (p.find(text) != std::string::npos) return true;
  }
  return false;
}

// A small phone layout: FS region from block 64, data blocks from block 80,
// the reserved pool (and info area) at blocks 100..109.
struct Layout {
  Geometry g;
  uint32_t fsStartBlock = 64, firstHome = 80, dataBlocks = 6;
  uint32_t poolBlock = 100, reserved = 10, tagModulus = 2;
  uint32_t countersEnd = 256;
  uint8_t version[3] = {5, 2, 0};
  uint32_t bm() const { return g.blockMainBytes(); }
};

// The FS image: one header block, the info block, the data blocks.
Bytes MakeFsImage(const Layout& l) {
  const Geometry& g = l.g;
  const size_t bb = g.blockRawBytes();
  Bytes img((2 + l.dataBlocks) * bb, 0xFF);
  uint32_t words[] = {1, l.tagModulus, l.dataBlocks + l.reserved, l.dataBlocks, l.reserved,
                      l.dataBlocks, l.dataBlocks / l.tagModulus, l.countersEnd};
  for (int i = 0; i < 8; ++i) PutLe32(img, 4 * i, words[i]);
  PutLe16(img, 32, static_cast<uint16_t>(g.pageSize));
  PutLe16(img, 34, static_cast<uint16_t>(l.bm() / 1024));
  for (uint32_t i = 0; i < l.dataBlocks; ++i) PutLe32(img, 48 + 4 * i, (l.firstHome + i) << 8 | i % l.tagModulus);
  for (uint32_t i = 0; i < l.reserved; ++i) {
    PutLe32(img, 48 + 4 * (l.dataBlocks + i), (l.poolBlock + i) << 8 | i % l.tagModulus);
  }
  // Info block: table and counters in page 0 (zero), record in page 1.
  uint8_t* info = img.data() + bb;
  std::memset(info, 0, g.pageSize);
  for (uint32_t p = 0; p < 2; ++p) {
    info[p * g.pageRawBytes() + g.pageSize + 2] = 0x0F;
    info[p * g.pageRawBytes() + g.pageSize + 3] = 0x0D;
  }
  Bytes rec(512, 0);
  PutLe32(rec, 388, l.poolBlock * l.bm());
  PutLe32(rec, 392, l.reserved * l.bm());
  PutLe32(rec, 396, l.firstHome * l.bm());
  PutLe32(rec, 400, l.dataBlocks * l.bm());
  std::memcpy(&rec[460], l.version, 3);
  std::memcpy(info + g.pageRawBytes() + g.pageSize - 512, rec.data(), 512);
  // Data blocks: some with three used pages, some full.
  for (uint32_t i = 0; i < l.dataBlocks; ++i) {
    uint8_t* blk = img.data() + (2 + i) * bb;
    uint32_t used = i % 2 ? g.pagesPerBlock : 3;
    for (uint32_t p = 0; p < used; ++p) {
      uint8_t* page = blk + p * g.pageRawBytes();
      for (uint32_t k = 0; k < g.pageSize; ++k) page[k] = static_cast<uint8_t>(i * 37 + p * 11 + k);
      page[g.pageSize + 8] = static_cast<uint8_t>(i);  // spare carries data
    }
  }
  return img;
}

Bytes MakeRom(const Layout& l) {
  Bytes rom(3000, 0x33);
  std::memcpy(&rom[0x100], "MTK_ROMINFO_v6", 14);
  PutLe16(rom, 0x100 + 210, 2);
  PutLe32(rom, 0x100 + 236, l.fsStartBlock * l.bm());
  PutLe32(rom, 0x100 + 240, 100 * l.bm());
  return rom;
}

void Program(Flash& f, uint32_t block, const uint8_t* raw) {
  const Geometry& g = f.geometry();
  f.EraseBlock(block);
  for (uint32_t p = 0; p < g.pagesPerBlock; ++p) f.ProgramPage(block, p, raw + p * g.pageRawBytes(), g.pageRawBytes());
}

void Store(Flash& f, const std::string& name, uint64_t address, const Bytes& data) {
  const Geometry& g = f.geometry();
  for (size_t off = 0; off < data.size();) {
    uint64_t a = address + off;
    size_t inPage = a % g.pageSize, n = std::min<size_t>(g.pageSize - inPage, data.size() - off);
    Bytes page(g.pageRawBytes(), 0xFF);
    std::memcpy(page.data() + inPage, &data[off], n);
    f.ProgramPage(static_cast<uint32_t>(a / g.blockMainBytes()),
                  static_cast<uint32_t>(a % g.blockMainBytes() / g.pageSize), page.data(), page.size());
    off += n;
  }
  f.SetPlacement({name, address, data.size()});
}

// Writes what a correct download leaves: images, data blocks (block `badIndex`
// moved to the first reserved block of its tag) and the info block in the
// last reserved block.
struct Written {
  ExpectedFirmware fw;
  uint32_t infoBlock = 0;
};

Written WriteGoodFlash(Flash& f, const Layout& l, int badIndex = -1) {
  Written w;
  w.fw.bootloader = Bytes(5000, 0xB1);
  w.fw.extendedBootloader = Bytes(700, 0xE2);
  w.fw.romImage = MakeRom(l);
  w.fw.secondaryRomImage = Bytes(1234, 0x5E);
  w.fw.fsImages.push_back(MakeFsImage(l));
  const uint64_t bm = l.bm();
  Store(f, "rom", 2 * bm, w.fw.romImage);
  Store(f, "secondary-rom", 2 * bm + 3000 + 0x4000, w.fw.secondaryRomImage);
  Store(f, "bootloader", 16u << 20, w.fw.bootloader);
  Store(f, "extended-bootloader", (16u << 20) + bm, w.fw.extendedBootloader);
  Bytes img = w.fw.fsImages[0];
  const size_t bb = l.g.blockRawBytes();
  Bytes info(img.begin() + bb, img.begin() + 2 * bb);
  for (uint32_t i = 0; i < l.dataBlocks; ++i) {
    uint32_t physical = l.firstHome + i;
    if (static_cast<int>(i) == badIndex) {
      uint32_t tag = i % l.tagModulus;
      physical = l.poolBlock + tag;  // the first reserved block of that tag
      uint16_t t = static_cast<uint16_t>(physical - l.fsStartBlock);
      uint32_t base = l.firstHome - l.fsStartBlock;
      PutLe16(info, 2 * (base + i), t);
      PutLe16(info, l.countersEnd - 16 + 2 * tag, static_cast<uint16_t>(t + 1));
    }
    Program(f, physical, img.data() + (2 + i) * bb);
  }
  w.infoBlock = l.poolBlock + l.reserved - 1;
  Program(f, w.infoBlock, info.data());
  return w;
}

class FlashCheckBothGeometries : public ::testing::TestWithParam<Geometry> {};

TEST_P(FlashCheckBothGeometries, ACorrectDownloadPasses) {
  Layout l;
  l.g = GetParam();
  Flash f(l.g);
  Written w = WriteGoodFlash(f, l, 3);
  CheckReport r = CheckFlash(f, w.fw);
  EXPECT_TRUE(r.ok) << (r.problems.empty() ? "" : r.problems.front());
  EXPECT_NE(r.summary.find("1 remapped"), std::string::npos) << r.summary;
  EXPECT_NE(r.summary.find("info block in block " + std::to_string(w.infoBlock)), std::string::npos);
  std::string s = SummariseFlash(f);
  EXPECT_NE(s.find("ROM information record: block 2"), std::string::npos) << s;
  EXPECT_NE(s.find("FS info blocks: " + std::to_string(w.infoBlock)), std::string::npos) << s;
}

INSTANTIATE_TEST_SUITE_P(Geometries, FlashCheckBothGeometries,
                         ::testing::Values(Geometry::SmallPage(), Geometry::LargePage()),
                         [](const auto& info) { return info.param.pageSize == 512 ? "Small" : "Large"; });

TEST(FlashCheck, ADataBlockInTheWrongPlaceIsReported) {
  Layout l;
  l.g = Geometry::SmallPage();
  Flash f(l.g);
  Written w = WriteGoodFlash(f, l);
  // Block 2's data also went one block too far, and its home holds other data.
  const size_t bb = l.g.blockRawBytes();
  Program(f, l.firstHome + 2, w.fw.fsImages[0].data() + (2 + 1) * bb);
  CheckReport r = CheckFlash(f, w.fw);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(Mentions(r, "data block 2 (home 82) page 0 differs in block 82")) << r.problems.front();
}

TEST(FlashCheck, RemapWithoutTheDataAtTheReplacementIsReported) {
  Layout l;
  l.g = Geometry::LargePage();
  Flash f(l.g);
  Written w = WriteGoodFlash(f, l, 1);
  f.EraseBlock(l.poolBlock + 1);  // where data block 1 was moved
  CheckReport r = CheckFlash(f, w.fw);
  EXPECT_TRUE(Mentions(r, "data block 1 (home 81) page 0 differs in block 101"));
}

TEST(FlashCheck, ACounterNotAboveItsRemapEntryIsReported) {
  Layout l;
  l.g = Geometry::SmallPage();
  Flash f(l.g);
  Written w = WriteGoodFlash(f, l, 3);
  Bytes raw = f.ReadBlock(w.infoBlock);
  PutLe16(raw, l.countersEnd - 16 + 2 * 1, static_cast<uint16_t>(l.poolBlock + 1 - l.fsStartBlock));
  Program(f, w.infoBlock, raw.data());
  EXPECT_TRUE(Mentions(CheckFlash(f, w.fw), "counter of tag 1"));
}

TEST(FlashCheck, InfoAreaMustHoldExactlyOneInfoBlock) {
  Layout l;
  l.g = Geometry::SmallPage();
  Flash f(l.g);
  Written w = WriteGoodFlash(f, l);
  Program(f, l.poolBlock + 4, f.ReadBlock(w.infoBlock).data());  // an old one left behind
  EXPECT_TRUE(Mentions(CheckFlash(f, w.fw), "2 valid info blocks (blocks 104 109)"));
  f.EraseBlock(l.poolBlock + 4);
  f.EraseBlock(w.infoBlock);
  EXPECT_TRUE(Mentions(CheckFlash(f, w.fw), "0 valid info blocks"));
  // A block with a bad-block mark does not count, marker or not.
  Program(f, w.infoBlock, w.fw.fsImages[0].data() + l.g.blockRawBytes());
  Bytes marked(l.g.pageRawBytes(), 0xFF);
  marked[l.g.pageSize + 2] = 0x0F;
  marked[l.g.pageSize + 3] = 0x0D;
  marked[l.g.pageSize + 5] = 0x00;
  f.ProgramPage(l.poolBlock + 2, 0, marked.data(), marked.size());
  CheckReport r = CheckFlash(f, w.fw);
  EXPECT_TRUE(r.ok) << (r.problems.empty() ? "" : r.problems.front());
}

TEST(FlashCheck, ImagesAreComparedWhereTheAgentPutThem) {
  Layout l;
  l.g = Geometry::SmallPage();
  Flash f(l.g);
  Written w = WriteGoodFlash(f, l);
  w.fw.bootloader[4999] ^= 1;
  CheckReport r = CheckFlash(f, w.fw);
  EXPECT_TRUE(Mentions(r, "bootloader: differs at offset 4999"));
  w.fw.secondaryRomImage.push_back(0);
  EXPECT_TRUE(Mentions(CheckFlash(f, w.fw), "secondary ROM image: 1234 bytes stored, 1235 expected"));
  Flash empty(l.g);
  EXPECT_TRUE(Mentions(CheckFlash(empty, w.fw), "ROM image: not stored"));
  EXPECT_TRUE(Mentions(CheckFlash(empty, w.fw), "no \"MTK_ROMINFO_v\" record in device blocks 2 to 9"));
}

TEST(FlashCheck, ImagesTheHostSkipsOrCannotReadAreHandled) {
  Layout l;
  l.g = Geometry::SmallPage();
  l.version[2] = 1;  // 5.2.1: the host writes nothing
  Flash f(l.g);
  ExpectedFirmware fw;
  fw.fsImages.push_back(MakeFsImage(l));
  CheckReport r = CheckFlash(f, fw);
  EXPECT_NE(r.summary.find("not written by the host"), std::string::npos);
  fw.fsImages[0].resize(fw.fsImages[0].size() - 1);
  EXPECT_TRUE(Mentions(CheckFlash(f, fw), "its header needs"));
  fw.fsImages[0].resize(20);
  EXPECT_TRUE(Mentions(CheckFlash(f, fw), "shorter than its header"));
}

}  // namespace
}  // namespace vantrel::testing
