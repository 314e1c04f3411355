// Byte I/O of the simulated phone and its transcript.
#include "sim/wire.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace vantrel::sim {

namespace {

constexpr int kTickMs = 20;              // how often a wait looks at the stop flags
constexpr size_t kKeptLimit = 4u << 20;  // bound of the in-memory transcript
constexpr size_t kBurstHead = 64;        // bytes shown of an abbreviated burst

std::string HexLine(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

}  // namespace

Transcript::~Transcript() {
  Flush();
  if (file_) std::fclose(file_);
}

bool Transcript::OpenFile(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  file_ = std::fopen(path.c_str(), "w");
  if (!file_ && error) *error = "cannot create transcript " + path;
  return file_ != nullptr;
}

void Transcript::WriteLocked(const std::string& s) {
  if (file_) std::fputs(s.c_str(), file_);
  if (keep_ && kept_.size() < kKeptLimit) kept_ += s;
}

void Transcript::EmitLocked() {
  if (burstTotal_ == 0) return;
  const char* tag = dirHost_ ? "H>" : "P>";
  for (size_t off = 0; off < burst_.size(); off += 16) {
    size_t n = std::min<size_t>(16, burst_.size() - off);
    WriteLocked(std::string(tag) + " " + HexLine(burst_.data() + off, n) + "\n");
  }
  if (burstTotal_ > burst_.size()) {
    WriteLocked(std::string(tag) + " ... " + std::to_string(burstTotal_) + " bytes in all\n");
  }
  burst_.clear();
  burstTotal_ = 0;
}

void Transcript::Add(bool fromHost, const uint8_t* p, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!file_ && !keep_) return;
  if (burstTotal_ && fromHost != dirHost_) EmitLocked();
  dirHost_ = fromHost;
  size_t room = full_ ? n : (burst_.size() < kBurstHead ? kBurstHead - burst_.size() : 0);
  burst_.insert(burst_.end(), p, p + std::min(room, n));
  burstTotal_ += n;
}

void Transcript::Note(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!file_ && !keep_) return;
  EmitLocked();
  WriteLocked("# " + text + "\n");
}

void Transcript::Flush() {
  std::lock_guard<std::mutex> lock(mu_);
  EmitLocked();
  if (file_) std::fflush(file_);
}

std::string Transcript::Text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return kept_;
}

Wire::Wire(int master, int keptSlave, LinkTiming timing, Transcript* transcript,
           std::function<void()> check)
    : master_(master), slave_(keptSlave), timing_(timing), transcript_(transcript),
      check_(std::move(check)) {}

void Wire::Sleep(std::chrono::microseconds d) { SleepUntil(std::chrono::steady_clock::now() + d); }

void Wire::SleepUntil(std::chrono::steady_clock::time_point until) {
  for (;;) {
    check_();
    auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    std::this_thread::sleep_until(std::min<std::chrono::steady_clock::time_point>(
        until, now + std::chrono::milliseconds(kTickMs)));
  }
}

// Charges n bytes to the emulated link: transfers queue behind each other at
// the configured rate, on one absolute schedule, from `start` on (not before
// the bytes were there), so a late wake-up is not charged twice.
void Wire::Pace(size_t n, std::chrono::steady_clock::time_point start) {
  if (timing_.bytesPerSecond <= 0) return;
  if (linkFree_ < start) linkFree_ = start;
  linkFree_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(static_cast<double>(n) / timing_.bytesPerSecond));
  SleepUntil(linkFree_);
}

void Wire::Fill() {
  // Bytes already waiting when the phone asks, right after it slept through
  // the link time of the bytes before them, were sent back to back with
  // those: the wire was busy all along, so they queue behind them instead
  // of starting when the phone woke (which would charge every oversleep).
  // Bytes the phone had to wait for start when they arrived.
  const bool streaming = lastWasRead_;
  const bool paced = timing_.bytesPerSecond > 0;  // else no need to tell waiting bytes apart
  bool waited = false;
  for (;;) {
    check_();
    pollfd p{master_, POLLIN, 0};
    int r = ::poll(&p, 1, waited || !paced ? kTickMs : 0);
    if (r < 0 && errno != EINTR) throw Halt{Halt::kPortError};
    if (r <= 0) {
      waited = true;
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    uint8_t tmp[65536];
    ssize_t n = ::read(master_, tmp, sizeof tmp);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      // EIO: no slave open at all (cannot happen while we keep one); treat
      // as a broken port.
      throw Halt{Halt::kPortError};
    }
    if (n == 0) continue;
    if (head_ == buf_.size()) {
      buf_.clear();
      head_ = 0;
    }
    buf_.insert(buf_.end(), tmp, tmp + n);
    in_ += static_cast<uint64_t>(n);
    if (transcript_) transcript_->Add(true, tmp, static_cast<size_t>(n));
    lastWasRead_ = true;
    lastWasWrite_ = false;
    Pace(static_cast<size_t>(n), streaming && !waited ? linkFree_ : now);
    return;
  }
}

