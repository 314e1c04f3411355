// Pseudo-terminal for the simulated phone, and its port-directory link.
#include "sim/pty.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vantrel::sim {

namespace {

bool Fail(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
  return false;
}

// mkdir -p for the port directory.
bool MakeDirs(const std::string& dir) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace

std::string PtyPort::DefaultPortDir() {
  const char* env = std::getenv("VANTREL_PORT_DIR");
  return env && *env ? env : "/dev/vantrel";
}

bool PtyPort::Open(std::string* error) {
  Close();
  int m = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0) return Fail(error, "posix_openpt");
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0) {
    ::close(m);
    return Fail(error, "grantpt/unlockpt");
  }
  char name[128] = {};
  if (::ptsname_r(m, name, sizeof name) != 0) {
    ::close(m);
    return Fail(error, "ptsname");
  }
  int s = ::open(name, O_RDWR | O_NOCTTY);
  if (s < 0) {
    ::close(m);
    return Fail(error, std::string("open ") + name);
  }
  termios t{};
  if (::tcgetattr(s, &t) == 0) {
    ::cfmakeraw(&t);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    ::tcsetattr(s, TCSANOW, &t);
  }
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  master_ = m;
  slave_ = s;
  slavePath_ = name;
  return true;
}

void PtyPort::Close() {
  Unlink();
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
}

bool PtyPort::Link(const std::string& dirIn, unsigned com, std::string* error) {
  if (slavePath_.empty() || master_ < 0) {
    if (error) *error = "no pseudo-terminal to link";
    return false;
  }
  std::string dir = dirIn.empty() ? DefaultPortDir() : dirIn;
  if (!MakeDirs(dir)) return Fail(error, "mkdir " + dir);
  std::string link = dir + "/COM" + std::to_string(com);
  ::unlink(link.c_str());
  if (::symlink(slavePath_.c_str(), link.c_str()) != 0) return Fail(error, "symlink " + link);
  linkPath_ = link;
  return true;
}

void PtyPort::Unlink() {
  if (linkPath_.empty()) return;
  // Remove only our own link: another phone may have taken the name since.
  char target[256] = {};
  ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
  if (n > 0 && slavePath_ == std::string(target, static_cast<size_t>(n))) {
    ::unlink(linkPath_.c_str());
  }
  linkPath_.clear();
}

}  // namespace vantrel::sim
