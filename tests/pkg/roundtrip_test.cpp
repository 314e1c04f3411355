// Build → load → compare: the loader cuts out exactly the images the builder
// computed from its description.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include "link/byte_order.h"
#include "tests/pkg/pkg_test_util.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

using nlohmann::json;
using testing::Bytes;
using testing::Outputs;

// The process-wide store holds the expected images, in order and type.
void ExpectStoreIs(const pkg::BuiltPackage& p) {
  const ImageStore& store = PackageImageStore();
  ASSERT_EQ(store.size(), p.store.size());
  for (std::size_t i = 0; i < store.size(); ++i) {
    EXPECT_EQ(store[i].type, p.store[i].type) << "image " << i;
    EXPECT_TRUE(store[i].bytes == p.store[i].bytes) << "image " << i << " type " << p.store[i].type;
  }
}

void ExpectOutputsAre(const Outputs& o, const pkg::BuiltPackage& p) {
  EXPECT_TRUE(Bytes(o.boot) == p.bootloader);
  EXPECT_TRUE(Bytes(o.ext) == p.extBootloader);
  EXPECT_TRUE(Bytes(o.rom) == p.rom);
  EXPECT_TRUE(Bytes(o.rom2) == p.rom2);
  EXPECT_EQ(o.boot.address, 0u);
  EXPECT_EQ(o.ext.address, 0u);
  EXPECT_EQ(o.rom.address, 0u);
  EXPECT_EQ(o.rom2.address, 0x4000u);
  for (std::size_t j = 0; j < p.fsImages.size(); ++j) {
    EXPECT_TRUE(Bytes(o.fs[j]) == p.fsImages[j]) << "FS slot " << j;
    EXPECT_EQ(o.fs[j].address, kFsImageAddresses[j]) << "FS slot " << j;
  }
}

struct Layout {
  uint32_t pageSize, blockKiB;
  bool multiRegion;
};

class SampleRoundTrip : public ::testing::TestWithParam<Layout> {};

TEST_P(SampleRoundTrip, EveryImageByteForByte) {
  pkg::SampleOptions o;
  o.pageSize = GetParam().pageSize;
  o.blockKiB = GetParam().blockKiB;
  o.multiRegion = GetParam().multiRegion;
  o.fsImages = 3;
  o.dataBlocks = 7;
  pkg::BuiltPackage p = pkg::BuildSamplePackage(o);
  ASSERT_EQ(p.fsImages.size(), 3u);
  Outputs out{};
  std::string why;
  ASSERT_TRUE(out.Load(p.bytes, &why)) << why;
  EXPECT_EQ(LastPackageError(), "");
  ExpectStoreIs(p);
  ExpectOutputsAre(out, p);
  EXPECT_TRUE(out.fs[3].empty());  // no fourth image: the slot stays as it was
  // Type 8 is in the store and in no output.
  EXPECT_EQ(PackageImageStore()[4].type, 8);
}

INSTANTIATE_TEST_SUITE_P(Geometries, SampleRoundTrip,
                         ::testing::Values(Layout{512, 16, true}, Layout{512, 16, false},
                                           Layout{2048, 128, true}, Layout{2048, 128, false}),
                         [](const auto& info) {
                           return std::to_string(info.param.pageSize) +
                                  (info.param.multiRegion ? "Split" : "Verbatim");
                         });

TEST(RoundTrip, LoadFromAFile) {
  pkg::BuiltPackage p = pkg::BuildSamplePackage();
  const auto path = std::filesystem::temp_directory_path() /
                    ("vantrel-roundtrip-" + std::to_string(getpid()) + ".pkg");
  pkg::WriteFile(path, p.bytes);
  Outputs o{};
  std::string why;
  EXPECT_TRUE(LoadFirmwarePackage(path.string(), &o.boot, &o.ext, &o.rom, &o.rom2, o.fs, &why)) << why;
  ExpectOutputsAre(o, p);
  std::filesystem::remove(path);

  Outputs kept = o;
  EXPECT_FALSE(LoadFirmwarePackage(path.string(), &o.boot, &o.ext, &o.rom, &o.rom2, o.fs, &why));
  EXPECT_NE(why.find("cannot open"), std::string::npos) << why;
  EXPECT_TRUE(testing::Same(o.boot, kept.boot));
}

// The load tells which file bytes it copied, in steps, so that a mapped file
// can give them back as the copy goes; what it builds is the same either way.
TEST(RoundTrip, CopiedBytesAreReleasedInStepsAndTheImagesStayTheSame) {
  for (bool multi : {true, false}) {
    pkg::SampleOptions o;  // 2048-byte pages in 128 KiB blocks
    o.multiRegion = multi;
    o.fsImages = 2;
    o.dataBlocks = 40;  // 5.4 MB of file bytes per FS image: more than one step
    const NandGeometry g = MakeNandGeometry({2048, 128});
    const pkg::BuiltPackage p = pkg::BuildSamplePackage(o);
    std::vector<std::pair<uint64_t, uint64_t>> released;
    ImageStore plain, stepped;
    std::string why;
    ASSERT_TRUE(BuildImageStore(p.bytes, &plain, &why)) << why;
    ASSERT_TRUE(BuildImageStore(p.bytes, &stepped, &why, nullptr,
                                [&](uint64_t pos, uint64_t n) { released.push_back({pos, n}); }))
        << why;
    ASSERT_EQ(stepped.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i)
      EXPECT_TRUE(stepped[i].bytes == plain[i].bytes) << "image " << i << (multi ? " split" : " verbatim");
    uint64_t total = 0;
    for (const auto& [pos, n] : released) {
      EXPECT_TRUE(n > 0 && RangeInFile(pos, n, p.bytes.size())) << pos << " + " << n;
      EXPECT_LE(n, kReleaseStep + g.rawPageBytes()) << "a step ends at the page after 4 MiB at the latest";
      total += n;
    }
    uint64_t fs_bytes = 0;
    for (const auto& fs : p.fsImages) fs_bytes += fs.size();
    EXPECT_GE(total, fs_bytes - 2 * o.fsImages * g.blockBytes) << "the FS images' info and data blocks";
  }
}

