// Packages that break one limit each: the load fails with a reason naming the
// section and the limit, and the outputs and the store stay as they were.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "images/records.h"
#include "link/byte_order.h"
#include "tests/pkg/pkg_test_util.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

using nlohmann::json;
using testing::MainPos;
using testing::Outputs;

pkg::BuiltPackage Small(bool multi = true) {
  pkg::SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.multiRegion = multi;
  return pkg::BuildSamplePackage(o);
}

struct Broken {
  const char* name;
  std::function<std::vector<uint8_t>()> make;
  const char* reason;  // a piece the reason must contain
};
void PrintTo(const Broken& b, std::ostream* os) { *os << b.name; }

// Section indices in the sample: 0 region, 1 ext, 2 list, 3 ROM, 4 ROM2,
// 5 type 8, 6 type 9, 7 FS.
std::vector<Broken> Cases() {
  return {
      {"truncated file",
       [] {
         auto p = Small();
         p.bytes.resize(p.sections[0].filePos + 100);
         return p.bytes;
       },
       "section 0 (bootloader region): blocks"},
      {"table without terminator",
       [] {
         auto p = Small();
         p.bytes.resize(32 + 16 * p.sections.size());
         return p.bytes;
       },
       "no terminator"},
      {"fewer than three records",
       [] {
         auto p = Small();
         std::memset(&p.bytes[32 + 16 * 2], 0xFF, 16);
         return p.bytes;
       },
       "first three are required"},
      {"image list block outside the file",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[32 + 16 * 2], 0x7FFFFFFF);
         return p.bytes;
       },
       "section 2 (image list): block 2147483647 lies outside the file"},
      {"image list outside its block's main data",
       [] {
         auto p = Small();
         PutLe16(&p.bytes[2], 1);  // 1 KiB blocks: 2 x 512 + 324 bytes do not fit
         return p.bytes;
       },
       "image list"},
      {"bootloader length past its region",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[MainPos(p.geometry, p.sections[0].filePos, 16)], 0xFFFFFFF0);
         return p.bytes;
       },
       "past the region"},
      {"bootloader header word below 128",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[MainPos(p.geometry, p.sections[0].filePos, 16)], 100);
         return p.bytes;
       },
       "below 128"},
      {"empty bootloader",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[MainPos(p.geometry, p.sections[0].filePos, 16)], 128);
         return p.bytes;
       },
       "bootloader is empty"},
      {"extended bootloader past the file",
       [] {
         auto p = Small();
         const uint64_t trailer = 512 + p.bootloader.size() + 20;
         PutLe32(&p.bytes[MainPos(p.geometry, p.sections[0].filePos, trailer)], 0xFFFFFF00);
         return p.bytes;
       },
       "section 1 (extended bootloader)"},
      {"listed image longer than its section",
       [] {
         auto p = Small();
         const uint32_t room = p.sections[3].blockCount * p.geometry.blockMainBytes;
         PutLe32(&p.bytes[MainPos(p.geometry, p.imageListPos, 2 * 512 + 16 + 4)], room + 1);
         return p.bytes;
       },
       "section 3 (type 4): listed image of"},
      {"empty listed image",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[MainPos(p.geometry, p.imageListPos, 2 * 512 + 32 + 4)], 0);
         return p.bytes;
       },
       "section 4 (type 5): listed image is empty"},
      {"more than 19 listed images",
       [] {
         json sections = json::array();
         for (int i = 0; i < 20; ++i) sections.push_back({{"type", 8}, {"size", 100}});
         return pkg::BuildPackage({{"pageSize", 512}, {"blockKiB", 16}, {"sections", sections}}).bytes;
       },
       "section 22 (type 8): more than 19 listed images"},
      {"tagModulus 0",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[p.sections[7].filePos + 4], 0);
         return p.bytes;
       },
       "section 7 (FS): tagModulus is 0"},
      {"decreasing region starts",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[p.sections[7].infoRecordPos + 396 + 8], 0x01800000 - 16384);
         return p.bytes;
       },
       "region 1 starts at 0x017FC000, below region 0's"},
      {"fifth FS image from regions",
       [] {
         pkg::SampleOptions o;
         o.pageSize = 512;
         o.blockKiB = 16;
         json d = pkg::SampleDescription(o);
         json& regions = d["sections"][4]["fs"]["regions"];
         regions.push_back({{"blocks", 1}});
         regions.push_back({{"blocks", 1}});
         regions.push_back({{"blocks", 1}});
         return pkg::BuildPackage(d).bytes;
       },
       "region 4 would be a fifth FS image"},
      {"fifth FS image from sections",
       [] {
         pkg::SampleOptions o;
         o.pageSize = 512;
         o.blockKiB = 16;
         o.fsImages = 4;
         o.multiRegion = false;
         json d = pkg::SampleDescription(o);
         d["sections"].push_back({{"type", 10}, {"fs", {{"verbatim", true}, {"version", {5, 2, 1}}}}});
         return pkg::BuildPackage(d).bytes;
       },
       "section 11 (FS): would be a fifth FS image"},
      {"disallowed type after record 2",
       [] {
         auto p = Small();
         p.bytes[32 + 16 * 3 + 11] = 6;
         return p.bytes;
       },
       "section 3: type 6 is not allowed"},
      {"countersEnd beyond one block",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[p.sections[7].filePos + 28], 16385);
         return p.bytes;
       },
       "countersEnd 16385"},
      {"verbatim image shorter than its header says",
       [] {
         // Version 5.2.1: copied as it is, so its own header is checked.
         auto p = Small(false);
         PutLe32(&p.bytes[p.sections[7].filePos + 12], 1000);  // dataBlockCount
         p.bytes[p.sections[7].infoRecordPos + 460 + 2] = 1;
         return p.bytes;
       },
       "shorter than its"},
      {"verbatim entry words past the header",
       [] {
         auto p = Small(false);
         PutLe32(&p.bytes[p.sections[7].filePos + 16], 100000);  // reservedCount
         p.bytes[p.sections[7].infoRecordPos + 460 + 2] = 1;
         return p.bytes;
       },
       "entry words reach past"},
      {"verbatim reserved pool past the table",
       [] {
         auto p = Small(false);
         PutLe32(&p.bytes[p.sections[7].filePos + 20], 7);  // poolFirstIndex: 7 + 16 > 22 entries
         p.bytes[p.sections[7].infoRecordPos + 460 + 2] = 1;
         return p.bytes;
       },
       "reserved pool"},
      {"verbatim image without an info record",
       [] {
         auto p = Small(false);
         const pkg::Geometry& g = p.geometry;
         const uint64_t info = p.sections[7].filePos + GetLe32(&p.bytes[p.sections[7].filePos]) * g.blockBytes;
         for (uint32_t n = 0; n < g.pages; ++n) p.bytes[info + n * (g.pageSize + g.spareSize) + g.pageSize + 2] = 0xFF;
         return p.bytes;
       },
       "section 7 (FS): no info record"},
      {"normal entries with tags past the eight counters",
       [] {
         pkg::SampleOptions o;
         o.pageSize = 512;
         o.blockKiB = 16;
         o.dataBlocks = 10;
         o.tagModulus = 9;  // data block 8 gets tag 8
         return pkg::BuildSamplePackage(o).bytes;
       },
       "tag 8"},
      {"info block committed outside the info area",
       [] {
         json d = pkg::SampleDescription(pkg::SampleOptions{512, 16});
         d["sections"][4]["fs"]["infoAreaLength"] = 8 * 16384;  // the pool has 16 blocks
         return pkg::BuildPackage(d).bytes;
       },
       "outside the info area"},
      {"region data past the end of the file",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[p.sections[7].infoRecordPos + 400 + 8], 0x10000000);
         return p.bytes;
       },
       "region 1's 16384 data blocks run past the end of the file"},
      {"reserved pool past 4 GiB",
       [] {
         auto p = Small();
         PutLe32(&p.bytes[p.sections[7].filePos + 16], 0x00400000);
         return p.bytes;
       },
       "run past 4 GiB"},
      {"FS images for two page sizes",
       [] {
         auto p = Small(false);
         const uint64_t header = p.sections.at(8).filePos;  // the second FS section
         p.bytes.at(header + 32) = 0x00;                    // page size 2048 (u16 LE)
         p.bytes.at(header + 33) = 0x08;
         return p.bytes;
       },
       "section 8 (FS): header geometry (2048-byte pages, 16 KiB blocks) differs from the package's"},
  };
}

