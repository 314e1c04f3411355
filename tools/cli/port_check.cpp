#include "tools/cli/port_check.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/serial_port.h"
#include "tools/cli/installed.h"

namespace vantrel::cli {

namespace fs = std::filesystem;

namespace {

// The path with its links resolved; for a port that does not exist yet, as
// far as it exists and then normalised, so "sp/COM40" and "./sp/COM40" are
// one port before it appears too.
std::string Canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf)) return buf;
  std::error_code ec;
  const fs::path weak = fs::weakly_canonical(path, ec);
  return ec ? fs::absolute(path, ec).lexically_normal().string() : weak.string();
}

const char* kBusyRemedy =
    "close the other program (ModemManager is a common culprit: the udev rule "
    "71-vantrel-access.rules tells it to keep away from the phone ports 70-vantrel.rules names)";

PortCheck Busy(const std::string& path) {
  std::string who;
  for (const auto& h : PortHolders(path)) who += (who.empty() ? " (held by " : ", ") + h;
  if (!who.empty()) who += ")";
  return {PortProblem::kBusy, path + ": busy, another program holds it" + who + "; " + kBusyRemedy};
}

// Terminals that are never a phone's port, told by device number (a link
// to them counts too). /dev/tty is worth the check above all: without a
// controlling terminal its open fails as if no device were there yet, and
// with one it is the user's own terminal.
const char* NeverAPhonePort(dev_t device) {
  const unsigned ma = major(device), mi = minor(device);
  if (ma == 5 && mi == 0) return "is the controlling terminal of whichever program opens it";
  if (ma == 5 && mi == 1) return "is the system console";
  if (ma == 5 && mi == 2) return "is the pseudo-terminal multiplexer";
  if (ma == 4 && mi < 64) return "is a virtual console";
  return nullptr;
}

}  // namespace

NodeAccess AccessOf(const std::string& path) {
  NodeAccess a;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return a;
  a.mode = st.st_mode & 07777;
  const passwd* owner = ::getpwuid(st.st_uid);
  a.owner = owner ? owner->pw_name : std::to_string(st.st_uid);
  const group* gr = ::getgrgid(st.st_gid);
  a.group = gr ? gr->gr_name : std::to_string(st.st_gid);
  const passwd* me = ::getpwuid(::getuid());
  a.in_group = me && me->pw_gid == st.st_gid;
  for (char** m = gr ? gr->gr_mem : nullptr; m && *m && me; ++m) a.in_group |= std::strcmp(*m, me->pw_name) == 0;
  std::vector<gid_t> mine(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  mine.resize(static_cast<size_t>(std::max(::getgroups(static_cast<int>(mine.size()), mine.data()), 0)));
  a.session_has_group =
      ::getegid() == st.st_gid || std::find(mine.begin(), mine.end(), st.st_gid) != mine.end();
  const std::string rule = InstalledRule("71-vantrel-access.rules");
  a.rule_applies = rule.rfind("/etc/udev/", 0) == 0 || rule.rfind("/usr/lib/udev/", 0) == 0 ||
                   rule.rfind("/lib/udev/", 0) == 0;
  return a;
}

std::string PermissionDenied(const NodeAccess& a) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", a.mode);
  const std::string head = "permission denied (owner " + a.owner + ", group " + a.group + ", mode " + mode + "); ";
  const bool group_may = (a.mode & 060) == 060 && a.group != "root";
  if (group_may && !a.in_group)
    return head + "add yourself to the group " + a.group + ", which may open it (`sudo usermod -aG " + a.group +
           " $USER`), then log in again";
  if (group_may && !a.session_has_group)
    return head + "you joined the group " + a.group + " after this session began: log in again (or run `newgrp " +
           a.group + "`)";
  if (a.rule_applies)
    return head + "the udev rules are installed but gave this seat no access to it: check that the phone's USB IDs "
                  "are in " + RuleHint("70-vantrel.rules") + " (`udevadm info` on the port shows what udev knows), "
                  "then plug the phone in again";
  return head + "only " + a.owner + (group_may ? " and the group " + a.group : "") +
         " may open it: install the udev rules " + RuleHint("70-vantrel.rules") + ", with the phone's USB IDs added, "
         "and 71-vantrel-access.rules, which give the seat's user access, then plug the phone in again";
}

