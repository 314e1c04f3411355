#pragma once
// The read plan: run in place of the download after the boot ROM stage. A
// byte range of the flash goes to the caller's sink as the agent sends it,
// one packet at a time (never the whole range in memory), then the watchdog
// command resets the phone. Nothing is written or erased.
#include <cstdint>
#include <functional>

#include "agent/agent.h"
#include "engine/download_plan.h"

namespace vantrel {

// Which bytes a read covers: the range given, or one the flash's ROM
// information record names (found on the phone before the read).
enum class ReadSpan {
  kGiven,
  kFsRegion,   // the record's first region: the FS data
  kThroughFs,  // from address 0 to the end of that region
};

struct ReadRequest {
  ReadSpan span = ReadSpan::kGiven;
  uint32_t start = 0;   // main-data byte address, a multiple of 2048 (kGiven)
  uint32_t length = 0;  // main-data bytes, a multiple of 2048, at least one page (kGiven)
  // Told the range once it is known (for the spans the record names), and
  // the flash's page and spare size once the read is done.
  std::function<void(uint32_t start, uint32_t length)> onRange;
  std::function<void(uint32_t page_size, uint32_t spare_size)> onGeometry;
  uint8_t mode = 1;     // 1 main data; 0 each page's main data followed by its spare bytes
  ReadSink sink;        // false stops the read (1031)
};

// The range is checked before the agent is spoken to (4017, 4018, 1033);
// a range the agent refuses as past its flash ends with 1033 and the valid
// range in the detail. Other results: a failed read's 3100, 1031.
int ReadRun(LinkHandle h, const AgentStageInputs& in, const ReadRequest& request, uint32_t port);

// The plan's steps for front ends; its bytes are the range's main data.
std::vector<PlanStep> ReadPlanSteps(const ReadRequest& request);

}  // namespace vantrel