// A package may carry no extended bootloader: its write sends no packets.
TEST(EmptyImages, AnEmptyExtendedBootloaderLoads) {
  json d = pkg::SampleDescription();
  d["extBootloader"]["size"] = 0;
  Outputs o{};
  std::string why;
  ASSERT_TRUE(o.Load(pkg::BuildPackage(d).bytes, &why)) << why;
  EXPECT_EQ(o.ext.length, 0u);
  EXPECT_GT(o.boot.length, 0u);
  EXPECT_GT(o.fs[0].length, 0u);
}

// The builder takes no geometry the loader refuses: one-byte pages in 64 MiB
// blocks take over 4 GiB per block in the file, past its 32-bit block size.
TEST(BuilderGeometry, RefusesABlockTheLoaderRefuses) {
  EXPECT_THROW(pkg::Geometry::Make(1, 65535), pkg::BuildError);
}

// Images no phone can hold are refused before the builder makes them (a
// near-1 GB bootloader once became a 1 GB package); the same sizes one byte
// smaller together still build.
TEST(BuilderSizes, ImagesThatDoNotFitInFrontOfTheFsRegionAreRefusedFirst) {
  const json big = {{"pageSize", 512}, {"blockKiB", 16}, {"fsRegionStart", 0x100000},
                    {"bootloader", {{"size", 999999999}}}};
  try {
    pkg::BuildPackage(big);
    ADD_FAILURE() << "built";
  } catch (const pkg::BuildError& e) {
    EXPECT_NE(std::string(e.what()).find("bootloader: 999999999 bytes do not fit"), std::string::npos) << e.what();
  }
  json rom = {{"type", 4}, {"size", 0x100000 - 24000 - 12000 - 1024}};
  json fits = {{"pageSize", 512}, {"blockKiB", 16}, {"fsRegionStart", 0x100000}, {"sections", {rom}}};
  EXPECT_NO_THROW(pkg::BuildPackage(fits));
  fits["sections"][0]["size"] = 0x100000 - 24000 - 12000 + 1;
  EXPECT_THROW(pkg::BuildPackage(fits), pkg::BuildError);
}

