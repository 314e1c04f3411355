#include "tests/support/pty_pair.h"

#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace vantrel::testing {

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
    throw std::runtime_error("cannot open a pseudo-terminal");
  slave_path_ = ::ptsname(master_);
  slave_keep_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  ::tcgetattr(slave_keep_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_keep_, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
  if (slave_keep_ >= 0) ::close(slave_keep_);
  if (master_ >= 0) ::close(master_);
}

void PtyPair::Send(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (w <= 0) throw std::runtime_error("pty write failed");
    done += static_cast<size_t>(w);
  }
}

std::vector<uint8_t> PtyPair::Receive(size_t n, int timeout_ms) {
  std::vector<uint8_t> out;
  while (out.size() < n) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN)) break;
    uint8_t buf[4096];
    ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

std::vector<uint8_t> PtyPair::Drain(int quiet_ms) {
  std::vector<uint8_t> out;
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, quiet_ms) <= 0 || !(p.revents & POLLIN)) break;
    uint8_t buf[4096];
    ssize_t r = ::read(master_, buf, sizeof buf);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

void PtyPair::HangUp() {
  if (slave_keep_ >= 0) ::close(slave_keep_);
  slave_keep_ = -1;
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

PortDir::PortDir() {
  char tmpl[] = "/tmp/vantrel-ports-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  old_dir_ = platform::PortDirectory();
  platform::SetPortDirectory(dir_);
}

PortDir::~PortDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  platform::SetPortDirectory(old_dir_);
}

void PortDir::Link(unsigned com, const std::string& target) {
  std::string p = dir_ + "/COM" + std::to_string(com);
  ::unlink(p.c_str());
  if (::symlink(target.c_str(), p.c_str()) != 0) throw std::runtime_error("symlink failed");
}

void PortDir::Unlink(unsigned com) {
  std::string p = dir_ + "/COM" + std::to_string(com);
  ::unlink(p.c_str());
}

}  // namespace vantrel::testing
