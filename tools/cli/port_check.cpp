#include "tools/cli/port_check.h"

#include <fcntl.h>
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

namespace vantrel::cli {

namespace fs = std::filesystem;

namespace {

std::string Canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf)) return buf;
  return path;
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

PortCheck CheckPort(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
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
      return {PortProblem::kPermission,
              path + ": permission denied; add yourself to the group that owns it (`sudo usermod -aG dialout $USER`, "
                     "then log in again) or install the udev rules 70-vantrel.rules and 71-vantrel-access.rules that grant the seat's user access"};
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

bool IsComName(const std::string& arg) {
  return arg.size() > 3 && arg.compare(0, 3, "COM") == 0 &&
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
