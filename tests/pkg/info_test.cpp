// `vantrel pkg info` and `vantrel pkg build`: the library function the
// subcommand prints, and the built binary as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "link/byte_order.h"
#include "tests/pkg/pkg_test_util.h"
#include "tools/pkg/inspect.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> BrokenSample() {
  pkg::BuiltPackage p = pkg::BuildSamplePackage();
  p.bytes[32 + 16 * 3 + 11] = 7;  // a type not allowed after the first three records
  return p.bytes;
}

TEST(PackageInfo, DescribesAGoodPackage) {
  pkg::SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.fsImages = 4;
  pkg::BuiltPackage p = pkg::BuildSamplePackage(o);
  std::ostringstream out;
  std::string why = "unset";
  EXPECT_TRUE(pkg::DescribePackage(p.bytes, out, &why));
  EXPECT_EQ(why, "");
  const std::string text = out.str();
  for (const char* piece :
       {"geometry: 512-byte pages + 16 spare bytes, 16 KiB blocks (32 pages, 16896 file bytes per block)",
        "FS slot 3, address word 0x0E600000", "address word 0x00004000", "kept in the store only",
        "ROM information record at 0x200 (340 bytes), identifier 05200001",
        "information block: version 3", "region 3: 0x01848000 + 0x00018000", "limits: all passed"})
    EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
}

TEST(PackageInfo, NamesTheBrokenLimit) {
  std::ostringstream out;
  std::string why;
  EXPECT_FALSE(pkg::DescribePackage(BrokenSample(), out, &why));
  EXPECT_NE(why.find("section 3: type 7 is not allowed"), std::string::npos) << why;
  // The table is still shown, with the offending record flagged.
  EXPECT_NE(out.str().find("NOT ALLOWED here"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("limits: FAILED: " + why), std::string::npos) << out.str();
}

// What the format cannot check is said, and the digests let a user compare:
// a flipped byte inside the ROM image's data passes every limit and shows
// only in that image's digest (and the file's).
TEST(PackageInfo, SaysWhatItCannotCheckAndGivesDigests) {
  const std::vector<uint8_t> good = pkg::BuildSamplePackage().bytes;
  std::vector<uint8_t> flipped = good;
  flipped[0x84000 + 0x10000] ^= 0x40;  // inside the ROM image's data (section 3 at block 4)
  std::ostringstream a, b;
  ASSERT_TRUE(pkg::DescribePackage(good, a));
  ASSERT_TRUE(pkg::DescribePackage(flipped, b));
  EXPECT_NE(b.str().find("carries no checksum of its own"), std::string::npos) << b.str();
  auto digests = [](const std::string& text) {
    std::map<std::string, std::string> d;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("sha256: ", 0) == 0) d[line.substr(74)] = line.substr(8, 64);
    return d;
  };
  const auto da = digests(a.str()), db = digests(b.str());
  ASSERT_EQ(da.size(), 8u) << a.str();  // the file and its seven images
  for (const auto& [what, digest] : da)
    EXPECT_EQ(digest != db.at(what), what == "file" || what == "ROM image (section 3)") << what;
  // Cut short: said, whether or not the load still passes.
  std::ostringstream cut;
  pkg::DescribePackage(ByteSpan(good.data(), good.size() - 360), cut);
  EXPECT_NE(cut.str().find("WARNING: the file ends 360 bytes before the end of the blocks"), std::string::npos)
      << cut.str();
  EXPECT_EQ(a.str().find("WARNING"), std::string::npos) << a.str();
}

TEST(PackageInfo, AFileThatDoesNotStartAsAPackageIsNone) {
  const std::string passwd = "root:x:0:0:root:/root:/bin/bash\ndaemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n";
  EXPECT_FALSE(pkg::LooksLikePackage(ByteSpan(reinterpret_cast<const uint8_t*>(passwd.data()), passwd.size())));
  EXPECT_TRUE(pkg::LooksLikePackage(BrokenSample()));  // a broken package is still one
  pkg::SampleOptions small;
  small.pageSize = 512;
  small.blockKiB = 16;
  EXPECT_TRUE(pkg::LooksLikePackage(pkg::BuildSamplePackage(small).bytes));
}

// Runs the built `vantrel` with arguments; returns its exit status and output.
struct CliRun {
  int status = -1;
  std::string output;
};
// `shell` runs before it in the same shell (limits, traps).
CliRun Vantrel(const std::string& args, const std::string& shell = "") {
  const char* dir = std::getenv("VANTREL_TEST_BIN");
  CliRun r;
  const std::string cmd = shell + "exec " + std::string(dir) + "/vantrel " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("VANTREL_TEST_BIN");
    if (!dir || !fs::exists(fs::path(dir) / "vantrel")) GTEST_SKIP() << "VANTREL_TEST_BIN has no vantrel";
    tmp_ = fs::temp_directory_path() / ("vantrel-pkg-cli-" + std::to_string(getpid()));
    fs::create_directories(tmp_);
  }
  void TearDown() override {
    if (!tmp_.empty()) fs::remove_all(tmp_);
  }
  fs::path tmp_;
};

TEST_F(Cli, InfoOnAGoodAndABrokenPackage) {
  pkg::WriteFile(tmp_ / "good.pkg", pkg::BuildSamplePackage().bytes);
  pkg::WriteFile(tmp_ / "broken.pkg", BrokenSample());
  CliRun good = Vantrel("pkg info " + (tmp_ / "good.pkg").string());
  EXPECT_EQ(good.status, 0) << good.output;
  EXPECT_NE(good.output.find("limits: all passed"), std::string::npos) << good.output;
  CliRun broken = Vantrel("pkg info " + (tmp_ / "broken.pkg").string());
  EXPECT_EQ(broken.status, 3) << broken.output;  // the package class of exit codes
  EXPECT_NE(broken.output.find("limits: FAILED: section 3: type 7"), std::string::npos) << broken.output;
  CliRun missing = Vantrel("pkg info " + (tmp_ / "none.pkg").string());
  EXPECT_NE(missing.status, 0);
}

