// The sparse NAND model and its state file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/flash.h"

namespace vantrel::testing {
using namespace vantrel::sim;
namespace {

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "/" + name + std::to_string(::getpid());
}

TEST(SimFlash, GeometriesOfBothPageSizes) {
  Geometry s = Geometry::SmallPage();
  EXPECT_EQ(s.blockRawBytes(), 16896u);
  EXPECT_EQ(s.blockMainBytes(), 16384u);
  EXPECT_EQ(s.mainBytes(), 256ull << 20);
  Geometry l = Geometry::LargePage();
  EXPECT_EQ(l.blockRawBytes(), 135168u);
  EXPECT_EQ(l.blockCount, 2048u);
  EXPECT_FALSE((Geometry{1024, 32, 64, 10}.Valid()));
}

TEST(SimFlash, ErasedBlocksCostNothingAndReadAsFF) {
  Flash f(Geometry::LargePage(1ull << 30));
  EXPECT_TRUE(f.IsErased(4000));
  EXPECT_EQ(f.ReadPage(4000, 3), Bytes(2112, 0xFF));
  EXPECT_TRUE(f.UsedBlocks().empty());
}

TEST(SimFlash, ProgramClearsBitsOnlyAndEraseRestores) {
  Flash f(Geometry::SmallPage());
  Bytes a(528, 0xF0), b(528, 0x3C);
  ASSERT_TRUE(f.ProgramPage(5, 1, a.data(), a.size()));
  ASSERT_TRUE(f.ProgramPage(5, 1, b.data(), b.size()));
  EXPECT_EQ(f.ReadPage(5, 1), Bytes(528, 0x30));
  EXPECT_EQ(f.UsedBlocks(), (std::vector<uint32_t>{5}));
  uint64_t before = f.OpCount();
  EXPECT_TRUE(f.EraseBlock(5));
  EXPECT_TRUE(f.IsErased(5));
  EXPECT_EQ(f.OpCount(), before + 1);
  EXPECT_FALSE(f.EraseBlock(f.geometry().blockCount));  // beyond the flash
  EXPECT_FALSE(f.ProgramPage(5, 32, a.data(), a.size()));  // no such page
}

TEST(SimFlash, ReadMainSkipsSpareBytesAcrossPagesAndBlocks) {
  Geometry g = Geometry::SmallPage();
  Flash f(g);
  Bytes page(528, 0xFF);
  for (int i = 0; i < 512; ++i) page[i] = static_cast<uint8_t>(i);
  page[512] = 0x00;  // spare byte, must not show in main data
  f.ProgramPage(0, 31, page.data(), page.size());
  f.ProgramPage(1, 0, page.data(), page.size());
  Bytes m = f.ReadMain(31 * 512 + 510, 4);
  EXPECT_EQ(m, (Bytes{0xFE, 0xFF, 0x00, 0x01}));
}

TEST(SimFlash, FactoryBadBlocksKeepTheirMarksAndRefuseWork) {
  for (Geometry g : {Geometry::SmallPage(), Geometry::LargePage()}) {
    Flash f(g);
    f.MarkFactoryBad(9);
    EXPECT_FALSE(f.EraseBlock(9));
    Bytes zeros(g.pageRawBytes(), 0);
    EXPECT_FALSE(f.ProgramPage(9, 5, zeros.data(), zeros.size()));
    Bytes raw = f.ReadBlock(9);
    size_t spare0 = g.pageSize, spare1 = g.pageRawBytes() + g.pageSize;
    if (g.pageSize == 512) {
      EXPECT_EQ(raw[spare0 + 5], 0);
      EXPECT_EQ(raw[spare1 + 5], 0);
      EXPECT_EQ(raw[spare0 + 4], 0xFF);
    } else {
      EXPECT_EQ(raw[spare0], 0);
      EXPECT_EQ(raw[spare0 + 1], 0);
      EXPECT_EQ(raw[spare1], 0);
      EXPECT_EQ(raw[spare1 + 1], 0);
      EXPECT_EQ(raw[spare0 + 2], 0xFF);
    }
  }
}

TEST(SimFlash, StateFileRoundTripKeepsEverything) {
  Flash f(Geometry::SmallPage());
  Bytes page(528);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 3);
  f.ProgramPage(1234, 17, page.data(), page.size());
  f.MarkFactoryBad(77);
  f.SetFailing(78);
  f.SetPlacement({"rom", 32768, 1000});
  std::string path = TempPath("flash_state");
  std::string err;
  ASSERT_TRUE(f.Save(path, &err)) << err;
  auto g = Flash::FromFile(path, &err);
  ASSERT_TRUE(g) << err;
  EXPECT_EQ(g->geometry().pageSize, 512u);
  EXPECT_EQ(g->ReadPage(1234, 17), page);
  EXPECT_EQ(g->ReadBlock(77), f.ReadBlock(77));
  EXPECT_TRUE(g->IsFactoryBad(77));
  EXPECT_TRUE(g->IsFailing(78));
  EXPECT_EQ(g->OpCount(), f.OpCount());
  Placement p;
  ASSERT_TRUE(g->FindPlacement("rom", &p));
  EXPECT_EQ(p.address, 32768u);
  EXPECT_EQ(p.length, 1000u);
  EXPECT_EQ(g->UsedBlocks(), f.UsedBlocks());
  std::remove(path.c_str());
}

TEST(SimFlash, DamagedStateFilesAreRefusedWithoutTouchingTheFlash) {
  Flash f(Geometry::SmallPage());
  Bytes page(528, 0x11);
  f.ProgramPage(3, 0, page.data(), page.size());
  std::string path = TempPath("flash_damaged");
  ASSERT_TRUE(f.Save(path));
  std::ifstream in(path, std::ios::binary);
  Bytes whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  Flash target(Geometry::LargePage());
  Bytes mark(2112, 0);
  target.ProgramPage(1, 0, mark.data(), mark.size());
  for (size_t cut : {size_t{0}, size_t{7}, size_t{30}, whole.size() - 1}) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(cut));
    out.close();
    std::string err;
    EXPECT_FALSE(target.Load(path, &err)) << "cut at " << cut;
    EXPECT_FALSE(err.empty());
  }
  // A block number beyond the flash.
  Bytes bad = whole;
  bad[bad.size() - 16896 - 4] = 0xFF;
  bad[bad.size() - 16896 - 1] = 0x7F;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bad.data()), static_cast<std::streamsize>(bad.size()));
  EXPECT_FALSE(target.Load(path));
  EXPECT_EQ(target.geometry().pageSize, 2048u);
  EXPECT_EQ(target.ReadPage(1, 0), mark);
  EXPECT_FALSE(target.Load(path + ".missing"));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vantrel::testing
