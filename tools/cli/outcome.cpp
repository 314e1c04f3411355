#include "tools/cli/outcome.h"

#include <cstdio>
#include <set>

#include "vantrel/extension.h"

namespace vantrel::cli {

namespace {

// What happened in a step that failed, as the link saw it: "the phone
// stopped answering during FS image 2 (no byte for 30 s)".
std::string WhatHappened(const Failure& f, ExitCode cls, const std::string& step) {
  const std::string words = CauseWords(f.cause, f.silent_ms);
  if (f.cause == VANTREL_CAUSE_NO_ANSWER) return "the phone stopped answering during " + step + " (" + words + ")";
  if (!words.empty()) return "connection lost (" + words + ") during " + step;
  if (cls == kExitConnectionLost) return "connection lost during " + step;
  if (cls == kExitNoAnswer) return "the phone did not answer during " + step;
  return "failed during " + step;
}

std::string WithRemedy(const std::string& text, ExitCode cls, int code, bool writes = true) {
  const std::string remedy = Remedy(cls, code, writes);
  return remedy.empty() ? text : text + "; " + remedy;
}

}  // namespace

std::string CodeAndDetail(const Failure& f) {
  std::string what = f.code ? std::to_string(f.code) + " " + ResultName(f.code)
                            : std::string("the plug-in gave no result code");
  return f.detail.empty() ? what : what + " (" + f.detail + ")";
}

Ending FailedBootRom(const Failure& f, bool node_gone) {
  const ExitCode cls = ClassifyResult(f.code, f.cause, f.cause == kCauseUnknown && node_gone);
  const std::string head = cls == kExitConnectionLost ? WhatHappened(f, cls, "the boot ROM stage") + ": "
                           : f.cause == VANTREL_CAUSE_NO_ANSWER
                               ? "boot ROM stage failed: the phone stopped answering (" +
                                     CauseWords(f.cause, f.silent_ms) + "), "
                               : "boot ROM stage failed: ";
  return {cls, WithRemedy(head + CodeAndDetail(f), cls, f.code)};
}

Ending FailedDownload(const Failure& f, Stage stage, const std::string& step, bool node_gone, bool interrupted,
                      bool writes) {
  if (interrupted) return Interrupted(stage, step, &f, writes);
  // A library that records no failure code: the stage tells what failed.
  const ExitCode cls = f.code        ? ClassifyResult(f.code, f.cause, node_gone)
                       : node_gone   ? kExitConnectionLost
                       : stage == Stage::kImage ? kExitFlash
                                                : kExitNoAnswer;
  return {cls, WithRemedy(WhatHappened(f, cls, step) + ": " + CodeAndDetail(f), cls, f.code, writes)};
}

// "interrupted while the agent scans the flash": a step's name as the
// words that follow "interrupted".
std::string WhileStep(Stage stage, const std::string& step) {
  if (stage == Stage::kImage) return "while writing " + step;
  if (step == "agent scans the flash") return "while the agent scans the flash";
  if (step == "identify") return "while identifying the phone";
  if (step == "reading the flash") return "while reading the flash";
  return "during the " + step;
}

// A plan that only reads, interrupted: nothing to flash again, only the
// phone's state to tell.
Ending InterruptedReading(Stage stage, const std::string& step) {
  switch (stage) {
    case Stage::kStarting:
    case Stage::kWaiting:
      return {kExitInterrupted, std::string("interrupted while waiting for the port; ") + kRunAgain};
    case Stage::kBootRom:
      return {kExitInterrupted, std::string("interrupted during the boot ROM stage; ") + kRunAgain};
    default:
      return {kExitInterrupted, "interrupted " + WhileStep(stage, step) + "; " + kWaitsInDownloadMode};
  }
}

Ending Interrupted(Stage stage, const std::string& step, const Failure* f, bool writes) {
  if (!writes && stage != Stage::kCountdown) return InterruptedReading(stage, step);
  switch (stage) {
    case Stage::kCountdown:
      return {kExitOk, FlashedMessage(VANTREL_RESET_WAIT_CANCELLED, 0)};
    case Stage::kStarting:
    case Stage::kWaiting:
      return {kExitInterrupted, "interrupted while waiting for the port; nothing was written"};
    case Stage::kBootRom:
      return {kExitInterrupted,
              "interrupted during the boot ROM stage; nothing was written to the flash: flash it again"};
    case Stage::kReading:
      if (step == "verify")
        return {kExitInterrupted, "interrupted during the verify: the phone is flashed but not verified and "
                                  "waits in download mode: unplug it"};
      return {kExitInterrupted, "interrupted " + WhileStep(stage, step) + "; " + kWaitsInDownloadMode};
    default: {
      std::string where = "interrupted " + WhileStep(stage, step);
      if (f && (f->code || !f->detail.empty())) where += ": " + CodeAndDetail(*f) + ";";
      else where += ":";
      return {kExitInterrupted, where + " " + Remedy(kExitInterrupted, 0)};
    }
  }
}

Ending WaitExpired(double seconds) {
  char secs[32];
  std::snprintf(secs, sizeof secs, "%g", seconds);
  return {kExitPort,
          std::string("did not appear within ") + secs + " s; connect the phone in download mode, or check the path"};
}

std::string FlashedMessage(int reset_end, int reset_after_seconds) {
  switch (reset_end) {
    case VANTREL_RESET_WAIT_PORT_GONE:
      return "flashed; the phone reset after " + std::to_string(reset_after_seconds) + " s";
    case VANTREL_RESET_WAIT_CANCELLED: return "flashed; interrupted during the reset wait: the phone is resetting";
    default: return "flashed";
  }
}

int StationExit(const std::vector<PhoneState>& phones) {
  std::set<int> classes;
  bool any_ok = false;
  for (const auto& s : phones) {
    if (s.result == kExitInterrupted) return kExitInterrupted;
    if (s.result == kExitOk) any_ok = true;
    else classes.insert(s.result);
  }
  if (classes.empty()) return kExitOk;
  if (!any_ok && classes.size() == 1) return *classes.begin();
  return kExitMixed;
}

std::string Verdict(const std::vector<PhoneState>& phones, int exit_code, const std::string& why,
                    const std::string& command, const std::string& done) {
  size_t ok = 0;
  std::string failed;
  for (const auto& s : phones) {
    if (s.result == kExitOk) {
      ++ok;
      continue;
    }
    failed += (failed.empty() ? "" : ", ") + s.label;
    if (s.code) failed += " " + std::to_string(s.code) + " " + ResultName(s.code);
  }
  const std::string count = std::to_string(ok) + " of " + std::to_string(phones.size()) + " phone(s) " + done;
  std::string v = "vantrel " + command + ": ";
  if (exit_code == kExitOk) v += "ok: " + count;
  else if (exit_code == kExitInterrupted) v += "interrupted" + (why.empty() ? "" : " (" + why + ")") + ": " + count;
  else v += "FAILED: " + count + "; failed: " + failed;
  return v + " (exit " + std::to_string(exit_code) + ")";
}

}  // namespace vantrel::cli
