#pragma once
// The exit codes of `vantrel`, one class of outcome each. They stay clear of
// the option parser's own numbers (104 to 109), which main() maps to kUsage.
#include <cstdint>
#include <initializer_list>
#include <string>

namespace vantrel::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,         // anything else: the plug-in would not load, an I/O error
  kExitUsage = 2,           // unknown option, missing or conflicting arguments
  kExitPackage = 3,         // the package (or a state file) is missing or invalid
  kExitPort = 4,            // port missing, not a tty, permission denied, busy
  kExitNoAnswer = 5,        // the phone did not answer (boot ROM or agent start)
  kExitConnectionLost = 6,  // the phone went away or stopped answering: unplugged, hang-up, power lost
  kExitFlash = 7,           // a flash error: reserve exhausted, write failure, layout mismatch
  kExitMixed = 8,           // several phones, different outcomes (the summary says which)
  kExitInterrupted = 130,   // Ctrl-C (128 + SIGINT, as shells report it)
};

// The exit codes at the end of a command's --help: those it can end with,
// each with what it means there.
struct ExitCodeLine {
  int code;
  const char* meaning;
};
std::string ExitCodeHelp(std::initializer_list<ExitCodeLine> lines);
// Those of `vantrel flash` (and of the tool as a whole), as the README and
// the manual page list them.
std::string ExitCodeHelp();

// The class an exit code names, as --json's "result" says it: "ok",
// "failure", "usage", "package", "port", "no-answer", "connection-lost",
// "flash", "mixed", "interrupted".
const char* ExitClassName(int exit_code);

// What the plug-in's link saw behind a failure: a VantrelCause
// (vantrel/extension.h), or kCauseUnknown from a library that cannot say.
inline constexpr int kCauseUnknown = -1;

// The class of a failure. The cause decides where the link saw one (a phone
// that stopped answering or went away is no flash error, whatever code the
// protocol step chose); otherwise the code does. `node_gone` (the device
// node vanished) stands in for the cause with a library that cannot say.
ExitCode ClassifyResult(int code, int cause, bool node_gone);

// "the port went away", "no byte for 30 s", ...: the cause in a few words
// for the user, or "" when it adds nothing to the code.
std::string CauseWords(int cause, uint32_t silent_ms);

// The code's name from the table ("FsLayoutMismatch"), also for the codes a
// newer library may return.
std::string ResultName(int code);

// What a plan that only reads (identify, read back) leaves when it stops
// before its end: before the agent runs, and once it runs (without the
// watchdog command that resets the phone).
inline constexpr char kRunAgain[] = "nothing was written; run the command again";
inline constexpr char kWaitsInDownloadMode[] = "nothing was written; the phone is waiting in download mode: unplug it";

// One sentence on what to do about a failure of this class, or "".
// `writes`: the run was a download; false for the plans that only read,
// whose failures leave the flash as it was.
std::string Remedy(ExitCode cls, int code, bool writes = true);

}  // namespace vantrel::cli
