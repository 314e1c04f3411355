// Generated malformed packages: every 32-bit field of the package header,
// the section table, the image list, each FS image header and the layout
// part of each FS info record is broken in turn, with values that sit on the
// edges (0, all ones, the sign bit, one more, one less). Each load must end
// cleanly: refused with a reason, or loaded with every image inside the
// store. Under the sanitizer build an access outside the file fails the run.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "images/package.h"
#include "link/link.h"
#include "tests/reliability/matrix_util.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

struct Field {
  std::string area, name;
  uint64_t pos;  // file position of a little-endian 32-bit word
};

std::vector<Field> Fields(const pkg::BuiltPackage& p) {
  std::vector<Field> f;
  auto words = [&](const std::string& what, uint64_t from, uint32_t bytes) {
    for (uint32_t off = 0; off + 4 <= bytes; off += 4)
      if (from + off + 4 <= p.bytes.size()) f.push_back({what, what + " +" + std::to_string(off), from + off});
  };
  words("package header", 0, kPackageHeaderBytes);
  words("section table", kPackageHeaderBytes, kSectionRecordBytes * uint32_t(p.sections.size() + 1));
  // The list lies in page 2 of its block (512 + 16 raw bytes per page here).
  words("image list", p.imageListPos + 2 * (512 + 16), kImageListBytes);
  for (size_t i = 0; i < p.sections.size(); ++i) {
    const auto& s = p.sections[i];
    if (s.type != kImageFs) continue;
    words("FS section " + std::to_string(i) + " header", s.filePos, kFsHeaderFixedBytes);
    words("FS section " + std::to_string(i) + " info record layout", s.infoRecordPos + kInfoAreaStart,
          kInfoVersion + 4 - kInfoAreaStart);
  }
  return f;
}

bool Inside(const ImageDesc& d, const ImageStore& store) {
  if (d.empty()) return true;
  for (const auto& im : store) {
    const uint8_t* b = im.bytes.data();
    if (d.data >= b && d.length <= im.bytes.size() && d.data - b <= std::ptrdiff_t(im.bytes.size() - d.length))
      return true;
  }
  return false;
}

// Small packages with every kind of section: FS images as regions of one
// section, or as sections of their own; a listed (type 8) image.
pkg::BuiltPackage WithEverySection(bool multi_region) {
  pkg::SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.fsImages = 2;
  o.dataBlocks = 2;
  o.multiRegion = multi_region;
  return pkg::BuildSamplePackage(o);
}

class GeneratedMalformedPackages : public ::testing::TestWithParam<bool> {};

TEST_P(GeneratedMalformedPackages, EveryBrokenFieldLoadsCleanlyOrNotAtAll) {
  const pkg::BuiltPackage p = WithEverySection(GetParam());
  const std::vector<Field> fields = Fields(p);
  ASSERT_GT(fields.size(), 100u);
  unsigned loads = 0, refused = 0;
  std::map<std::string, unsigned> refusedIn;
  std::vector<std::string> problems;
  for (const Field& f : fields) {
    const uint32_t v = GetLe32(p.bytes.data() + f.pos);
    for (uint32_t bad : {0u, 0xFFFFFFFFu, v ^ 0x80000000u, v + 1, v - 1}) {
      if (bad == v) continue;
      std::vector<uint8_t> file = p.bytes;
      PutLe32(file.data() + f.pos, bad);
      ImageDesc bl, ext, rom, rom2, fs[4];
      std::string reason;
      ++loads;
      const bool ok = LoadFirmwarePackageFromBytes(file, &bl, &ext, &rom, &rom2, fs, &reason);
      const std::string what = f.name + " = " + std::to_string(bad);
      if (!ok) {
        ++refused;
        ++refusedIn[f.area];
        if (reason.empty()) problems.push_back(what + ": refused without a reason");
        continue;
      }
      const ImageStore& store = PackageImageStore();
      for (const ImageDesc* d : {&bl, &ext, &rom, &rom2, &fs[0], &fs[1], &fs[2], &fs[3]})
        if (!Inside(*d, store)) problems.push_back(what + ": an image points outside the store");
    }
  }
  std::printf("[ malformed packages ] %u generated from %zu fields, %u refused with a reason\n", loads,
              fields.size(), refused);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
  // Unused list entries and regions may take any value; every header and
  // table has fields whose breakage must be refused.
  for (const Field& f : fields) {
    EXPECT_GT(refusedIn[f.area], 0u) << f.area;
    refusedIn[f.area] = 1;  // one message per area
  }
}

INSTANTIATE_TEST_SUITE_P(FsLayouts, GeneratedMalformedPackages, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Regions" : "Sections"; });

}  // namespace
}  // namespace vantrel::testing