// A key the builder does not read is refused by its place and name: a typo
// would otherwise build a package other than the one described.
TEST(BuilderKeys, AKeyTheBuilderDoesNotReadIsRefusedByItsPlace) {
  const auto refusal = [](const json& d) -> std::string {
    try {
      pkg::BuildPackage(d);
    } catch (const pkg::BuildError& e) {
      return e.what();
    }
    return "built";
  };
  const json fs_section = {{"type", 10}, {"fs", {{"regions", {{{"blocks", 3}, {"strat", 0}}}}}}};
  EXPECT_EQ(refusal({{"sections", {fs_section}}}).rfind("sections[0].fs.regions[0]: unknown key \"strat\"", 0), 0u);
  EXPECT_EQ(refusal({{"pagesize", 512}}).rfind("description: unknown key \"pagesize\"", 0), 0u);
  const std::string beside_sample = refusal({{"sample", json::object()}, {"seed", 2}});
  EXPECT_NE(beside_sample.find("unknown key \"seed\""), std::string::npos) << beside_sample;
  EXPECT_EQ(refusal({{"sample", {{"fsImages", 1}}}}), "built");
}

class Limits : public ::testing::TestWithParam<Broken> {};

TEST_P(Limits, FailsWithAReasonAndTouchesNothing) {
  Outputs o{};
  ASSERT_TRUE(o.Load(Small().bytes));
  const Outputs before = o;
  const ImageStore& store = PackageImageStore();
  const std::size_t images = store.size();
  const uint8_t* first = store[0].bytes.data();

  const std::vector<uint8_t> bytes = GetParam().make();
  std::string why;
  EXPECT_FALSE(o.Load(bytes, &why));
  EXPECT_NE(why.find(GetParam().reason), std::string::npos) << why;
  EXPECT_EQ(LastPackageError(), why);
  EXPECT_TRUE(testing::Same(o.boot, before.boot));
  EXPECT_TRUE(testing::Same(o.ext, before.ext));
  EXPECT_TRUE(testing::Same(o.rom, before.rom));
  EXPECT_TRUE(testing::Same(o.rom2, before.rom2));
  for (int j = 0; j < 4; ++j) EXPECT_TRUE(testing::Same(o.fs[j], before.fs[j])) << j;
  EXPECT_EQ(PackageImageStore().size(), images);
  EXPECT_EQ(PackageImageStore()[0].bytes.data(), first);
}

INSTANTIATE_TEST_SUITE_P(EachOnce, Limits, ::testing::ValuesIn(Cases()), [](const auto& info) {
  std::string name;
  for (char c : std::string(info.param.name))
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  return name;
});

// Damage at random places: every load either fails with a reason or yields
// images that the FS writer can take. (The fuzzers search far wider; this
// keeps the property in the ordinary test run.)
TEST(Corruption, RandomDamageFailsCleanlyOrLoadsSoundImages) {
  const pkg::BuiltPackage good = Small();
  const NandGeometry g = MakeNandGeometry({512, 16});
  uint32_t x = 12345;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  // The interesting fields: table, bootloader region, image list, FS header
  // and info record.
  std::vector<uint64_t> hot = {0, 32, good.sections[0].filePos, good.imageListPos + 1056,
                               good.sections[7].filePos, good.sections[7].infoRecordPos + 388};
  int loaded = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> bytes = good.bytes;
    const int edits = 1 + next() % 3;
    for (int e = 0; e < edits; ++e) {
      const uint64_t at = (hot[next() % hot.size()] + next() % 96) % (bytes.size() - 4);
      const uint32_t values[] = {0, 0xFFFFFFFF, next(), next() & 0xFF, 0x80000000};
      PutLe32(&bytes[at], values[next() % 5]);
    }
    if (next() % 8 == 0) bytes.resize(next() % bytes.size());
    ImageStore store;
    std::string why;
    if (!BuildImageStore(bytes, &store, &why)) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    ++loaded;
    for (const ImageRecord& r : store) {
      if (r.type != kImageExtBootloader) {
        EXPECT_FALSE(r.bytes.empty());
      }
      if (r.type == kImageFs) {
        EXPECT_TRUE(CheckFsImage(g, r.bytes, &why)) << why;
      }
    }
  }
  EXPECT_GT(loaded, 0);  // some damage lands in bytes nobody reads
}

}  // namespace
}  // namespace vantrel::testing