void Wire::CutAt(uint64_t position, Halt::Reason reason) {
  cut_ = true;
  cutAt_ = position;
  cutReason_ = reason;
}

void Wire::Strike() {
  struck_ = true;
  cut_ = false;  // once: a silent phone goes on discarding through Fill
  Note("link cut at byte " + std::to_string(pos_));
  throw Halt{cutReason_};
}

// A cut before a byte the phone takes strikes once the host has sent that
// byte, not as soon as the phone asks for it: the moment of the cut is then
// fixed by the dialogue, not by when the phone's thread runs. (At byte 0 the
// port would otherwise close before the host had even opened it.)
void Wire::StrikeOnArrival() {
  if (head_ == buf_.size()) Fill();
  Strike();
}

uint8_t Wire::Take() {
  if (RoomBeforeCut(1) == 0) StrikeOnArrival();
  if (head_ == buf_.size()) Fill();
  ++pos_;
  return buf_[head_++];
}

uint8_t Wire::Get() {
  Script(1);
  return Take();
}

uint16_t Wire::GetBe16() {
  Script(2);
  uint16_t hi = Take();
  return static_cast<uint16_t>((hi << 8) | Take());
}

uint32_t Wire::GetBe32() {
  Script(4);
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | Take();
  return v;
}

void Wire::GetBytes(uint8_t* p, size_t n) {
  Script(static_cast<int64_t>(n));
  while (n) {
    if (RoomBeforeCut(1) == 0) StrikeOnArrival();
    if (head_ == buf_.size()) Fill();
    size_t k = static_cast<size_t>(RoomBeforeCut(std::min(n, buf_.size() - head_)));
    pos_ += k;
    std::copy(buf_.begin() + static_cast<std::ptrdiff_t>(head_),
              buf_.begin() + static_cast<std::ptrdiff_t>(head_ + k), p);
    head_ += k;
    p += k;
    n -= k;
  }
}

void Wire::Put(const uint8_t* p, size_t n) {
  const size_t whole = n;
  n = static_cast<size_t>(RoomBeforeCut(n));
  if (lastWasRead_) {
    ++answers_;
    // The answer leaves one turnaround after the question arrived (the end of
    // the read's pacing); what the phone did meanwhile is hidden in it.
    const std::chrono::microseconds turn(timing_.turnaroundUs);
    if (timing_.bytesPerSecond > 0) linkFree_ = std::max(linkFree_, std::chrono::steady_clock::now() - turn) + turn;
    else if (turn.count()) Sleep(turn);
  }
  // The phone's writes in a row (an answer of several values) leave back to
  // back, as its UART sends them, each behind the one before.
  const bool inRow = lastWasWrite_;
  lastWasRead_ = false;
  lastWasWrite_ = true;
  Script(-static_cast<int64_t>(n));
  Pace(n, inRow ? linkFree_ : std::chrono::steady_clock::now());
  if (transcript_) transcript_->Add(false, p, n);
  size_t done = 0;
  while (done < n) {
    check_();
    ssize_t w = ::write(master_, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      out_ += static_cast<uint64_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) throw Halt{Halt::kPortError};
    // The host is not reading: wait until there is room, a tick at a time.
    pollfd q{master_, POLLOUT, 0};
    ::poll(&q, 1, kTickMs);
  }
  pos_ += n;
  if (n < whole) Strike();
}

void Wire::PutBe16(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  Put(b, 2);
}

void Wire::PutBe32(uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                  static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  Put(b, 4);
}

void Wire::WaitDrained(std::chrono::milliseconds limit) {
  // Bytes written to the master reach the slave's input queue a moment
  // later (the kernel pushes them from a work queue), so an empty queue right
  // after the write proves nothing: give the push time first. A hang-up
  // discards whatever the host has not read yet.
  auto until = std::chrono::steady_clock::now() + limit;
  Sleep(std::chrono::milliseconds(30));
  while (std::chrono::steady_clock::now() < until) {
    int pending = 0;
    if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &pending) != 0 || pending == 0) return;
    Sleep(std::chrono::milliseconds(2));
  }
}

void Wire::DiscardForever() {
  for (;;) {
    Fill();
    head_ = buf_.size();
  }
}

void Wire::Note(const std::string& text) {
  if (transcript_) transcript_->Note(text);
}

}  // namespace vantrel::sim