// One flipped byte in a record the download steers by: the loader's limits
// pass, but `pkg info` names the problem and fails the package.
TEST_F(Cli, InfoFailsAPackageWhoseRecordsADownloadCannotUse) {
  const pkg::BuiltPackage good = pkg::BuildSamplePackage();
  const auto find = [&](const std::string& marker) {
    return static_cast<std::size_t>(std::search(good.bytes.begin(), good.bytes.end(), marker.begin(), marker.end()) -
                                    good.bytes.begin());
  };
  uint64_t fs_record = 0;
  for (const pkg::PlacedSection& s : good.sections)
    if (s.type == kImageFs) fs_record = s.infoRecordPos;
  ASSERT_NE(fs_record, 0u);
  const struct {
    const char* name;
    std::size_t at;
    const char* problem;
  } cases[] = {
      {"bootloader", find("MTK_BLOADER_INFO_v"), "PROBLEM: bootloader information block not usable (code 5028)"},
      {"rom", find("MTK_ROMINFO_v"), "PROBLEM: ROM information record: not found in the first 1 MiB of the ROM "
                                     "image, and the FS images' region comes from it: a download of the FS images "
                                     "stops with 1030"},
      // Region 0's length 0xC0000 becomes 0xD0000, into region 1.
      {"fs", fs_record + kInfoRegionLength + 2, "info record: region 0 (0x01800000 + 0xD0000) overlaps region 1"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = good.bytes;
    ASSERT_LT(c.at, bytes.size()) << c.name;
    bytes[c.at] ^= 0x01;
    pkg::WriteFile(tmp_ / c.name, bytes);
    const CliRun r = Vantrel("pkg info " + (tmp_ / c.name).string());
    EXPECT_EQ(r.status, 3) << c.name << "\n" << r.output;
    EXPECT_NE(r.output.find(c.problem), std::string::npos) << c.name << "\n" << r.output;
    EXPECT_EQ(r.output.find("limits: all passed"), std::string::npos) << c.name << "\n" << r.output;
  }
}

TEST_F(Cli, BuildFromADescriptionWithAnImageFile) {
  std::vector<uint8_t> rom2(5000);
  for (std::size_t i = 0; i < rom2.size(); ++i) rom2[i] = static_cast<uint8_t>(i * 13);
  pkg::WriteFile(tmp_ / "rom2.bin", rom2);
  std::ofstream(tmp_ / "desc.json") << R"({
    // comments are allowed
    "pageSize": 512, "blockKiB": 16,
    "sections": [
      {"type": 4, "size": 70000},
      {"type": 5, "file": "rom2.bin"},
      {"type": 10, "fs": {"regions": [{"blocks": 3}, {"blocks": 2}], "tagModulus": 2}}
    ]})";
  CliRun r = Vantrel("pkg build " + (tmp_ / "desc.json").string() + " -o " + (tmp_ / "out.pkg").string());
  ASSERT_EQ(r.status, 0) << r.output;
  std::ifstream in(tmp_ / "out.pkg", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  testing::Outputs o{};
  std::string why;
  ASSERT_TRUE(o.Load(bytes, &why)) << why;
  EXPECT_TRUE(testing::Bytes(o.rom2) == rom2);
  EXPECT_EQ(GetLe32(o.fs[1].data + 12), 2u);

  // A description whose package breaks a limit: reported, and nothing written.
  std::ofstream(tmp_ / "many.json") << R"({"pageSize": 512, "blockKiB": 16, "sections": [)"
                                       R"({"type":8},{"type":8},{"type":8},{"type":8},{"type":8},)"
                                       R"({"type":8},{"type":8},{"type":8},{"type":8},{"type":8},)"
                                       R"({"type":8},{"type":8},{"type":8},{"type":8},{"type":8},)"
                                       R"({"type":8},{"type":8},{"type":8},{"type":8},{"type":8}]})";
  CliRun many = Vantrel("pkg build " + (tmp_ / "many.json").string() + " -o " + (tmp_ / "many.pkg").string());
  EXPECT_EQ(many.status, 3) << many.output;  // the package class of exit codes
  EXPECT_NE(many.output.find("does not load: section 22 (type 8): more than 19"), std::string::npos)
      << many.output;
  EXPECT_FALSE(fs::exists(tmp_ / "many.pkg"));
  CliRun bad = Vantrel("pkg build " + (tmp_ / "rom2.bin").string() + " -o " + (tmp_ / "x.pkg").string());
  EXPECT_EQ(bad.status, 2) << bad.output;
}

// A write that fails half-way (here: a file-size limit, as a full disk would)
// leaves the package that had the name as it was, and no piece of the new one.
TEST_F(Cli, AWriteThatFailsKeepsThePackageThatWasThere) {
  const std::vector<uint8_t> old = {'o', 'l', 'd'};
  pkg::WriteFile(tmp_ / "fw.pkg", old);
  std::ofstream(tmp_ / "d.json") << R"({"sample": {}})";  // about 3 MB
  CliRun r = Vantrel("pkg build " + (tmp_ / "d.json").string() + " -o " + (tmp_ / "fw.pkg").string(),
                     "trap '' XFSZ; ulimit -f 256; ");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("File too large"), std::string::npos) << r.output;
  std::ifstream in(tmp_ / "fw.pkg", std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), old);
  EXPECT_FALSE(fs::exists(tmp_ / "fw.pkg.partial"));
}

}  // namespace
}  // namespace vantrel::testing
