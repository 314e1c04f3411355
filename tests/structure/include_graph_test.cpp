// Dependencies run one way: every `#include "folder/..."` between the
// library's folders must be an edge of the table below. The table is the
// layering of the README:
//   boundary -> engine -> {brom, agent, nand} -> images -> link -> platform
//   ports -> platform
// brom, agent and nand never include each other. Around the library: the
// tools reach the plug-in through its exports and may use the formats, the
// port scan and the simulator, never the download's own code; the simulated
// phone shares no code with the library.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;

// folder -> the folders it may include (besides itself and the public
// headers in include/vantrel/).
const std::map<std::string, std::set<std::string>> kAllowed = {
    {"boundary", {"engine", "ports", "link", "platform"}},
    {"engine", {"brom", "agent", "nand", "images", "ports", "link", "platform"}},
    {"brom", {"images", "link"}},
    {"agent", {"images", "link"}},
    {"nand", {"images", "link"}},
    {"images", {"link", "platform"}},
    {"link", {"platform"}},
    {"ports", {"platform"}},
    {"platform", {}},
    {"tools", {"images", "link", "ports", "platform", "sim"}},
    {"sim", {}},
};

// The edges of one folder's files that the table does not allow, as
// "file:line: folder -> folder".
std::vector<std::string> ForbiddenEdges(const fs::path& root, const std::string& folder) {
  std::vector<std::string> out;
  const std::regex include(R"re(^\s*#\s*include\s*"([a-z_]+)/)re");
  for (const auto& e : fs::recursive_directory_iterator(root / folder)) {
    const std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
    std::ifstream in(e.path());
    std::string line;
    for (unsigned n = 1; std::getline(in, line); ++n) {
      std::smatch m;
      if (!std::regex_search(line, m, include)) continue;
      const std::string to = m[1];
      if (to == folder || to == "vantrel") continue;
      const auto& allowed = kAllowed.at(folder);
      if (kAllowed.count(to) && !allowed.count(to))
        out.push_back(fs::relative(e.path(), root).string() + ":" + std::to_string(n) + ": " + folder +
                      " -> " + to);
      if (!kAllowed.count(to) && to != "vantrel")
        out.push_back(fs::relative(e.path(), root).string() + ":" + std::to_string(n) + ": " + folder +
                      " -> " + to + " (not a library folder)");
    }
  }
  return out;
}

TEST(IncludeGraph, EveryEdgeBetweenLibraryFoldersIsInTheTable) {
  const fs::path root = VANTREL_SOURCE_DIR;
  for (const auto& [folder, allowed] : kAllowed) {
    ASSERT_TRUE(fs::is_directory(root / folder)) << folder;
    for (const std::string& edge : ForbiddenEdges(root, folder)) ADD_FAILURE() << edge;
  }
}

// Headers private to their folder: the agent's byte-level helpers (status
// bytes, waits, packet sending) stay inside agent/, so each wire byte of the
// agent's protocol is sent from there and nowhere else.
TEST(IncludeGraph, PrivateHeadersStayInTheirFolder) {
  const fs::path root = VANTREL_SOURCE_DIR;
  const std::map<std::string, std::string> kPrivate = {{"agent/agent_util.h", "agent"}};
  const std::regex include(R"re(^\s*#\s*include\s*"([a-z_]+/[a-z_.]+)")re");
  for (const char* top : {"boundary", "engine", "brom", "agent", "nand", "images", "link", "ports", "platform",
                          "tools", "sim", "fuzz", "bench"}) {
    if (!fs::is_directory(root / top)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root / top)) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path());
      std::string line;
      for (unsigned n = 1; std::getline(in, line); ++n) {
        std::smatch m;
        if (!std::regex_search(line, m, include) || !kPrivate.count(m[1])) continue;
        if (std::string(top) != kPrivate.at(m[1]))
          ADD_FAILURE() << fs::relative(e.path(), root).string() << ":" << n << " includes " << m[1];
      }
    }
  }
}

TEST(IncludeGraph, TheTableItselfHasNoCycle) {
  // Depth-first search over the allowed edges.
  std::map<std::string, int> state;  // 0 new, 1 on the stack, 2 done
  std::function<bool(const std::string&)> cyclic = [&](const std::string& f) {
    if (state[f] == 1) return true;
    if (state[f] == 2) return false;
    state[f] = 1;
    for (const auto& to : kAllowed.at(f))
      if (cyclic(to)) return true;
    state[f] = 2;
    return false;
  };
  for (const auto& [folder, allowed] : kAllowed) EXPECT_FALSE(cyclic(folder)) << folder;
}

}  // namespace
}  // namespace vantrel::testing
