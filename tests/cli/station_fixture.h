#pragma once
// What the tests of the real `vantrel` binary share: a temporary folder with
// a sample package, simulated phones in their own `vantrel sim` processes,
// and `vantrel flash` runs whose temporary files land in a folder of the
// test's own, so that a file left behind shows.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cli/process.h"

namespace vantrel::testing {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

inline std::string Vantrel() { return BinDir() + "/vantrel"; }

// Lines of `text` that start with "[label] ".
inline std::vector<std::string> LinesOf(const std::string& text, const std::string& label) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("[" + label + "] ", 0) == 0) out.push_back(line.substr(label.size() + 3));
  return out;
}

inline size_t Count(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const auto& l : lines) n += l.find(text) != std::string::npos;
  return n;
}

// Does the library carry the extension exports (log routing, failure
// detail, cancel)? Some outcomes can only be seen through them.
inline bool LibraryHas(const char* symbol) {
  void* lib = dlopen((BinDir() + "/libvantrel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) return false;
  bool has = dlsym(lib, symbol) != nullptr;
  dlclose(lib);
  return has;
}

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(Vantrel())) << "no vantrel in " << BinDir() << " (VANTREL_TEST_BIN)";
    tmp_ = fs::temp_directory_path() / ("vantrel-cli-test-" + std::to_string(getpid()));
    fs::create_directories(tmp_ / "tmp");
    package_ = (tmp_ / "fw.bin").string();
    Process p({Vantrel(), "pkg", "sample", "-o", package_});
    ASSERT_EQ(p.Wait(milliseconds(20000)), 0) << p.err();
  }
  void TearDown() override {
    phones_.clear();
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }

  // A simulated phone in its own process; returns its pty path.
  std::string StartPhone(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {Vantrel(), "sim"});
    phones_.push_back(std::make_unique<Process>(args));
    Process& p = *phones_.back();
    EXPECT_TRUE(p.WaitFor("\n", milliseconds(5000))) << p.err();
    return p.out().substr(0, p.out().find('\n'));
  }

  Process::Options Env() {
    Process::Options o;
    o.env = {"TMPDIR=" + (tmp_ / "tmp").string()};
    return o;
  }
  std::unique_ptr<Process> Flash(std::vector<std::string> args, Process::Options o) {
    args.insert(args.begin(), {Vantrel(), "flash", "--package", package_});
    return std::make_unique<Process>(args, o);
  }
  std::unique_ptr<Process> Flash(std::vector<std::string> args) { return Flash(std::move(args), Env()); }
  bool TempLeft() { return !fs::is_empty(tmp_ / "tmp"); }

  fs::path tmp_;
  std::string package_;
  std::vector<std::unique_ptr<Process>> phones_;
};

}  // namespace vantrel::testing