// Twelve listed images (entries 10 to 12 sit 4 bytes further on) with
// sections of types 9, 10 and 200 among them, which take no entry.
TEST(RoundTrip, ListedImagesTakeTheirEntriesInOrder) {
  json sections = json::array();
  for (int i = 0; i < 12; ++i) {
    const int type = i == 0 ? 4 : i == 1 ? 5 : i == 6 ? 4 : 8;
    sections.push_back({{"type", type}, {"size", 3000 + 517 * i}});
    if (i == 2) sections.push_back({{"type", 9}, {"blocks", 2}});
    if (i == 4) sections.push_back({{"type", 10}, {"fs", {{"regions", {{{"blocks", 2}}}}}}});
    if (i == 8) sections.push_back({{"type", 200}, {"blocks", 1}});
  }
  pkg::BuiltPackage p = pkg::BuildPackage({{"pageSize", 512}, {"blockKiB", 16}, {"sections", sections}});
  Outputs o{};
  std::string why;
  ASSERT_TRUE(o.Load(p.bytes, &why)) << why;
  ExpectStoreIs(p);
  // Two type-4 sections: the ROM descriptor is the later one.
  EXPECT_EQ(o.rom.length, 3000u + 517 * 6);
  EXPECT_EQ(o.rom.data, PackageImageStore()[9].bytes.data());
  ExpectOutputsAre(o, p);
}

TEST(RoundTrip, FirstThreeRecordsKeepTheirRoleWhateverTheirType) {
  json d = pkg::SampleDescription();
  d["recordTypes"] = {6, 6, 6};
  pkg::BuiltPackage p = pkg::BuildPackage(d);
  Outputs o{};
  std::string why;
  ASSERT_TRUE(o.Load(p.bytes, &why)) << why;
  ExpectOutputsAre(o, p);
}

TEST(RoundTrip, OtherInfoVersionIsCopiedAsOneImage) {
  json d = pkg::SampleDescription();
  d["sections"].push_back(
      {{"type", 10}, {"fs", {{"verbatim", true}, {"version", {5, 2, 1}}, {"regions", {{{"blocks", 3}}}}}}});
  pkg::BuiltPackage p = pkg::BuildPackage(d);
  Outputs o{};
  std::string why;
  ASSERT_TRUE(o.Load(p.bytes, &why)) << why;
  ExpectStoreIs(p);
  EXPECT_EQ(PackageImageStore().back().region, -1);
  EXPECT_TRUE(Bytes(o.fs[2]) == p.fsImages[2]);
  EXPECT_EQ(o.fs[2].address, 0x09600000u);
}

// Three regions used, the fourth of length 0: three images, and slot 3 keeps
// what it held. Region start 0x01800000, 16 KiB blocks, tagModulus 4.
TEST(RoundTrip, MultiRegionWordsAndUnreachedSlot) {
  pkg::SampleOptions s;
  s.pageSize = 512;
  s.blockKiB = 16;
  s.fsImages = 3;
  pkg::BuiltPackage p = pkg::BuildSamplePackage(s);
  Outputs o{};
  static const uint8_t elsewhere[4] = {1, 2, 3, 4};
  o.fs[3] = {elsewhere, 4, 0x1234};
  std::string why;
  ASSERT_TRUE(o.Load(p.bytes, &why)) << why;
  EXPECT_TRUE(testing::Same(o.fs[3], ImageDesc{elsewhere, 4, 0x1234}));
  const uint8_t* words = o.fs[0].data + 48;
  const uint32_t want[] = {0x00060000, 0x00060101, 0x00060202, 0x00060303, 0x00060400, 0x00060501};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(GetLe32(words + 4 * i), want[i]) << i;
  // Region 1 begins six blocks further on.
  EXPECT_EQ(GetLe32(o.fs[1].data + 48), 0x00060600u);
  EXPECT_EQ(GetLe32(o.fs[0].data + 0), 1u);  // headerBlocks
  EXPECT_EQ(GetLe32(o.fs[0].data + 12), 6u);
}

// A second load frees the first one's images; an output it does not set
// again must not keep pointing at them.
TEST(RoundTrip, LaterLoadClearsOutputsIntoTheOldImages) {
  pkg::SampleOptions four;
  four.fsImages = 4;
  Outputs o{};
  ASSERT_TRUE(o.Load(pkg::BuildSamplePackage(four).bytes));
  ASSERT_FALSE(o.fs[3].empty());
  json d = pkg::SampleDescription();  // two FS images, and no secondary ROM image
  d["sections"].erase(1);
  pkg::BuiltPackage p = pkg::BuildPackage(d);
  ASSERT_TRUE(o.Load(p.bytes));
  EXPECT_TRUE(o.fs[2].empty());
  EXPECT_TRUE(o.fs[3].empty());
  EXPECT_TRUE(o.rom2.empty());
  EXPECT_TRUE(Bytes(o.fs[1]) == p.fsImages[1]);
}

}  // namespace
}  // namespace vantrel::testing
