#pragma once
// How a phone's run ended, as one line for the user: what the plug-in
// recorded, what happened in words, and what to do. Every ending's text is
// built here, whether the session ended by itself or the station had to
// tell the state a phone was cut off in (a second look after Ctrl-C).
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/exit_codes.h"
#include "tools/cli/phone_state.h"

namespace vantrel::cli {

// A failure as the plug-in records it: code and detail say where, the cause
// what happened.
struct Failure {
  int code = 0;
  std::string detail;
  int cause = kCauseUnknown;
  uint32_t silent_ms = 0;
};

struct Ending {
  ExitCode cls = kExitOk;
  std::string message;
};

// "4008 WriteFailed (FS image 2: data block 4: ...)".
std::string CodeAndDetail(const Failure& f);

// A boot ROM stage that failed; `node_gone`: the device node vanished.
Ending FailedBootRom(const Failure& f, bool node_gone);

// A download that failed while `step` ran at `stage`. `node_gone` stands in
// for a cause the library cannot give; `interrupted`: the user asked to stop;
// `writes`: false for a plan that only reads (its remedy says nothing was written).
Ending FailedDownload(const Failure& f, Stage stage, const std::string& step, bool node_gone, bool interrupted,
                      bool writes = true);

// A phone interrupted at `stage`: what it is left as. `f` is the session's
// own failure when it ended by itself (the cancelled transfer), else null;
// `writes`: false for a plan that only reads (it never says "flash it again").
Ending Interrupted(Stage stage, const std::string& step, const Failure* f = nullptr, bool writes = true);

// The port did not appear within --wait.
Ending WaitExpired(double seconds);

// A finished download; `reset_end` is how the reset wait ended
// (VANTREL_RESET_WAIT_*, -1 when the library did not say).
std::string FlashedMessage(int reset_end, int reset_after_seconds);

// The station's exit code: a phone's class when all share it, 8 when they
// differ, 130 when any was interrupted.
int StationExit(const std::vector<PhoneState>& phones);

// The run's last line: "vantrel flash: ok: 3 of 3 phone(s) flashed (exit 0)";
// `why` says what interrupted an interrupted run ("Ctrl-C", "SIGTERM");
// another command than flash names itself and what it did ("identified").
std::string Verdict(const std::vector<PhoneState>& phones, int exit_code, const std::string& why = "",
                    const std::string& command = "flash", const std::string& done = "flashed");

}  // namespace vantrel::cli
