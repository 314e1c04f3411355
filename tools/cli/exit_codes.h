#pragma once
// The exit codes of `vantrel`, one class of outcome each. They stay clear of
// the option parser's own numbers (104 to 109), which main() maps to kUsage.
#include <string>

namespace vantrel::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,         // anything else: the plug-in would not load, an I/O error
  kExitUsage = 2,           // unknown option, missing or conflicting arguments
  kExitPackage = 3,         // the package (or a state file) is missing or invalid
  kExitPort = 4,            // port missing, not a tty, permission denied, busy
  kExitNoAnswer = 5,        // the phone did not answer (boot ROM or agent start)
  kExitConnectionLost = 6,  // the phone went away: unplugged, hang-up, power lost
  kExitFlash = 7,           // a flash error: reserve exhausted, write failure, layout mismatch
  kExitMixed = 8,           // several phones, different outcomes (the summary says which)
  kExitInterrupted = 130,   // Ctrl-C (128 + SIGINT, as shells report it)
};

// The lines --help, the README and the manual page show.
inline const char* ExitCodeHelp() {
  return "Exit codes:\n"
         "  0    success (every phone)\n"
         "  1    other failure (the plug-in library did not load, I/O error)\n"
         "  2    usage: unknown option, missing or conflicting arguments\n"
         "  3    the package or a state file is missing or invalid\n"
         "  4    port missing, not a tty, permission denied, or busy\n"
         "  5    the phone did not answer (boot ROM stage)\n"
         "  6    connection lost (unplugged, hang-up)\n"
         "  7    flash error (reserve exhausted, write failure, layout mismatch)\n"
         "  8    several phones with different results (see the summary)\n"
         "  130  interrupted (Ctrl-C)\n";
}

// The class of a plug-in result code, given whether the phone's port had
// gone when the session ended (a vanished device node is the one sure sign
// of an unplugged or hung-up phone, whatever code the protocol step chose).
ExitCode ClassifyResult(int code, bool port_gone);

// The code's name from the table ("FsLayoutMismatch"), also for the codes a
// newer library may return.
std::string ResultName(int code);

// One sentence on what to do about a failure of this class, or "".
std::string Remedy(ExitCode cls, int code);

}  // namespace vantrel::cli
