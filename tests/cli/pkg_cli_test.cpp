// `vantrel pkg` with file arguments that are no package or no file to
// replace: the real binary, real files, a FIFO made here.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/cli/process.h"

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class PkgFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(BinDir() + "/vantrel")) << "no vantrel in " << BinDir();
    tmp_ = fs::temp_directory_path() / ("vantrel-pkg-files-" + std::to_string(getpid()));
    fs::create_directories(tmp_);
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }
  std::string Path(const std::string& name) const { return (tmp_ / name).string(); }
  struct Run {
    int status;  // -1: still running after 20 s, then killed
    std::string out, err;
  };
  Run Pkg(std::vector<std::string> args) {
    args.insert(args.begin(), {BinDir() + "/vantrel", "pkg"});
    Process p(args);
    const int status = p.Wait(milliseconds(20000));
    return {status, p.out(), p.err()};
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path tmp_;
};

// Reading a FIFO waits for a writer that never comes: refused at once.
TEST_F(PkgFiles, InfoRefusesWhatIsNoRegularFile) {
  auto fifo = Pkg({"info", Path("fifo")});
  EXPECT_EQ(fifo.status, 3) << fifo.err;
  EXPECT_NE(fifo.err.find(Path("fifo") + ": is a FIFO (named pipe), not a package file"), std::string::npos)
      << fifo.err;
  auto dir = Pkg({"info", tmp_.string()});
  EXPECT_EQ(dir.status, 3) << dir.err;
  EXPECT_NE(dir.err.find("is a directory"), std::string::npos) << dir.err;
}

// An output that is no regular file is left as it is; a link is written
// through; the files a package is built from are never its output.
TEST_F(PkgFiles, AnOutputIsReplacedOnlyWhenItIsAFileNotAnInput) {
  auto fifo = Pkg({"sample", "-o", Path("fifo")});
  EXPECT_EQ(fifo.status, 2) << fifo.err;
  EXPECT_NE(fifo.err.find(Path("fifo") + ": is a FIFO (named pipe)"), std::string::npos) << fifo.err;
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));

  fs::create_symlink("target.pkg", Path("link.pkg"));
  auto link = Pkg({"sample", "-o", Path("link.pkg")});
  ASSERT_EQ(link.status, 0) << link.err;
  EXPECT_TRUE(fs::is_symlink(Path("link.pkg")));
  EXPECT_GT(Read(Path("target.pkg")).size(), 1000000u);

  std::ofstream(Path("rom.bin")) << std::string(5000, 'r');
  const std::string description =
      R"({"pageSize": 512, "blockKiB": 16, "sections": [{"type": 4, "romInfo": false, "file": "rom.bin"}]})";
  std::ofstream(Path("d.json")) << description;
  for (const std::string& output : {(tmp_ / "." / "rom.bin").string(), Path("d.json")}) {
    auto self = Pkg({"build", Path("d.json"), "-o", output});
    EXPECT_EQ(self.status, 2) << self.err;
    EXPECT_NE(self.err.find(output + ": is the "), std::string::npos) << self.err;
  }
  EXPECT_TRUE(Read(Path("d.json")) == description);
  EXPECT_TRUE(Read(Path("rom.bin")) == std::string(5000, 'r'));
}

TEST_F(PkgFiles, ADescriptionThatIsNotJsonIsNamed) {
  std::ofstream(Path("passwd")) << "root:x:0:0:root:/root:/bin/bash\n";
  auto p = Pkg({"build", Path("passwd"), "-o", Path("x.pkg")});
  EXPECT_EQ(p.status, 2) << p.err;
  EXPECT_NE(p.err.find("description " + Path("passwd") + ": not JSON: line 1, column "), std::string::npos)
      << p.err;
  EXPECT_EQ(p.err.find("json.exception"), std::string::npos) << p.err;
}

// Help screens end with their exit codes and show no parser artefacts.
TEST_F(PkgFiles, HelpReadsNaturally) {
  auto pkg = Pkg({"--help"});
  const std::size_t codes = pkg.out.rfind("Exit codes:\n");
  ASSERT_NE(codes, std::string::npos) << pkg.out;
  EXPECT_NE(pkg.out.find("3    not a package", codes), std::string::npos) << pkg.out;
  EXPECT_EQ(Pkg({"build", "--help"}).out.find("FILE:FILE"), std::string::npos);
  Process sim({BinDir() + "/vantrel", "sim", "--help"});
  sim.Wait(milliseconds(5000));
  EXPECT_NE(sim.out().find("--no-table-b "), std::string::npos) << sim.out();
  EXPECT_EQ(sim.out().find("{false}"), std::string::npos) << sim.out();
}

}  // namespace
}  // namespace vantrel::testing
