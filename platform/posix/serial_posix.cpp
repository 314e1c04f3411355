// POSIX serial port: one non-blocking descriptor, poll for the time-outs,
// termios for the line, flock (plus TIOCEXCL) for exclusive use.
//
// Facts this file relies on (measured on Linux pseudo-terminals):
// - TIOCMBIS/TIOCMBIC fail with ENOTTY on a pty: it has no modem lines, which
//   counts as done, not as a failure.
// - TIOCEXCL does not stop root, so exclusivity also takes an flock that a
//   second opener fails on.
// - When the far end hangs up, reads return 0 bytes at once (or EIO) and poll
//   reports POLLHUP; writes fail with EIO. A read that ends early with no
//   data is the port going away, never a time-out.
// - tcdrain has no time-out: a USB device that stays attached but stops
//   taking data would hold it for good. The drain instead watches the
//   driver's output queue (TIOCOUTQ) until the write's own deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/clock.h"
#include "platform/posix/serial_posix.h"

namespace vantrel::platform {
namespace {

struct BaudEntry {
  uint32_t rate;
  speed_t code;
};
const BaudEntry kBauds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

speed_t ToSpeed(uint32_t rate) {
  for (auto& b : kBauds)
    if (b.rate == rate) return b.code;
  return 0;
}
uint32_t FromSpeed(speed_t s) {
  for (auto& b : kBauds)
    if (b.code == s) return b.rate;
  return 0;
}

bool IsGoneErrno(int e) { return e == EIO || e == ENODEV || e == ENXIO || e == EBADF; }

int QueuedForOutput(int fd) {
  int q = 0;
  return ::ioctl(fd, TIOCOUTQ, &q) == 0 ? q : -1;
}

void SleepRealUs(long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

class PosixSerialPort : public SerialPort {
 public:
  PosixSerialPort(int fd, std::string name, OutputQueueProbe probe)
      : fd_(fd), name_(std::move(name)), probe_(probe ? probe : &QueuedForOutput) {}
  ~PosixSerialPort() override {
    if (fd_ >= 0) {
      flock(fd_, LOCK_UN);
      close(fd_);
    }
  }

  bool Read(uint8_t* buf, uint32_t n, uint32_t* got) override {
    *got = 0;
    if (gone_) return false;
    if (n == 0) return true;
    const bool at_once = t_.readInterval == kReadReturnAtOnce && t_.readMultiplier == 0 &&
                         t_.readConstant == 0;
    const uint64_t budget = at_once ? 0 : uint64_t(n) * t_.readMultiplier + t_.readConstant;
    const uint64_t deadline = RealNowMs() + budget;
    for (;;) {
      // Wait for data first: with VMIN = VTIME = 0 a tty read returns 0 both
      // when nothing is queued and at end of file, so only a read that poll
      // announced can tell the two apart.
      uint64_t now = RealNowMs();
      int wait_ms = (at_once || now >= deadline) ? 0 : static_cast<int>(deadline - now);
      pollfd p{fd_, POLLIN, 0};
      int pr = ::poll(&p, 1, wait_ms);
      if (pr < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (pr == 0) return true;  // time-out: what arrived is in buf
      if (!(p.revents & POLLIN)) return MarkGone();  // POLLHUP/POLLERR without data
      ssize_t r = ::read(fd_, buf + *got, n - *got);
      if (r > 0) {
        *got += static_cast<uint32_t>(r);
        if (*got == n) return true;
        continue;
      }
      if (r == 0) return MarkGone();  // announced but empty: end of file, the far end hung up
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return IsGoneErrno(errno) ? MarkGone() : false;
    }
  }

  bool Write(const uint8_t* buf, uint32_t n, uint32_t* put) override {
    *put = 0;
    if (gone_) return false;
    if (n == 0) return true;
    const uint64_t deadline = RealNowMs() + uint64_t(n) * t_.writeMultiplier + t_.writeConstant;
    drainDeadline_ = deadline;  // the flush that follows shares the write's time-out
    for (;;) {
      ssize_t w = ::write(fd_, buf + *put, n - *put);
      if (w > 0) {
        *put += static_cast<uint32_t>(w);
        if (*put == n) return true;
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return IsGoneErrno(errno) ? MarkGone() : false;
      uint64_t now = RealNowMs();
      if (now >= deadline) return true;  // write time-out: *put tells how far it got
      pollfd p{fd_, POLLOUT, 0};
      int pr = ::poll(&p, 1, static_cast<int>(deadline - now));
      if (pr < 0 && errno != EINTR) return false;
      if (pr > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return MarkGone();
    }
  }

  // Waits until the driver has sent everything, within the deadline of the
  // write it follows (a flush on its own: queued bytes + the write constant).
  // The queue is polled with sleeps that start short (a USB packet drains in
  // well under a millisecond) and grow to a few milliseconds.
  bool Flush() override {
    if (gone_) return false;
    int q = probe_(fd_);
    if (q < 0) return IsGoneErrno(errno) ? MarkGone() : false;
    if (q == 0) {
      drainDeadline_ = 0;
      return true;
    }
    uint64_t deadline = drainDeadline_;
    drainDeadline_ = 0;
    if (deadline == 0) deadline = RealNowMs() + uint64_t(q) * t_.writeMultiplier + t_.writeConstant;
    long pause_us = 50;
    for (;;) {
      uint64_t now = RealNowMs();
      if (now >= deadline) return false;  // never drained: the caller's write fails
      SleepRealUs(std::min<long>(pause_us, long(deadline - now) * 1000));
      pause_us = std::min<long>(pause_us * 2, 4000);
      q = probe_(fd_);
      if (q < 0) return IsGoneErrno(errno) ? MarkGone() : false;
      if (q == 0) return true;
    }
  }

  bool SetTimeouts(const Timeouts& t) override {
    if (gone_) return false;
    t_ = t;
    return true;
  }
  Timeouts GetTimeouts() const override { return t_; }

  bool ClearError() override {
    if (gone_) return false;
    int q = 0;
    if (::ioctl(fd_, FIONREAD, &q) != 0) return IsGoneErrno(errno) ? MarkGone() : false;
    return true;
  }
  bool SetQueueSizes(uint32_t, uint32_t) override { return !gone_; }  // the kernel sizes its own

  bool GetLine(LineSettings* out) override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return IsGoneErrno(errno) ? MarkGone() : false;
    LineSettings s;
    s.baudRate = FromSpeed(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
      case CS5: s.byteSize = 5; break;
      case CS6: s.byteSize = 6; break;
      case CS7: s.byteSize = 7; break;
      default: s.byteSize = 8; break;
    }
    s.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
    s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    uint32_t f = line::kBinary;
    if (tio.c_iflag & INPCK) f |= line::kParity;
    if (tio.c_cflag & CRTSCTS) f |= line::kOutxCtsFlow | (2u << line::kRtsControlShift);
    else f |= (rts_ ? 1u : 0u) << line::kRtsControlShift;
    f |= (dtr_ ? 1u : 0u) << line::kDtrControlShift;
    if (tio.c_iflag & IXON) f |= line::kOutX;
    if (tio.c_iflag & IXOFF) f |= line::kInX;
    s.flags = f;
    *out = s;
    return true;
  }

  bool SetLine(const LineSettings& s) override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return IsGoneErrno(errno) ? MarkGone() : false;
    speed_t sp = ToSpeed(s.baudRate);
    if (sp == 0) return false;
    ::cfmakeraw(&tio);
    cfsetispeed(&tio, sp);
    cfsetospeed(&tio, sp);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (s.byteSize) {
      case 5: tio.c_cflag |= CS5; break;
      case 6: tio.c_cflag |= CS6; break;
      case 7: tio.c_cflag |= CS7; break;
      default: tio.c_cflag |= CS8; break;
    }
    if (s.parity == 1) tio.c_cflag |= PARENB | PARODD;
    if (s.parity == 2) tio.c_cflag |= PARENB;
    if (s.stopBits != 0) tio.c_cflag |= CSTOPB;
    const uint32_t rts = (s.flags & line::kRtsControlMask) >> line::kRtsControlShift;
    const uint32_t dtr = (s.flags & line::kDtrControlMask) >> line::kDtrControlShift;
    if ((s.flags & line::kOutxCtsFlow) || rts == 2) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (s.flags & line::kOutX) tio.c_iflag |= IXON;
    if (s.flags & line::kInX) tio.c_iflag |= IXOFF;
    if (s.flags & line::kParity) tio.c_iflag |= INPCK;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return IsGoneErrno(errno) ? MarkGone() : false;
    if (dtr != 2 && !SetDtr(dtr == 1)) return false;
    if (rts == 0 || rts == 1) return SetRts(rts == 1);
    return true;
  }

  bool ClearBreak() override {
    if (::ioctl(fd_, TIOCCBRK) == 0) return true;
    if (errno == ENOTTY || errno == EINVAL) return true;
    return IsGoneErrno(errno) ? MarkGone() : false;
  }

  bool Purge(uint32_t actions) override {
    int which = -1;
    bool rx = actions & (kPurgeRxClear | kPurgeRxAbort);
    bool tx = actions & (kPurgeTxClear | kPurgeTxAbort);
    if (rx && tx) which = TCIOFLUSH;
    else if (rx) which = TCIFLUSH;
    else if (tx) which = TCOFLUSH;
    if (which < 0) return true;
    if (::tcflush(fd_, which) == 0) return true;
    return IsGoneErrno(errno) ? MarkGone() : false;
  }

  bool SetDtr(bool on) override {
    if (!ModemLine(TIOCM_DTR, on)) return false;
    dtr_ = on;
    return true;
  }
  bool SetRts(bool on) override {
    if (!ModemLine(TIOCM_RTS, on)) return false;
    rts_ = on;
    return true;
  }

  uint32_t InputQueued() override {
    int q = 0;
    if (::ioctl(fd_, FIONREAD, &q) != 0) {
      if (IsGoneErrno(errno)) MarkGone();
      return 0;
    }
    if (q == 0) {
      // A hung-up far end shows only in poll.
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) MarkGone();
    }
    return q > 0 ? static_cast<uint32_t>(q) : 0;
  }

  bool Gone() const override { return gone_; }
  std::string Name() const override { return name_; }
  // By the device number, not the name: a by-id link or a port-directory
  // entry may point at either kind. Linux numbers the slaves of Unix98
  // pseudo-terminals with the majors 136 to 143.
  bool IsPseudoTerminal() override {
    struct stat st{};
    if (::fstat(fd_, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
  }

 private:
  bool MarkGone() {
    gone_ = true;
    return false;
  }
  bool ModemLine(int bit, bool on) {
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return true;
    // No modem lines (pseudo-terminal): nothing to raise.
    if (errno == ENOTTY || errno == EINVAL) return true;
    return IsGoneErrno(errno) ? MarkGone() : false;
  }

  int fd_;
  std::string name_;
  OutputQueueProbe probe_;
  uint64_t drainDeadline_ = 0;  // RealNowMs deadline of the last write, 0: none pending
  Timeouts t_{};
  bool gone_ = false;
  bool dtr_ = false;
  bool rts_ = false;
};

}  // namespace

namespace {
std::mutex& DirectoryLock() {
  static std::mutex m;
  return m;
}
std::string& DefaultDirectory() {
  static std::string dir;
  return dir;
}
}  // namespace

std::string PortDirectory() {
  std::lock_guard<std::mutex> g(DirectoryLock());
  return DefaultDirectory().empty() ? "/dev/vantrel" : DefaultDirectory();
}

void SetPortDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> g(DirectoryLock());
  DefaultDirectory() = dir;
}

std::string ComPortPath(unsigned number, const std::string& dir) {
  return (dir.empty() ? PortDirectory() : dir) + "/COM" + std::to_string(number);
}

std::unique_ptr<SerialPort> OpenPortPath(const std::string& path, OpenError* err) {
  OpenError dummy;
  OpenError& e = err ? *err : dummy;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {  // missing, or a dangling link
    e = OpenError::kAbsent;
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    e = (errno == ENOENT || errno == ENXIO || errno == ENODEV) ? OpenError::kAbsent
        : (errno == EBUSY)                                     ? OpenError::kBusy
                                                               : OpenError::kFailed;
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    e = OpenError::kBusy;
    return nullptr;
  }
  ::ioctl(fd, TIOCEXCL);  // keeps out non-root openers that skip the flock
  if (!::isatty(fd)) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    e = OpenError::kFailed;
    return nullptr;
  }
  e = OpenError::kNone;
  return std::make_unique<PosixSerialPort>(fd, path, nullptr);
}

std::unique_ptr<SerialPort> AdoptTty(int fd, std::string name, OutputQueueProbe probe) {
  return std::make_unique<PosixSerialPort>(fd, std::move(name), probe);
}

std::unique_ptr<SerialPort> OpenComPort(unsigned number, bool /*overlapped*/, OpenError* err,
                                        const std::string& dir) {
  return OpenPortPath(ComPortPath(number, dir), err);
}

}  // namespace vantrel::platform
