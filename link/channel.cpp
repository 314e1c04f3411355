#include "link/channel.h"

#include <cstdarg>
#include <cstdio>

#include "link/report.h"
#include "vantrel/codes.h"

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

void Channel::ReportTransfer(uint32_t port, uint32_t percent, uint64_t done, uint64_t total) {
  vantrel::Report(port, kReportTransfer, percent, "");
  const StageEvent e = progress_.Fraction(done, total);
  if (event_) event_(e);
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

namespace {
// Codes the plug-in decides itself over what the phone answered in full: a
// comparison of its own or the front end's cancel, never a refusal.
bool OwnDecision(int code) {
  return code == kCancelled || code == kVerifyMismatch || code == kWrongFlashGeometry || code == kReadOutOfRange;
}
}  // namespace

void Channel::SetStageFailure(int code, const char* meaning) {
  if (failure_.empty()) failure_ = meaning ? meaning : "";
  failure_code_ = code;
  if (cause_ == LinkCause::kNone && answered_ && !OwnDecision(code)) cause_ = LinkCause::kRefused;
}

void Channel::NoteAnswered() {
  answered_ = true;
  if (!silence_pending_) return;
  cause_ = LinkCause::kNone;
  silence_pending_ = false;
  silent_ms_ = 0;
}

void Channel::NoteSilence(uint32_t ms) {
  if (cause_ != LinkCause::kNone && !silence_pending_) return;
  cause_ = LinkCause::kNoAnswer;
  silence_pending_ = true;
  silent_ms_ += ms;
}

void Channel::NoteFault(LinkCause cause) {
  if (cause != LinkCause::kPortGone && cause_ != LinkCause::kNone && !silence_pending_) return;
  cause_ = cause;
  silence_pending_ = false;
}

void Channel::ChooseTimeScale(bool pseudo_terminal, uint32_t com_port) {
  if (requested_scale_ <= 1 || pseudo_terminal) {
    pauses_.set_factor(requested_scale_);
    return;
  }
  pauses_.set_factor(1);
  if (scale_noted_) return;
  scale_noted_ = true;
  Log("VANTREL_TIME_SCALE ignored: COM%u is not a pseudo-terminal, so the protocol's pauses run in real time\n",
      com_port);
}

}  // namespace vantrel
