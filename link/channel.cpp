#include "link/channel.h"

#include <cstdarg>
#include <cstdio>

#include "link/report.h"

namespace vantrel {

WaitLimits& Limits() {
  static WaitLimits limits;
  return limits;
}

void Channel::Log(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);  // cuts to 511 characters + NUL
  va_end(ap);
  if (log_) {
    log_(buf);
    return;
  }
  std::fputs(buf, stdout);
  std::fflush(stdout);
}

void Channel::Report(uint32_t port, uint32_t type, uint32_t percent, const char* text) {
  vantrel::Report(port, type, percent, text);
  if (type != kReportTransfer) return;
  const StageEvent e = progress_.Percent(percent);
  if (event_) event_(e);
}

int Channel::Fail(int code, const char* format, ...) {
  if (!failure_.empty()) return code;
  char buf[256];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  failure_ = buf;
  failure_code_ = code;
  return code;
}

void Channel::AddContext(const char* format, ...) {
  if (failure_.empty()) return;
  char buf[160];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  failure_ = std::string(buf) + ": " + failure_;
}

}  // namespace vantrel
