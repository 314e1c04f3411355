#pragma once
// What the CLI finds out about a phone port before it waits for anything:
// a path that can never become a phone port fails at once with its own
// cause and remedy; a path that does not exist yet is waited for.
#include <string>
#include <vector>

#include "tools/cli/exit_codes.h"

namespace vantrel::cli {

enum class PortProblem {
  kNone,        // a tty this user may open now
  kMissing,     // nothing there (yet): the phone is not plugged in
  kNotTty,      // a character device that is no terminal (/dev/null)
  kNotDevice,   // a regular file, a directory, a socket ...
  kNeverAPort,  // a terminal that is never a phone's port: /dev/tty, the console
  kPermission,  // the user may not open it
  kBusy,        // another program holds it
  kOther,       // any other open failure
};

struct PortCheck {
  PortProblem problem = PortProblem::kNone;
  std::string message;  // "PATH: cause; remedy", empty when kNone
};

// Checks `path` once: type, permission, and whether another program holds
// it (its lock or its exclusive mode). Opens and closes the port.
PortCheck CheckPort(const std::string& path);

// Who may open a device node, as far as a permission remedy needs to know.
struct NodeAccess {
  std::string owner, group;  // names
  unsigned mode = 0;         // the permission bits
  bool in_group = false;     // this user is a member of the node's group
  bool session_has_group = false;  // ... and this process has it (joined before this login)
  bool rule_applies = false;       // the access rule is where udev reads it
};
NodeAccess AccessOf(const std::string& path);

// "permission denied (owner root, group dialout, mode 0660); REMEDY": the
// remedy that follows the node's owner, group and mode.
std::string PermissionDenied(const NodeAccess& a);

// Which processes have `path` open, as "1234 (ModemManager)"; best effort.
std::vector<std::string> PortHolders(const std::string& path);

// Turns a --port argument into a path: "COM41" is the port directory's
// link, anything else is taken as a path. Fails only on a COM name out of
// range.
bool ResolvePortArgument(const std::string& arg, std::string* path, std::string* error);

// The COM number a --port argument names ("COM45": 45), or 0 for a path.
unsigned ComNumberOf(const std::string& arg);

// The COM number each port's session is shown it under: a COMn argument
// keeps n, the others take `first`, first + 1, ... past the numbers the
// COMn arguments hold.
std::vector<unsigned> AssignComNumbers(const std::vector<std::string>& args, unsigned first);

// True when the path (followed through links) is a pseudo-terminal, i.e. a
// simulated phone rather than a real one.
bool IsPseudoTerminal(const std::string& path);

// Two arguments that name the same device (links resolved where they exist).
bool SamePort(const std::string& a, const std::string& b);

}  // namespace vantrel::cli
