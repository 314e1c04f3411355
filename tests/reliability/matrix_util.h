#pragma once
// Shared by the reliability matrices: a package small enough to cut at every
// flash operation, sessions run with their protocol log captured, and what
// the flash's info areas hold.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/integration/rig.h"

namespace vantrel::testing {

// 512-byte pages, one FS image of three data blocks, small boot and ROM
// images: a whole download is a few hundred flash operations.
pkg::BuiltPackage TinyPackage();
// The same with two FS sections: a two-region section (two images sharing
// one info area) and a one-region section with its own info area.
pkg::BuiltPackage TwoSectionPackage();

struct SessionResult {
  int result = -1;       // Download's result, -1 when Prepare or opening the port failed
  std::string log;       // the protocol log the session printed
  int bootCode = 0;      // the boot ROM stage's result
  int downloadCode = 0;  // the agent stage's result code, 0 when it succeeded
  // What the link saw behind each stage's failure.
  LinkCause bootCause = LinkCause::kNone, downloadCause = LinkCause::kNone;
};
// Runs one session on the rig with its standard output captured.
SessionResult RunQuietly(Rig& rig);
// The same through the engine alone (prepare, open COM<com>, boot ROM stage,
// agent stage), for a phone whose port is linked already: a session would
// first wait for that port to go away, as for a phone not yet reset.
SessionResult RunEngineQuietly(Rig& rig, unsigned com = 40);

// The phone restarts from its state file: the flash as saved and loaded again.
void PowerOnFromStateFile(Rig& rig, const std::string& state_path);

// Main data of the one valid info block in the info area of the package's FS
// image `image`, or nullopt when that area holds none or several.
std::optional<std::vector<uint8_t>> TheInfoBlock(const sim::Flash& flash, const pkg::BuiltPackage& p,
                                                 size_t image = 0);
// Valid info blocks in that info area.
unsigned InfoBlocksInArea(const sim::Flash& flash, const pkg::BuiltPackage& p, size_t image = 0);

}  // namespace vantrel::testing
