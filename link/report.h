#pragma once
// The process's report function: what a session's channel reports through
// unless a sink of its own is set (link/channel.h). The engine installs
// ProgressCallback before the agent stage; it routes each report by its COM
// port number to the session that owns that port.
#include <cstdint>

namespace vantrel {

// Report types.
enum ReportType : uint32_t {
  kReportComplete = 0,
  kReportError = 1,
  kReportTransfer = 3,  // bare percentage, empty text
  kReportStep = 4,      // a step of the agent connection
  kReportStage = 5,     // start (0) or end (100) of a stage
};

using ReportFunction = void (*)(uint32_t port, uint32_t type, uint32_t percent, const char* text);

void SetReportFunction(ReportFunction fn);
// Calls the installed function; does nothing when none is installed.
void Report(uint32_t port, uint32_t type, uint32_t percent, const char* text);

}  // namespace vantrel