PortCheck CheckPort(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    // Links that lead round in a circle can never lead to a port.
    if (errno == ELOOP)
      return {PortProblem::kNotDevice, path + ": its symbolic links lead round in a loop (" + std::strerror(errno) +
                                           "); give the phone's tty, e.g. /dev/ttyACM0"};
    return {PortProblem::kMissing, path + ": does not exist; connect the phone (or check the path)"};
  }
  if (S_ISDIR(st.st_mode))
    return {PortProblem::kNotDevice, path + ": is a directory, not a serial port; give the phone's tty, e.g. /dev/ttyACM0"};
  if (S_ISREG(st.st_mode))
    return {PortProblem::kNotDevice, path + ": is a regular file, not a serial port; give the phone's tty, e.g. /dev/ttyACM0"};
  if (!S_ISCHR(st.st_mode))
    return {PortProblem::kNotDevice, path + ": is not a character device; give the phone's tty, e.g. /dev/ttyACM0"};
  if (const char* what = NeverAPhonePort(st.st_rdev))
    return {PortProblem::kNeverAPort,
            path + ": " + what + ", never a phone's port; give the phone's tty, e.g. /dev/ttyACM0"};
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    if (e == EACCES || e == EPERM) {
      return {PortProblem::kPermission, path + ": " + PermissionDenied(AccessOf(path))};
    }
    if (e == EBUSY) return Busy(path);
    if (e == ENOENT || e == ENXIO || e == ENODEV)
      return {PortProblem::kMissing, path + ": no device behind it (" + std::strerror(e) + "); connect the phone"};
    return {PortProblem::kOther, path + ": cannot be opened: " + std::strerror(e)};
  }
  PortCheck result;
  if (!::isatty(fd)) {
    result = {PortProblem::kNotTty, path + ": is not a terminal (tty), so it cannot be a phone's serial port; "
                                           "give the phone's tty, e.g. /dev/ttyACM0"};
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    result = Busy(path);
  } else {
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
  return result;
}

std::vector<std::string> PortHolders(const std::string& path) {
  std::vector<std::string> out;
  const std::string target = Canonical(path);
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (const auto& p : fs::directory_iterator("/proc", ec)) {
    const std::string pid = p.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    std::error_code ec2;
    for (const auto& f : fs::directory_iterator(p.path() / "fd", ec2)) {
      std::error_code ec3;
      if (fs::read_symlink(f.path(), ec3).string() != target) continue;
      std::ifstream comm(p.path() / "comm");
      std::string name;
      std::getline(comm, name);
      out.push_back(pid + " (" + name + ")");
      break;
    }
  }
  return out;
}

namespace {

// COM names ignore case, as they do where they come from: com45 is COM45.
bool IsComName(const std::string& arg) {
  return arg.size() > 3 && strncasecmp(arg.c_str(), "COM", 3) == 0 &&
         arg.find_first_not_of("0123456789", 3) == std::string::npos;
}

}  // namespace

unsigned ComNumberOf(const std::string& arg) {
  if (!IsComName(arg)) return 0;
  const unsigned long n = std::strtoul(arg.c_str() + 3, nullptr, 10);
  return n <= 255 ? static_cast<unsigned>(n) : 0;
}

std::vector<unsigned> AssignComNumbers(const std::vector<std::string>& args, unsigned first) {
  std::vector<unsigned> coms;
  for (const auto& a : args) coms.push_back(ComNumberOf(a));
  unsigned next = first;
  for (auto& com : coms) {
    if (com) continue;
    while (std::find(coms.begin(), coms.end(), next) != coms.end()) ++next;
    com = next++;
  }
  return coms;
}

bool ResolvePortArgument(const std::string& arg, std::string* path, std::string* error) {
  if (IsComName(arg)) {
    unsigned long n = std::strtoul(arg.c_str() + 3, nullptr, 10);
    if (n == 0 || n > 255) {
      *error = arg + ": COM numbers run from 1 to 255";
      return false;
    }
    *path = platform::ComPortPath(static_cast<unsigned>(n));
    return true;
  }
  if (arg.empty()) {
    *error = "an empty --port; give the phone's tty, e.g. /dev/ttyACM0";
    return false;
  }
  *path = arg;
  return true;
}

bool IsPseudoTerminal(const std::string& path) {
  return Canonical(path).rfind("/dev/pts/", 0) == 0;
}

bool SamePort(const std::string& a, const std::string& b) { return Canonical(a) == Canonical(b); }

}  // namespace vantrel::cli
