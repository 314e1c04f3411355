#include "tools/cli/exit_codes.h"

#include <string>

#include "vantrel/codes.h"

namespace vantrel::cli {

ExitCode ClassifyResult(int code, bool port_gone) {
  if (code == 0) return kExitOk;
  if (code == kCancelled) return kExitInterrupted;
  if (port_gone) return kExitConnectionLost;
  if (code >= 2000 && code < 3000) return kExitNoAnswer;      // boot ROM stage
  if (code == kAgentConnectFailed || code == kAgentBadVersion) return kExitNoAnswer;  // agent never started
  if (code == kBloaderInfoMissing || code == kBloaderInfoTooShort || code == kNoDescriptor ||
      code == kWrongFlashGeometry)
    return kExitPackage;
  return kExitFlash;  // agent commands, FS writing, layout checks
}

std::string ResultName(int code) {
  const std::string name = CodeName(code);
  return name == "Unknown" ? "unknown code" : name;
}

std::string Remedy(ExitCode cls, int code) {
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
        return "nothing was written: flash the package built for this phone's flash geometry";
      return "check the package with `vantrel pkg info FILE`";
    default: return "";
  }
}

}  // namespace vantrel::cli
