#include "link/report.h"

#include <atomic>

namespace vantrel {
namespace {
std::atomic<ReportFunction> g_report{nullptr};
}

void SetReportFunction(ReportFunction fn) { g_report.store(fn); }
void Report(uint32_t port, uint32_t type, uint32_t percent, const char* text) {
  if (ReportFunction fn = g_report.load()) fn(port, type, percent, text ? text : "");
}

}  // namespace vantrel
