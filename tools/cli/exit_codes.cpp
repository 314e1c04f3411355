#include "tools/cli/exit_codes.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "vantrel/codes.h"
#include "vantrel/extension.h"

namespace vantrel::cli {

namespace {
// Codes of a step before the agent ran: a silence there is a phone that
// never came up, not one that went away.
bool BeforeTheAgent(int code) { return CodeKindOf(code) == CodeKind::kStart; }
}  // namespace

std::string ExitCodeHelp(std::initializer_list<ExitCodeLine> lines) {
  std::string text = "Exit codes:\n";
  for (const auto& l : lines) {
    char code[16];
    std::snprintf(code, sizeof code, "  %-4d ", l.code);
    text += code + std::string(l.meaning) + "\n";
  }
  return text;
}

std::string ExitCodeHelp() {
  return ExitCodeHelp({
      {kExitOk, "success (every phone)"},
      {kExitFailure, "other failure (the plug-in library did not load, I/O error)"},
      {kExitUsage, "usage: unknown option, missing or conflicting arguments"},
      {kExitPackage, "the package or a state file is missing or invalid"},
      {kExitPort, "port missing, not a tty, permission denied, or busy"},
      {kExitNoAnswer, "the phone did not answer (boot ROM stage, agent start)"},
      {kExitConnectionLost, "connection lost (unplugged, hang-up, the phone stopped answering)"},
      {kExitFlash, "flash error (reserve exhausted, write failure, layout mismatch)"},
      {kExitMixed, "several phones with different results (see the summary)"},
      {kExitInterrupted, "interrupted (Ctrl-C, SIGTERM, SIGHUP, or the output closed)"},
  });
}

const char* ExitClassName(int exit_code) {
  switch (exit_code) {
    case kExitOk: return "ok";
    case kExitUsage: return "usage";
    case kExitPackage: return "package";
    case kExitPort: return "port";
    case kExitNoAnswer: return "no-answer";
    case kExitConnectionLost: return "connection-lost";
    case kExitFlash: return "flash";
    case kExitMixed: return "mixed";
    case kExitInterrupted: return "interrupted";
    default: return "failure";
  }
}

ExitCode ClassifyResult(int code, int cause, bool node_gone) {
  if (code == 0) return kExitOk;
  if (CodeKindOf(code) == CodeKind::kCancel) return kExitInterrupted;
  switch (cause) {
    case VANTREL_CAUSE_PORT_GONE:
    case VANTREL_CAUSE_WRITE_FAILED:
    case VANTREL_CAUSE_READ_FAILED:
      return kExitConnectionLost;
    case VANTREL_CAUSE_NO_ANSWER:
      return BeforeTheAgent(code) ? kExitNoAnswer : kExitConnectionLost;
    case kCauseUnknown:
      if (node_gone) return kExitConnectionLost;
      break;
    default:  // refused, or no link failure: the code tells
      break;
  }
  switch (CodeKindOf(code)) {
    case CodeKind::kStart: return kExitNoAnswer;
    case CodeKind::kRequest: return kExitUsage;  // a read range this flash does not hold: not the flash's fault
    case CodeKind::kPackage: return kExitPackage;
    case CodeKind::kPort: return kExitPort;
    case CodeKind::kCancel: return kExitInterrupted;
    default: return kExitFlash;  // agent commands, FS writing, layout checks, codes not in the list
  }
}

std::string CauseWords(int cause, uint32_t silent_ms) {
  switch (cause) {
    case VANTREL_CAUSE_PORT_GONE: return "the port went away";
    case VANTREL_CAUSE_WRITE_FAILED: return "the port stopped taking data";
    case VANTREL_CAUSE_READ_FAILED: return "reading from the port failed";
    case VANTREL_CAUSE_NO_ANSWER: {
      // Whole seconds from 10 s on; below, tenths ("no byte for 0.5 s").
      char text[48];
      const double s = silent_ms / 1000.0;
      if (s >= 10) std::snprintf(text, sizeof text, "no byte for %.0f s", std::floor(s));
      else std::snprintf(text, sizeof text, "no byte for %.1f s", s);
      std::string out = text;
      if (const size_t at = out.find(".0 s"); at != std::string::npos) out.erase(at, 2);
      return out;
    }
    default: return "";
  }
}

std::string ResultName(int code) {
  const std::string name = CodeName(code);
  return name == "Unknown" ? "unknown code" : name;
}

// What to do after a plan that only reads: nothing was written, so "flash
// it again" would send the user to a download nobody asked for. A plan
// fails once the agent runs, so the phone waits in download mode.
std::string ReadingRemedy(ExitCode cls, int code) {
  const std::string waits = kWaitsInDownloadMode;
  switch (cls) {
    case kExitConnectionLost:
      return "nothing was written; check the cable and the phone's battery, then run the command again";
    case kExitUsage:
      return waits + "; then give a range inside the flash, as the detail names it";
    case kExitFlash:
      if (code == kRomInfoNotOnFlash)
        return waits + "; the flash holds no firmware this tool can find (a blank or erased phone?)";
      if (code == kRomInfoNoRegions)
        return waits + "; the flash's ROM record names no FS region: give the range with --range";
      return waits + ", then run the command again; if it fails at the same place, the phone's flash needs service";
    default: return "";
  }
}

std::string Remedy(ExitCode cls, int code, bool writes) {
  const std::string reading = writes ? "" : ReadingRemedy(cls, code);
  if (!reading.empty()) return reading;
  switch (cls) {
    case kExitNoAnswer:
      return "power the phone off, connect it again in download mode, and run the command again";
    case kExitConnectionLost:
      return "check the cable and the phone's battery, then flash it again";
    case kExitFlash:
      if (code == kFsLayoutMismatch || code == kRomInfoNotOnFlash)
        return "the package does not fit this phone's flash: use the package built for its geometry";
      if (code == kOutOfReservedBlocks)
        return "the flash has run out of spare blocks: the phone needs service";
      return "flash it again; if it fails at the same place, the phone's flash needs service";
    case kExitInterrupted: return "flash it again";
    case kExitPackage:
      if (code == kWrongFlashGeometry)
        return "flash the package built for this phone's flash geometry";  // the detail says nothing was written
      return "check the package with `vantrel pkg info FILE`";
    default: return "";
  }
}

}  // namespace vantrel::cli
