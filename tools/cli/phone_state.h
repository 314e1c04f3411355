#pragma once
// One phone of a station run as the display and the summary see it: a plain
// copy, taken under the phone's lock, that nothing else keeps a pointer into.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/exit_codes.h"

namespace vantrel::cli {

// kReading: the phone's flash is read (identify, read back, a download's
// verify), nothing written by that step.
enum class Stage { kStarting, kWaiting, kBootRom, kAgent, kImage, kReading, kCountdown, kDone, kFailed, kInterrupted };

struct PhoneState {
  std::string label;   // the port as the user gave it
  std::string device;  // the path watched
  unsigned com = 40;
  Stage stage = Stage::kStarting;
  std::string step;    // the image or step now running
  int image = 0, images = 0;
  int percent = 0;     // of the running transfer
  uint64_t done_bytes = 0, total_bytes = 0;
  double rate = 0;     // bytes per second since the first transfer began
  double transfer_since = -1;  // session seconds when the first transfer began
  double seconds = 0;  // since the session started
  int countdown = 0;   // seconds left of the reset wait
  // The info-area read-back before an FS image: blocks read of the area's
  // (total 0 when none is running).
  unsigned readback_done = 0, readback_total = 0;
  // A download's verify, once done: the blocks compared and its time.
  unsigned verified_blocks = 0;
  uint32_t verify_ms = 0;
  // Each step as it began (its name, session seconds), for a station's log.
  struct StepStart {
    std::string step;
    double at;
  };
  std::vector<StepStart> steps;
  // The end.
  ExitCode result = kExitOk;
  int code = 0;
  int cause = kCauseUnknown;  // what the link saw behind a failure (VantrelCause)
  // What the agent reported when the download reached it: agent version,
  // chip type and the digest of its raw report (empty when it did not).
  std::string agent_version, report_sha256;
  int chip_type = -1;
  std::string message;  // cause and remedy, one line
  int overall() const { return total_bytes ? static_cast<int>(done_bytes * 100 / total_bytes) : 0; }
};

// "boot-rom", "image", ...: the stage's name in --json.
const char* StageName(Stage s);

}  // namespace vantrel::cli
